#!/usr/bin/env bash
# One launcher run under valgrind's memcheck: no memory errors, no descriptor
# of the launcher's own open at exit, and none inherited by the agent.

test_memcheck_finds_no_errors_and_no_descriptor_leak() {
    (
        # Start the launcher with the standard descriptors alone.
        for fd in "/proc/$BASHPID/fd"/*; do
            fd=${fd##*/}
            [ "$fd" -gt 2 ] && eval "exec $fd>&-"
        done
        exec valgrind --tool=memcheck --track-fds=yes --error-exitcode=99 \
            "$LAUNCHER" 'ls /proc/$$/fd; :' > agent-descriptors 2> memcheck.log
    )
    expect $? 0 "exit status under memcheck"
    expect "$(grep -c 'ERROR SUMMARY: 0 errors' memcheck.log)" 1 "memcheck errors"
    # Valgrind words the summary in its own way from one version to the next
    # ("3 open (3 std)", "3 open (3 inherited)"): the count is what matters.
    expect "$(sed -n 's/.*FILE DESCRIPTORS: \([0-9]*\) open .* at exit.*/\1/p' memcheck.log)" 3 \
        "descriptors open at exit"
    expect "$(paste -sd ' ' agent-descriptors)" "0 1 2" "descriptors of the agent's shell"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
