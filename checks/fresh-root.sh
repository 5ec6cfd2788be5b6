# shellcheck shell=bash
# Sourced by the checks that work in fresh Debian roots. mount_fresh_root
# lays out a root from a pristine one (checks/debian-root), as on a
# newcomer's new machine: / a mount point, with /proc, /sys, /dev, a tmpfs
# /run and /tmp, the network, and a clean clone of this repository in
# /root/yrnagentrun; in_root runs a command line there as root. The caller
# must be in a private mount namespace of its own: the mounts end with it.
# Downloaded packages are kept in /var/cache/yrnagentrun/apt, shared between
# roots as links (share_debs), so that later runs fetch them only once and
# runs can go side by side.

# Copies the downloaded packages in folder $1 that folder $2 lacks, as hard
# links where both are on one file system: apt only ever adds or removes
# whole files.
share_debs() {
    local deb
    for deb in "$1"/*.deb; do
        if [ -e "$deb" ] && [ ! -e "$2/${deb##*/}" ]; then
            ln "$deb" "$2/" 2> /dev/null || cp "$deb" "$2/"
        fi
    done
}

# Mounts at $3/root a root made from pristine root $2 for target $4
# (RELEASE/ARCH): a plain copy of it or an overlay over it ($1 plain or
# overlay), with the packages already downloaded for that target.
mount_fresh_root() {
    local kind=$1 pristine=$2 scratch=$3 root=$3/root
    mkdir "$root" "$scratch/archives"
    if [ "$kind" = plain ]; then
        cp -a "$pristine/." "$root"
        mount --bind "$root" "$root"
    else
        mkdir "$scratch/upper" "$scratch/work"
        mount -t overlay fresh-root \
            -o "lowerdir=$pristine,upperdir=$scratch/upper,workdir=$scratch/work" "$root"
    fi
    git clone --quiet "$PWD" "$root/root/yrnagentrun"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/run"
    mount -t tmpfs tmpfs "$root/tmp"
    mkdir -p "/var/cache/yrnagentrun/apt/$4" "$scratch/archives/partial"
    share_debs "/var/cache/yrnagentrun/apt/$4" "$scratch/archives"
    mount --bind "$scratch/archives" "$root/var/cache/apt/archives"
}

# Keeps the packages that root $1/root downloaded for target $2, for later
# roots.
keep_debs() {
    share_debs "$1/archives" "/var/cache/yrnagentrun/apt/$2"
}

# Runs bash command line $2 as root in the clone in root $1, with the
# environment a login would give, and the NAME=VALUE assignments that
# follow.
in_root() {
    chroot "$1" /usr/bin/env -i HOME=/root TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "${@:3}" \
        bash -c "cd /root/yrnagentrun && $2"
}
