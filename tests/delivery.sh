#!/usr/bin/env bash
# What a sysadmin installs: the install layout, the man page, the systemd
# unit, and the Debian package built from the project's files as they stand.
# shellcheck disable=SC2016 # agent command lines expand in the agent's shell
source_dir=$(realpath "$(dirname "$0")/..")

# Installs the build as under the prefix /usr into ./root.
install_to_root() {
    DESTDIR=$PWD/root cmake --install "${LAUNCHER%/*}" --prefix /usr > /dev/null
}

# Prints the regular files under directory $1, on one line.
files_under() {
    (cd "$1" && find . -type f | sort | paste -sd ' ')
}

# Copies the project's files, as a clone of them holds them, into $1/source
# and builds the package there without its tests: the .deb files land in $1,
# the build's output in $1/build.log. Ends the test when the build fails.
build_package() {
    mkdir -p "$1/source" || exit 1
    (cd "$source_dir" && git ls-files -z -co --exclude-standard | tar --null -T - -cf -) |
        tar -xf - -C "$1/source" || exit 1
    if ! (cd "$1/source" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -us -uc -b) > "$1/build.log" 2>&1; then
        tail -n 20 "$1/build.log"
        exit 1
    fi
}

test_install_puts_the_launcher_in_sbin_and_the_page_in_man8() {
    install_to_root
    expect "$(files_under root)" "./usr/sbin/YRNAgentRun ./usr/share/man/man8/YRNAgentRun.8" "installed files"
}

test_man_page_has_no_lint() {
    expect "$(mandoc -T lint -W warning "$source_dir/doc/YRNAgentRun.8" 2>&1)" "" "mandoc findings"
}

test_debian_package_is_clean_reproducible_and_working() {
    local deb version
    build_package first
    # The same files, in another folder, built later.
    build_package "$PWD/later/somewhere/else"
    deb=$(echo first/yrnagentrun_*_"$(dpkg --print-architecture)".deb)
    [ -f "$deb" ] || { echo "no package for this machine's architecture: $(ls first)"; exit 1; }
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:.*=//p' "${LAUNCHER%/*}/CMakeCache.txt")

    expect "$("$source_dir/scripts/lintian-judge" first/*.changes 2>&1 > /dev/null)" "" "lintian findings not accepted"
    expect "$(dpkg-deb -f "$deb" Package Version Section | paste -sd ' ')" \
        "Package: yrnagentrun Version: $version Section: admin" "package, version and section"
    expect "$(dpkg-deb -f "$deb" Depends | sed -E 's/[0-9.]+\)$/N)/')" "libc6 (>= N)" "Depends, from libc alone"
    # Units are under /lib in Debian 12's packages, under /usr/lib in later
    # ones: one directory, since /usr is merged.
    expect "$(dpkg-deb -c "$deb" | awk '!/\/$/ { print $6 }' | sed 's|^\./lib/|./usr/lib/|' | paste -sd ' ')" \
        "./etc/default/yrnagent ./usr/lib/systemd/system/yrnagent.service ./usr/sbin/YRNAgentRun ./usr/share/doc/yrnagentrun/changelog.gz ./usr/share/doc/yrnagentrun/copyright ./usr/share/man/man8/YRNAgentRun.8.gz" \
        "packaged files"
    expect "$(dpkg-deb -I "$deb" conffiles)" /etc/default/yrnagent "conffiles"
    expect "$(grep -c 'Test #' first/build.log)" 0 "tests run by a nocheck build"
    expect "$(cd first && sha256sum -- *.deb)" "$(cd later/somewhere/else && sha256sum -- *.deb)" \
        "checksums of the .deb files built in another folder, later"

    dpkg-deb -x "$deb" root
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
        "$source_dir/debian/yrnagent.service" 2>&1; echo "status $?")" \
        "status 0" "systemd-analyze verify"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
