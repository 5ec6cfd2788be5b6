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
    launch '-v 2> /dev/null; echo ran'
    expect "$out" ran "command line beginning with -"
}

test_agent_status_never_becomes_the_launchers() {
    local command
    for command in 'exit 3' 'no-such-agent-command' 'kill -KILL $$'; do
        launch "$command"
        expect "$status" 0 "exit status when the agent runs '$command'"
    done
    # A shell that cannot even start is the launcher's failure, not the agent's.
    echo 123456789012 > "$pid_file"
    : > not-a-shell
    mount --bind not-a-shell /bin/sh || exit 1
    launch ': > ran'
    expect "$status" 13 "exit status when /bin/sh cannot be executed (EACCES)"
    [ -e ran ]; expect $? 1 "agent not run"
    [[ $(cat "$pid_file") =~ ^[1-9][0-9]*$ && $(cat "$pid_file") != 123456789012 ]]
    expect $? 0 "pid file written in full [$(cat "$pid_file")]"
}

test_agent_gets_the_signal_state_system_would_give_it() {
    # Prints field $1 of the /proc/PID/status lines in file $2, a mask of
    # signals, ORed over its lines and ANDed with $3. SIGINT and SIGQUIT are
    # 0x6 there, SIGCHLD 0x10000.
    masked() {
        local field value mask=0
        while read -r field value; do
            [ "$field" = "$1:" ] && mask=$((mask | 0x$value))
        done < "$2"
        echo $((mask & $3))
    }
    launch 'grep -h ^Sig /proc/$$/status > agent; grep -h ^Sig /proc/$PPID/task/*/status > launcher'
    expect "$(masked SigIgn agent 0x6)" 0 "SIGINT and SIGQUIT at their defaults in the agent"
    expect "$(masked SigIgn launcher 0x6)" 6 "SIGINT and SIGQUIT ignored by the waiting launcher"
    expect "$(masked SigBlk launcher 0x10000)" 65536 "SIGCHLD blocked in a launcher thread"
    # Started in the background, as a script's "&" starts it, the launcher
    # finds SIGINT and SIGQUIT ignored; the agent keeps them so.
    "$LAUNCHER" 'grep -h ^SigIgn /proc/$$/status > agent' &
    wait $!
    expect "$(masked SigIgn agent 0x6)" 6 "SIGINT and SIGQUIT still ignored in a background agent"
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
    # A full /etc: a small file system of its own over the sandbox's, holding
    # only the loader's cache, which the shells need, and then filled up.
    # (Not an overlay: where / is one already, that would stack too deep.)
    cp /etc/ld.so.cache . &&
        mount -t tmpfs -o size=256k yrn-small-etc /etc &&
        cp ld.so.cache /etc/ ||
        exit 1
    dd if=/dev/zero of=/etc/filler bs=4k 2> /dev/null
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

test_survivor_of_a_failed_removal_is_written_only_if_nobody_else_could() {
    local survivor want_status want_pid
    # Each row: what stands at the path after the removal failed, the
    # launcher's exit status, and what the path reads afterwards. /etc/kept,
    # which links lead to, must read "keep" afterwards.
    while IFS='|' read -r survivor want_status want_pid; do
        rm -f "$pid_file" /etc/kept ran
        echo keep > /etc/kept
        case $survivor in
            "link to a file") ln -s /etc/kept "$pid_file" ;;
            "dangling link") ln -s /etc/absent "$pid_file" ;;
            "hard link") ln /etc/kept "$pid_file" ;;
            FIFO) mkfifo "$pid_file" ;;
            "world-writable file") echo keep > "$pid_file" && chmod 666 "$pid_file" ;;
            "file of another user")
                echo keep > "$pid_file"
                # A user namespace maps no other user: nothing to check there.
                chown 65534 "$pid_file" 2> /dev/null || continue ;;
            "longer file of its own") echo 123456789012 > "$pid_file" ;;
        esac
        # With no rm on the PATH the removal fails and the survivor stays.
        out=$(timeout 5 env PATH=/nonexistent "$LAUNCHER" 'printf %s $((PPID + 2)) > ran' 2>&1)
        expect $? "$want_status" "exit status with a $survivor"
        [ "$want_pid" = "agent's" ] && want_pid=$(cat ran)
        # Read through a link, but never from a FIFO, which would wait.
        expect "$([ -f "$pid_file" ] && cat "$pid_file")" "$want_pid" "pid file with a $survivor"
        expect "$(cat /etc/kept)" keep "/etc/kept with a $survivor"
        [ -e ran ]; expect $? "$((want_status == 0 ? 0 : 1))" "agent run with a $survivor"
        [ -e /etc/absent ]; expect $? 1 "nothing created at a link's target"
    done << 'ROWS'
link to a file|1|keep
dangling link|1|
hard link|1|keep
FIFO|1|
world-writable file|1|keep
file of another user|1|keep
longer file of its own|0|agent's
ROWS
}

test_agent_sees_no_pid_file_descriptor() {
    launch 'ls -l /proc/$$/fd/ /proc/$PPID/fd/ > descriptors'
    expect "$(grep -c yrnagent.pid descriptors)" 0 "descriptors open on the pid file"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
