# shellcheck shell=bash
# Shared by the suites: expect, which compares within a test, and the result
# lines: "ok", "FAIL" and "skip", and the closing "N passed, N failed", which
# fails when any test failed; wait_for and patience, for what takes a moment;
# and emulated, for what qemu-user cannot give.
passed=0
failed=0
failures=0

# Records a failure of the test that runs unless $1 equals $2; $3 names what
# was compared.
expect() {
    [ "$1" = "$2" ] && return
    printf '  %s: expected [%s], got [%s]\n' "$3" "$2" "$1"
    failures=$((failures + 1))
}
ok() { echo "ok   $1"; passed=$((passed + 1)); }
not_ok() { echo "FAIL $1"; failed=$((failed + 1)); }
skip() { echo "skip $1"; }
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }

# How long, in seconds, a wait for something that takes a moment may last
# before it is taken for a hang: generous, for qemu-user on a loaded machine.
# A wait ends as soon as its condition holds, so this costs nothing when all
# is well.
# shellcheck disable=SC2034 # read by the suites
patience=120

# Waits up to $1 seconds for the command that follows to succeed.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# Succeeds when this shell runs under qemu-user. The kernel names the
# emulator as the shell's executable; qemu hides that from the shell itself,
# but not from a child reading its parent.
emulated() { [[ $(readlink "/proc/$$/exe") == *qemu* ]]; }
