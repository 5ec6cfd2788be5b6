#!/bin/sh
# What the yrnagent role runs on a managed host, as root, through
# /bin/sh -c: it checks that the host can take a command line and a
# version, reads the agent's state, starts the agent through the health
# gate, and puts back what a failed run changed. Nothing here writes to the
# host but "start" and "rollback".
#
# Usage: on-host.sh check COMMAND-LINE URL KEY VERSION preview|no
#        on-host.sh state PATH...
#        on-host.sh start SETTLE HEALTH
#        on-host.sh rollback VERSION RESTART SETTLE HEALTH [PATH CONTENT]...
set -u
package=yrnagentrun
unit=yrnagent
default_file=/etc/default/yrnagent

# Prints the version of the package installed, or nothing.
installed() {
    dpkg-query -W -f '${db:Status-Status} ${Version}' "$package" 2> /dev/null |
        sed -n 's/^installed //p'
}

# Prints file $1 in base64 on one line, or "-" when there is no such file.
content() {
    if [ -f "$1" ]; then base64 -w 0 < "$1"; else printf %s -; fi
}

# Succeeds when process $1 runs the installed launcher: it maps that very
# file, not one that an upgrade replaced. Its maps say so natively and under
# an emulator alike, where its executable is the emulator's.
runs_installed() {
    awk -v inode="$(stat -c %i /usr/sbin/YRNAgentRun 2> /dev/null)" \
        '$5 == inode && $6 == "/usr/sbin/YRNAgentRun" { found = 1 } END { exit !found }' "/proc/$1/maps"
}

# Checks, changing nothing, that the host can take command line $1 and
# version $4 of the package: its /bin/sh parses the line, and, when $5 is
# "preview", apt reads repository $2, signed by key $3, and holds that
# version. Prints the host's release and, after a space, the version that
# would be installed (nothing when not previewed); fails, saying why.
check() {
    if ! words=$(/bin/sh -n -c -- "$1" 2>&1); then
        echo "yrnagent_command does not parse in the host's /bin/sh: $words"
        return 1
    fi
    # shellcheck disable=SC1091 # the host's own
    release=$(. /etc/os-release && echo "$VERSION_CODENAME")
    version=
    if [ "$5" = preview ] && ! version=$(preview "$2" "$release" "$3" "$4"); then
        echo "$version"
        return 1
    fi
    echo "$release $version"
}

# Prints, as JSON, the package's version ("" when not installed), the
# service's state and enablement, whether its launcher runs from another
# file than the installed one (an upgrade replaced it), and each file named,
# in base64 ("-" when missing).
state() {
    active=$(systemctl show -P ActiveState "$unit" 2> /dev/null)
    main=$(systemctl show -P MainPID "$unit" 2> /dev/null)
    stale=false
    if [ "${main:-0}" -gt 0 ] && ! runs_installed "$main"; then stale=true; fi
    printf '{"version": "%s", "active": "%s", "enabled": "%s", "stale": %s, "files": [' \
        "$(installed)" "$active" "$(systemctl is-enabled "$unit" 2> /dev/null)" "$stale"
    separator=
    for path; do
        printf '%s"%s"' "$separator" "$(content "$path")"
        separator=", "
    done
    echo "]}"
}

# Prints the version that installing version $4 of the package would leave
# ("" for the installed one or else the newest, "latest" for the newest),
# reading repository $1's lists for release $2, signed by key $3, into a
# scratch folder; with no repository, the host's own lists. Apt reads none
# of the host's settings but how it connects, and runs none of its hooks.
# Fails, with apt's words or saying what is not published.
preview() {
    url=$1 release=$2 key=$3 wanted=$4
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    chmod 755 "$scratch" # apt fetches as its own user
    mkdir -p "$scratch/empty" "$scratch/lists/partial" "$scratch/cache"
    {
        apt-config dump Acquire
        echo "Dir::Etc::Parts \"$scratch/empty\"; Dir::Etc::main \"/dev/null\";"
        echo "Dir::Etc::PreferencesParts \"$scratch/empty\"; Dir::Etc::Preferences \"/dev/null\";"
        echo "Dir::Cache \"$scratch/cache\";"
    } > "$scratch/apt.conf"
    export APT_CONFIG="$scratch/apt.conf"
    if [ -n "$url" ]; then
        printf '%s\n' "$key" > "$scratch/key.asc"
        printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
            "$url" "$release" "$scratch/key.asc" > "$scratch/yrnagent.sources"
        echo "Dir::Etc::SourceList \"$scratch/yrnagent.sources\"; Dir::Etc::SourceParts \"$scratch/empty\";" \
            "Dir::State::Lists \"$scratch/lists\";" >> "$scratch/apt.conf"
        apt-get -q update --error-on=any > "$scratch/update.log" 2>&1 || {
            cat "$scratch/update.log"
            return 1
        }
    fi
    newest=$(apt-cache policy "$package" | sed -n 's/^ *Candidate: //p')
    case $wanted in
        "") wanted=$(installed) && [ -n "$wanted" ] || wanted=$newest ;;
        latest) wanted=$newest ;;
        "$(installed)") ;;
        *) published "$wanted" || wanted= ;;
    esac
    if [ -z "$wanted" ] || [ "$wanted" = "(none)" ]; then
        where=${url:-"the host's package lists"}
        echo "$package${4:+ $4} is not published in $where"
        return 1
    fi
    echo "$wanted"
}

# Succeeds when apt's lists hold version $1 of the package.
published() {
    apt-cache madison "$package" | cut -d '|' -f 2 | tr -d ' ' | grep -qxF -- "$1"
}

# Prints the systemd property $1 of the service.
property() { systemctl show -P "$1" "$unit"; }

# Succeeds while the service is active with main process $main and restart
# count $restarts, and the agent's shell runs under that process; otherwise
# sets $broke to what broke.
held() {
    now=$(property ActiveState)
    if [ "$now" != active ]; then
        broke="the service is $now, not active"
    elif [ "$(property MainPID)" != "$main" ]; then
        broke="the launcher was started again: its process $main became $(property MainPID)"
    elif [ "$(property NRestarts)" != "$restarts" ]; then
        broke="systemd restarted the launcher ($restarts restarts before, $(property NRestarts) now)"
    elif ! grep -qsx "PPid:[[:space:]]*$main" /proc/[0-9]*/status; then
        broke="no agent shell runs under the launcher (process $main)"
    else
        return 0
    fi
    return 1
}

# Restarts the agent and holds it to the health gate for $1 seconds: the
# service stays active with the same main process and restart count, and
# the agent's shell runs under the launcher; then the pid file holds
# MainPID + 2 and health command $2, when given, exits 0 within 60 s. When
# a condition breaks, prints which, with the journal's lines since the
# start, and fails.
start() {
    settle=$1 health=$2 broke=
    since=$(date +%s.%N)
    systemctl reset-failed "$unit" 2> /dev/null
    # Stopped, then started: the journal's lines since are this start's alone.
    if ! broke=$(systemctl stop "$unit" 2>&1) || ! since=$(date +%s.%N) || ! broke=$(systemctl start "$unit" 2>&1); then
        broke="systemctl could not restart $unit: $broke"
    else
        broke='' main=$(property MainPID) restarts=$(property NRestarts)
        end=$(($(date +%s) + settle))
        while sleep 1 && held && [ "$(date +%s)" -lt "$end" ]; do :; done
        pid_file=$(cat /etc/yrnagent.pid 2> /dev/null)
        if [ -z "$broke" ] && [ "$pid_file" != $((main + 2)) ]; then
            broke="/etc/yrnagent.pid holds \"$pid_file\", not MainPID + 2 = $((main + 2))"
        elif [ -z "$broke" ] && [ -n "$health" ]; then
            timeout 60 /bin/sh -c "$health" > /dev/null 2>&1
            status=$?
            [ "$status" -eq 0 ] || broke="the health command exited with status $status"
            [ "$status" -ne 124 ] || broke="the health command did not finish within 60 s"
        fi
    fi
    [ -z "$broke" ] && return 0
    sleep 1 # the journal takes the agent's last lines a moment after they were written
    echo "health gate: $broke"
    echo "journalctl -u $unit since this start:"
    journalctl -u "$unit" --since "@$since" -n 20 -o cat --no-pager -q | sed 's/^/  /'
    return 1
}

# Writes back file $1 as content $2 (base64, "-" for no file), and says so,
# where it differs.
put_back() {
    [ "$(content "$1")" = "$2" ] && return
    if [ "$2" = - ]; then
        rm -f "$1"
    else
        printf %s "$2" | base64 -d > "$1.yrnagent-new" && chmod 644 "$1.yrnagent-new" &&
            mv -f "$1.yrnagent-new" "$1" || return
    fi
    echo "put back $1"
    put_back_any=yes
}

# Puts back what a failed run changed, saying what: the files named, each as
# its content (base64, "-" for none), the apt settings first and the
# agent's command line last; the package at version $1 ("" for none); and,
# when $2 is "restart" and something was put back, the agent, through the
# health gate (settle $3, health command $4).
rollback() {
    version=$1 restart=$2 settle=$3 health=$4 put_back_any=
    shift 4
    while [ $# -ge 2 ]; do
        if [ "$1" = "$default_file" ]; then command_line=$2; else put_back "$1" "$2"; fi
        shift 2
    done
    export DEBIAN_FRONTEND=noninteractive
    if [ "$(installed)" != "$version" ]; then
        if [ -z "$version" ]; then
            apt-get -qq -y purge "$package" > /dev/null
            done_words="removed $package, which this host did not have" failed_words="could not remove $package"
        elif published "$version"; then
            apt-get -qq -y install --allow-downgrades -o Dpkg::Options::=--force-confold \
                "$package=$version" > /dev/null
            done_words="put back $package $version" failed_words="could not put back $package $version"
        else
            failed_words="could not put back $package $version, which is no longer published"
        fi
        if [ "$(installed)" = "$version" ]; then echo "$done_words"; else echo "$failed_words: $package $(installed) stays"; fi
        put_back_any=yes
    fi
    if [ -n "$(installed)" ] && [ -n "${command_line+set}" ]; then put_back "$default_file" "$command_line"; fi
    [ "$restart" = restart ] && [ -n "$put_back_any" ] && [ -n "$(installed)" ] || return 0
    if grep -qxE "YRNAGENT_COMMAND=(\"\"|''|)" "$default_file"; then
        systemctl stop "$unit" && echo "stopped the agent: this host had no command line before"
    elif gate=$(start "$settle" "$health"); then
        echo "started the agent again with its previous command line: it passes the health gate"
    else
        echo "started the agent again with its previous command line: it fails the health gate too"
        echo "$gate"
    fi
}

"$@"
