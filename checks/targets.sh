# shellcheck shell=bash
# Sourced by the scripts that work on fresh Debian roots. A target is a
# release and an architecture, written RELEASE or RELEASE/ARCH: any codename
# debootstrap knows ("trixie", "testing", "sid") and any Debian architecture
# this machine runs, natively or under qemu-user. ARCH defaults to this
# machine's own.

# The releases the project supports, oldest first. Checks given no target
# run on all of them.
# shellcheck disable=SC2034 # read by the scripts that source this file
supported_releases=(bookworm trixie)
host_arch=$(dpkg --print-architecture)

# Sets $release and $arch from target $1; fails, saying why, on a malformed one.
parse_target() {
    release=${1%%/*} arch=$host_arch
    [[ $1 == */* ]] && arch=${1#*/}
    if [[ ! $release =~ ^[a-z]+$ || ! $arch =~ ^[a-z0-9]+$ ]]; then
        echo "not a target (RELEASE or RELEASE/ARCH): $1" >&2
        return 2
    fi
}

# Succeeds when architecture $1 runs on this machine's processor itself.
native_arch() {
    [ "$1" = "$host_arch" ] || { [ "$host_arch" = amd64 ] && [ "$1" = i386 ]; }
}

# Makes programs of architecture $1 runnable here: for a foreign one,
# registers qemu-user with the kernel's binfmt_misc, installing it first.
# Sources scripts/need.sh.
enable_arch() {
    native_arch "$1" && return
    # shellcheck source=scripts/need.sh
    . "${BASH_SOURCE[0]%/*}/../scripts/need.sh"
    need qemu-user-static binfmt-support || return
    if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return
    fi
    update-binfmts --enable > /dev/null 2>&1 || true # formats already enabled say so
}

# Readies root $1 of architecture $2 to be booted under systemd-nspawn:
# under qemu-user, systemd cannot hand three early units their (empty)
# credentials and fails them with 243/CREDENTIALS; they need none.
prepare_boot() {
    local unit
    native_arch "$2" && return
    for unit in systemd-sysusers systemd-tmpfiles-setup systemd-tmpfiles-setup-dev; do
        mkdir -p "$1/etc/systemd/system/$unit.service.d"
        printf '[Service]\nLoadCredential=\n' > "$1/etc/systemd/system/$unit.service.d/qemu.conf"
    done
}

# Prints, one a line, the cgroup folders of this shell in the hierarchies
# that systemd-nspawn sets a container up in: the unified one, and, on a
# host with cgroup v1, systemd's own.
cgroup_folders() {
    awk -F ' - ' 'FILENAME == "/proc/self/cgroup" { split($0, line, ":"); within[line[2]] = line[3]; next }
        { split($1, m, " "); split($2, k, " ") }
        k[1] == "cgroup2" && !unified++ { print m[5] within[""] }
        k[1] == "cgroup" && k[3] ~ /(^|,)name=systemd(,|$)/ && !named++ { print m[5] within["name=systemd"] }' \
        /proc/self/cgroup /proc/self/mountinfo
}

# The cgroup of the container whose files are in folder $1, named after it.
cgroup_for() {
    local name=${1#/}
    echo "${name//\//-}"
}

# Moves this shell into a cgroup of its own, $1, for a container to be
# started from it. systemd-nspawn sets each container up under its own
# cgroup: containers started from one cgroup would share their units'
# cgroups, and one's systemd could not stop a unit while another's processes
# are in it.
enter_own_cgroup() {
    local folder
    for folder in $(cgroup_folders); do
        mkdir -p "$folder/$1" && echo "$BASHPID" > "$folder/$1/cgroup.procs" || return
    done
}

# Removes the cgroups whose names begin with $1, once their containers have
# ended.
drop_cgroups() {
    local folder
    for folder in $(cgroup_folders); do
        find "$folder" -maxdepth 1 -name "$1*" -exec find {} -depth -type d -delete \; 2> /dev/null || true
    done
}
