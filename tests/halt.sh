#!/usr/bin/env bash
# yrnAgentHalt, through a driver that calls it and prints the raw status.

test_halt_runs_the_control_script_with_stop() {
    local row
    for row in 0:0 3:768 255:65280; do
        expect "$(STARTUP_STATUS=${row%:*} "$HALT_DRIVER")" "${row#*:}" \
            "status returned for a script exiting ${row%:*}"
    done
    expect "$(cat /opt/startup-calls)" $'stop\nstop\nstop' "arguments of each call"
}

test_halt_passes_back_the_shells_status_for_a_missing_script() {
    rm /opt/VTQ/Tessivane/Agent/bin/startup
    expect "$("$HALT_DRIVER" 2> /dev/null)" 32512 "status (127 from the shell)"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
