#!/usr/bin/env bash
# What a sysadmin installs: the install layout, the man page, the Debian
# package and the systemd unit.
# shellcheck disable=SC2016 # agent command lines expand in the agent's shell
source_dir=$(realpath "$(dirname "$0")/..")
shipped="./usr/sbin/YRNAgentRun ./usr/share/man/man8/YRNAgentRun.8"

# Installs the build as under the prefix /usr into ./root.
install_to_root() {
    DESTDIR=$PWD/root cmake --install "${LAUNCHER%/*}" --prefix /usr > /dev/null
}

# Prints the regular files under directory $1, on one line.
files_under() {
    (cd "$1" && find . -type f | sort | paste -sd ' ')
}

test_install_puts_the_launcher_in_sbin_and_the_page_in_man8() {
    install_to_root
    expect "$(files_under root)" "$shipped" "installed files"
}

test_man_page_has_no_lint() {
    expect "$(mandoc -T lint -W warning "$source_dir/doc/YRNAgentRun.8" 2>&1)" "" "mandoc findings"
}

test_debian_package_holds_a_working_launcher() {
    (cd "${LAUNCHER%/*}" && cpack -G DEB -B "$SCRATCH/package" > /dev/null)
    local deb version
    deb=$(echo package/*.deb)
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:.*=//p' "${LAUNCHER%/*}/CMakeCache.txt")
    expect "$(dpkg-deb -f "$deb" Package Version Architecture Section)" \
        "Package: yrnagentrun
Version: $version
Architecture: $(dpkg --print-architecture)
Section: admin" "package fields"
    [[ $(dpkg-deb -f "$deb" Depends) =~ ^libc6\ \(\>=\ [0-9.]+\)$ ]]
    expect $? 0 "Depends computed from libc alone"
    [[ $(dpkg-deb -f "$deb" Maintainer) =~ ^.+\ \<.+@.+\>$ ]]
    expect $? 0 "Maintainer with an address"
    [[ $(dpkg-deb -f "$deb" Description) == *pid* ]]
    expect $? 0 "Description"

    dpkg-deb -x "$deb" root
    expect "$(files_under root)" "$shipped" "packaged files"
    root/usr/sbin/YRNAgentRun 'printf %s $((PPID + 2)) > expected'
    cmp -s expected /etc/yrnagent.pid
    expect $? 0 "pid file written by the packaged launcher"
}

test_systemd_unit_verifies() {
    # systemd-analyze wants ExecStart='s program and the Documentation= page
    # to exist: install both, the launcher at /usr/sbin through an overlay.
    install_to_root
    mkdir sbin-upper sbin-work &&
        mount -t overlay yrn-sbin -o lowerdir=/usr/sbin,upperdir=sbin-upper,workdir=sbin-work /usr/sbin &&
        cp root/usr/sbin/YRNAgentRun /usr/sbin/ || exit 1
    expect "$(MANPATH=$PWD/root/usr/share/man systemd-analyze verify \
        "$source_dir/contrib/systemd/yrnagent.service" 2>&1; echo "status $?")" \
        "status 0" "systemd-analyze verify"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
