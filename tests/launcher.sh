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
}

test_shell_that_cannot_start_is_the_launchers_failure() {
    echo 123456789012 > "$pid_file"
    : > not-a-shell
    mount --bind not-a-shell /bin/sh || exit 1
    launch ': > ran'
    expect "$status" 13 "exit status when /bin/sh cannot be executed (EACCES)"
    [ -e ran ]; expect $? 1 "agent not run"
    [[ $(cat "$pid_file") =~ ^[1-9][0-9]*$ && $(cat "$pid_file") != 123456789012 ]]
    expect $? 0 "pid file written in full [$(cat "$pid_file")]"
}

test_agent_inherits_the_environment_and_signal_mask() {
    local value=$' two  words\tand a tab '
    expect "$(YRN_VALUE=$value "$LAUNCHER" 'printf %s "$YRN_VALUE"')" "$value" \
        "variable set for the launcher, in the agent"
    # Read by the agent itself: a shell blocks signals while it waits for a
    # child. SIGUSR1 is 0x200 there.
    expect "$(env --block-signal=USR1 "$LAUNCHER" 'exec grep ^SigBlk /proc/self/status')" \
        $'SigBlk:\t0000000000000200' "agent's blocked signals when the launcher starts with SIGUSR1 blocked"
}

# Prints field $1 of the /proc/PID/status lines in file $2, a mask of
# signals, ORed over its lines and ANDed with $3. SIGINT and SIGQUIT are 0x6
# there, SIGCHLD 0x10000.
masked() {
    local field value mask=0
    while read -r field value; do
        [ "$field" = "$1:" ] && mask=$((mask | 0x$value))
    done < "$2"
    echo $((mask & $3))
}

test_agent_gets_sigint_and_sigquit_as_system_would_give_them() {
    env --default-signal=INT,QUIT "$LAUNCHER" \
        'grep -h ^Sig /proc/$$/status > agent; grep -h ^Sig /proc/$PPID/task/*/status > launcher'
    expect "$(masked SigIgn agent 0x6)" 0 "SIGINT and SIGQUIT at their defaults in the agent"
    expect "$(masked SigIgn launcher 0x6)" 6 "SIGINT and SIGQUIT ignored by the waiting launcher"
    expect "$(masked SigBlk launcher 0x10000)" 65536 "SIGCHLD blocked in a launcher thread"
}

test_background_agent_keeps_sigint_and_sigquit_ignored() {
    # Started in the background, as a script's "&" starts it, the launcher
    # finds SIGINT and SIGQUIT ignored; the agent keeps them so.
    env --ignore-signal=INT,QUIT "$LAUNCHER" 'grep -h ^SigIgn /proc/$$/status > agent'
    expect "$(masked SigIgn agent 0x6)" 6 "SIGINT and SIGQUIT in the agent"
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
    # The mount made read-only, not the file system under it, which an
    # overlay may refuse to reconfigure.
    mount -o remount,bind,ro /etc || exit 1
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
    local limit way
    for way in "file-size limit of one byte" "full /etc"; do
        limit=1
        if [ "$way" = "full /etc" ]; then
            # A small file system of its own over the sandbox's /etc, holding
            # only the loader's cache, which the shells need, and then filled
            # up. (Not an overlay: where / is one already, that would stack
            # too deep.)
            cp /etc/ld.so.cache . &&
                mount -t tmpfs -o size=256k yrn-small-etc /etc &&
                cp ld.so.cache /etc/ ||
                exit 1
            dd if=/dev/zero of=/etc/filler bs=4k 2> /dev/null
            limit=unlimited
        fi
        out=$(prlimit --fsize="$limit" "$LAUNCHER" ': > ran' 2>&1)
        expect $? 1 "exit status with a $way"
        [ -e ran ]; expect $? 1 "agent run with a $way"
        [ -e "$pid_file" ]; expect $? 1 "partial pid file left with a $way"
    done
}

test_pid_file_is_never_group_or_world_writable() {
    local mask mode
    for mask in 022:644 077:600 002:644 000:644; do
        (umask "${mask%:*}" && "$LAUNCHER" true)
        mode=$(stat -c %a "$pid_file")
        expect "$mode" "${mask#*:}" "mode under umask ${mask%:*}"
    done
}

# Prints what stands at the pid file's path: type, mode, owner and inode,
# then what a regular file (or a link to one) holds. Never reads a FIFO,
# which would wait.
entry_state() {
    stat -c '%F %a %u %i' "$pid_file" 2> /dev/null
    [ -f "$pid_file" ] && cat "$pid_file"
}

test_old_entry_is_removed_or_else_written_only_if_nobody_else_could() {
    local entry rm outcome want before status inode path reader=
    # Each row: what stands at the path when the launcher starts; whether rm
    # is on the PATH, so that the removal can succeed; and the outcome:
    #   replaced  status 0; a new regular file, mode 644, holds the value
    #   adopted   status 0; the same file holds the value and nothing else
    #   refused   status 1; the agent not run, the entry left as it was
    # /etc/kept, to which links lead, must read "keep" afterwards.
    while IFS='|' read -r entry rm outcome; do
        rm -f "$pid_file" /etc/kept ran
        echo keep > /etc/kept
        case $entry in
            "link to a file") ln -s /etc/kept "$pid_file" ;;
            "dangling link") ln -s /etc/absent "$pid_file" ;;
            "hard link") ln /etc/kept "$pid_file" ;;
            FIFO) mkfifo -m 600 "$pid_file" ;;
            "FIFO held open by a reader") mkfifo -m 600 "$pid_file" && exec {reader}<> "$pid_file" ;;
            # One write bit at a time beside the owner's: the group's, the
            # others', both.
            "file of mode "*) echo keep > "$pid_file" && chmod "${entry##* }" "$pid_file" ;;
            "longer file of its own") echo 123456789012 > "$pid_file" && chmod 644 "$pid_file" ;;
            # A user namespace can neither make a device nor map another
            # user: nothing to check there.
            "character device") mknod -m 600 "$pid_file" c 1 3 2> /dev/null || continue ;;
            "file of another user")
                echo keep > "$pid_file" && chmod 644 "$pid_file"
                chown 65534 "$pid_file" 2> /dev/null || continue ;;
        esac
        before=$(entry_state)
        inode=$(stat -c %i "$pid_file")
        path=$PATH
        [ "$rm" = "no rm" ] && path=/nonexistent
        status=$(umask 022
            timeout "$patience" env PATH="$path" "$LAUNCHER" 'printf %s $((PPID + 2)) > ran' > /dev/null 2>&1
            echo $?)
        want=$([ "$outcome" = refused ] && echo 1 || echo 0)
        entry="$entry, $rm"
        expect "$status" "$want" "exit status with a $entry"
        [ -e ran ]; expect $? "$want" "agent not run (1) with a $entry"
        case $outcome in
            refused)
                expect "$(entry_state)" "$before" "entry afterwards with a $entry"
                if [ -n "$reader" ]; then
                    read -r -t 0 -u "$reader"; expect $? 1 "bytes waiting in the FIFO (0) with a $entry"
                    exec {reader}>&-
                    reader=
                fi ;;
            adopted)
                expect "$(stat -c %i "$pid_file")" "$inode" "inode with a $entry"
                expect "$(cat "$pid_file")" "$(cat ran)" "value with a $entry" ;;
            replaced)
                [ "$(stat -c %i "$pid_file")" != "$inode" ]; expect $? 0 "same inode (1) with a $entry"
                expect "$(stat -c '%F %a %u' "$pid_file")" "regular file 644 $(id -u)" \
                    "file afterwards with a $entry"
                expect "$(cat "$pid_file")" "$(cat ran)" "value with a $entry" ;;
        esac
        expect "$(cat /etc/kept)" keep "/etc/kept with a $entry"
        [ -e /etc/absent ]; expect $? 1 "something created at a link's target with a $entry"
    done << 'ROWS'
link to a file|no rm|refused
dangling link|no rm|refused
hard link|no rm|refused
FIFO|no rm|refused
FIFO held open by a reader|no rm|refused
character device|no rm|refused
file of mode 664|no rm|refused
file of mode 646|no rm|refused
file of mode 602|no rm|refused
file of mode 666|no rm|refused
file of another user|no rm|refused
longer file of its own|no rm|adopted
link to a file|rm on the PATH|replaced
file of mode 664|rm on the PATH|replaced
file of mode 646|rm on the PATH|replaced
file of mode 602|rm on the PATH|replaced
ROWS
}

test_agent_sees_no_pid_file_descriptor() {
    launch 'ls -l /proc/$$/fd/ /proc/$PPID/fd/ > descriptors'
    expect "$(grep -c yrnagent.pid descriptors)" 0 "descriptors open on the pid file"
}

# What qemu-user cannot give, whatever the launcher does.
declare -A under_qemu=(
    [test_shell_that_cannot_start_is_the_launchers_failure]="qemu runs posix_spawn's vfork as a fork, so the exec's error never reaches the launcher"
    [test_worker_that_cannot_start_touches_nothing]="qemu keeps the address-space limit from the kernel"
    [test_background_agent_keeps_sigint_and_sigquit_ignored]="qemu catches SIGINT and SIGQUIT itself, so /proc shows them caught where the agent ignores them"
)

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
