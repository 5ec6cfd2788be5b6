# shellcheck shell=bash
# Shared by the suites: expect, which compares within a test, and the result
# lines: "ok", "FAIL" and "skip", and the closing "N passed, N failed", which
# fails when any test failed; and emulated, for what qemu-user cannot give.
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

# Succeeds when this shell runs under qemu-user. The kernel names the
# emulator as the shell's executable; qemu hides that from the shell itself,
# but not from a child reading its parent.
emulated() { [[ $(readlink "/proc/$$/exe") == *qemu* ]]; }
