# shellcheck shell=bash
# Sourced by the entries that mount scratch file systems over /etc and /opt.
# own_mount_namespace succeeds only where nothing mounted can reach the
# machine's own file systems: in a mount namespace other than the parent
# process's, where no mount is shared. Otherwise it says so and fails.
own_mount_namespace() {
    local own parent inside outside count
    own=$(readlink /proc/self/ns/mnt) || return
    if ! parent=$(readlink "/proc/$PPID/ns/mnt" 2> /dev/null); then
        # Hidden from a user namespace of the sandbox's making, where no
        # mount reaches the machine. The machine's own user namespace maps
        # every user id to itself: there, take the parent's to be this one.
        read -r inside outside count < /proc/self/uid_map
        [ "$inside $outside $count" = "0 0 4294967295" ] && parent=$own
    fi
    [ "$own" != "$parent" ] && ! grep -q ' shared:' /proc/self/mountinfo && return
    echo "$1: refusing to mount anything outside a private mount namespace of its own" >&2
    return 1
}
