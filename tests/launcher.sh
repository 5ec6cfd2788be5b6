#!/usr/bin/env bash
# The launcher run end to end: the pid file, the agent command, the exit status.
# shellcheck disable=SC2016 # agent command lines expand in the agent's shell
pid_file=/etc/yrnagent.pid

test_pid_file_is_complete_before_the_agent_and_outlives_it() {
    echo 123456789012 > "$pid_file"
    # The agent sleeps first: if the launcher did not wait for it, its
    # records would be missing afterwards.
    launch 'sleep 0.1; printf %s $((PPID + 2)) > expected; cat /etc/yrnagent.pid > seen'
    expect "$status" 0 "exit status"
    expect "$out" "" "output"
    cmp -s expected seen; expect $? 0 "pid file read by the agent equals its parent's id plus 2"
    cmp -s expected "$pid_file"; expect $? 0 "pid file bytes after the run"
    [ -e /opt/startup-calls ]; expect $? 1 "control script never run by the launcher"
}

test_one_argument_is_one_shell_command_line() {
    launch 'printf "[%s]" one "two three"' ignored
    expect "$out" "[one][two three]" "quoted argument split by the shell"
    launch echo ignored
    expect "$out" "" "further arguments ignored"
}

test_agent_status_never_becomes_the_launchers() {
    local command
    for command in 'exit 3' 'no-such-agent-command' 'kill -KILL $$'; do
        launch "$command"
        expect "$status" 0 "exit status when the agent runs '$command'"
    done
}

test_no_argument_still_rewrites_the_pid_file() {
    echo 123456789012 > "$pid_file"
    launch
    expect "$status" 0 "exit status"
    expect "$out" "" "output"
    [[ $(cat "$pid_file") =~ ^[1-9][0-9]*$ && $(cat "$pid_file") != 123456789012 ]]
    expect $? 0 "pid file rewritten with one number [$(cat "$pid_file")]"
}

test_unwritable_etc_ends_with_status_1() {
    mount -o remount,ro /etc || exit 1
    launch ': > ran'
    expect "$status" 1 "exit status"
    [ -e ran ]; expect $? 1 "agent not run"
}

test_worker_that_cannot_start_touches_nothing() {
    echo 12345 > "$pid_file"
    # Too little address space for a thread stack: the creation fails, EAGAIN.
    out=$(ulimit -s 65536 -v 32768; "$LAUNCHER" ': > ran' 2>&1)
    expect $? 11 "exit status"
    [ -e ran ]; expect $? 1 "agent not run"
    expect "$(cat "$pid_file")" 12345 "old pid file kept"
}

test_failed_write_leaves_no_pid_file_and_runs_nothing() {
    # A full file system: another overlay, on the sandbox's own, whose
    # changes go to a small tmpfs that is then filled up.
    mkdir small &&
        mount -t tmpfs -o size=64k yrn-small small &&
        mkdir small/upper small/work &&
        mount -t overlay yrn-etc -o lowerdir=/etc,upperdir=small/upper,workdir=small/work /etc ||
        exit 1
    dd if=/dev/zero of=small/filler bs=4k 2> /dev/null
    launch ': > ran'
    expect "$status" 1 "exit status on a full disk"
    [ -e ran ]; expect $? 1 "agent not run"
    [ -e "$pid_file" ]; expect $? 1 "no partial pid file left"
}

test_pid_file_is_never_group_or_world_writable() {
    local mask mode
    for mask in 022:644 077:600 002:644 000:644; do
        (umask "${mask%:*}" && "$LAUNCHER" true)
        mode=$(stat -c %a "$pid_file")
        expect "$mode" "${mask#*:}" "mode under umask ${mask%:*}"
    done
}

test_pid_file_is_never_written_through_a_link() {
    local target
    for target in "$SCRATCH/kept" "$SCRATCH/absent"; do
        echo keep > kept
        ln -sfn "$target" "$pid_file"
        # With no rm on the PATH the removal fails and the link stays.
        out=$(PATH=/nonexistent "$LAUNCHER" ': > ran' 2>&1)
        expect $? 1 "exit status with a link to $target"
        [ -e ran ]; expect $? 1 "agent not run"
        expect "$(cat kept)" keep "link target unchanged"
        [ -e absent ]; expect $? 1 "no file created at the link's target"
    done
}

test_agent_sees_no_pid_file_descriptor() {
    launch 'ls -l /proc/$$/fd/ /proc/$PPID/fd/ > descriptors'
    expect "$(grep -c yrnagent.pid descriptors)" 0 "descriptors open on the pid file"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
