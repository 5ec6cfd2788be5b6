# shellcheck shell=bash
# Shared by the test suites, sourced last by each. Runs every test_* function
# of the suite in a sandbox of its own (scripts/sandbox: a private mount
# namespace over a scratch /etc and /opt), so nothing a test writes reaches
# the machine. Prints a line per test and a closing "N passed, N failed";
# exits 77 (skipped) where no sandbox can be made, except under CI, where
# that is a failure. The entry that runs one test refuses to run outside the
# sandbox's own mount namespace. Tests named in $YRN_SKIP_TESTS are skipped
# by name, and so are those a suite names in under_qemu, with the reason,
# when it runs under qemu-user.
#
# Suite arguments: the launcher and the yrnAgentHalt driver.

set -u
LAUNCHER=$(realpath "$1")
HALT_DRIVER=$(realpath "$2")
export LAUNCHER HALT_DRIVER
suite=$(realpath "$0")
sandbox=${suite%/tests/*}/scripts/sandbox

# Runs the launcher with the arguments given; leaves its exit status in
# $status and all it printed in $out.
# shellcheck disable=SC2034 # both are read by the suites' tests
launch() {
    out=$("$LAUNCHER" "$@" 2>&1)
    status=$?
}

# shellcheck source=tests/tally.sh
. "$(dirname "$0")/tally.sh"
declare -A under_qemu

if [ "${3-}" = --inside ]; then
    # Reached only through the sandbox: a test mounts over /etc and /opt.
    # shellcheck source=scripts/own-namespace.sh
    . "${sandbox%/*}/own-namespace.sh"
    own_mount_namespace "${suite##*/}" || exit 1
    "$4"
    [ "$failures" -eq 0 ]
    exit
fi

# Where no sandbox can be made, the sandbox has said why.
if ! "$sandbox" true; then
    [ -n "${CI-}" ] && exit 1
    exit 77
fi

for name in $(declare -F | awk '$3 ~ /^test_/ { print $3 }'); do
    if [[ " ${YRN_SKIP_TESTS-} " == *" $name "* ]]; then
        skip "$name (cannot run in this build)"
    elif [ -n "${under_qemu[$name]-}" ] && emulated; then
        skip "$name (under qemu-user: ${under_qemu[$name]})"
    elif report=$("$sandbox" bash "$suite" "$LAUNCHER" "$HALT_DRIVER" --inside "$name" 2>&1); then
        ok "$name"
    else
        not_ok "$name"
        printf '%s\n' "$report"
    fi
done
finish
