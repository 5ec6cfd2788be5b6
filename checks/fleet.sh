# shellcheck shell=bash
# shellcheck disable=SC2016 # command lines expand in a host's shell
# shellcheck disable=SC2154,SC2034 # the sourcing script sets the fleet and reads what is read here
# Sourced by checks/fleet and bench/fleet: a fleet of booted hosts, reached
# over ssh on 127.0.0.1, the package and the collection built and published
# as a signed repository served by nginx, and controllers with their own
# Ansible; what a host says of its agent, and what a play reported.
#
# The sourcing script sets, before it calls anything here: hosts, and for
# each host its target (RELEASE/ARCH) and sshd's port; web, the repository's
# address; controllers, the releases whose Ansible runs the plays. Each
# function works in $scratch, which fleet_namespace sets; $fleet is the
# controllers' /fleet: the inventory, the ssh key, the known hosts.
# shellcheck source=checks/targets.sh
. checks/targets.sh
# shellcheck source=checks/fresh-root.sh
. checks/fresh-root.sh
# shellcheck source=tests/tally.sh
. tests/tally.sh

declare -A target port
also_free=()
agent=/opt/VTQ/Tessivane/Agent/bin/agent
declare -A controller_name=([bookworm]="Debian 12" [trixie]="Debian 13")

# Runs the calling script again, with the arguments given, as the first
# process of mount and process namespaces of its own, in a scratch folder,
# and exits with its status: the hosts, the controllers and the web server
# end with it, however it ends. Inside, sets $scratch and $fleet, checks that
# nothing listens yet on the fleet's ports or on those in $also_free, and
# returns.
fleet_namespace() {
    if [ "${1-}" != --inside ]; then
        # shellcheck source=scripts/need.sh
        . scripts/need.sh
        need git util-linux dpkg-dev systemd-container aptly gpg gpg-agent nginx openssh-client
        [ "$(id -u)" -eq 0 ] || { echo "$0: needs root" >&2; exit 1; }
        local name status=0
        for name in "${hosts[@]}"; do enable_arch "${target[$name]#*/}"; done
        scratch=$(mktemp -d /var/tmp/yrnagentrun-fleet.XXXXXX)
        trap 'rm -rf --one-file-system "$scratch"' EXIT
        unshare --mount --pid --fork --mount-proc --propagation private "$0" --inside "$scratch" "$@" || status=$?
        drop_cgroups "$(cgroup_for "$scratch")"
        exit "$status"
    fi
    # The first process of its namespace: a signal ends it, and so everything
    # in the namespace, only when it says so.
    trap 'exit 143' TERM INT
    scratch=$2
    fleet=$scratch/fleet
    public=$scratch/repository/public
    mkdir -p "$fleet" "$scratch/packages"
    local listener
    for listener in "${port[@]}" "${web#*:}" "${also_free[@]#*:}"; do
        if (exec 3<> "/dev/tcp/127.0.0.1/$listener") 2> /dev/null; then
            echo "$0: something already listens on 127.0.0.1:$listener (an earlier run?)" >&2
            exit 1
        fi
    done
}

failed_points=()
# Prints a point's line; records it as failed unless the test's expectations
# held ($failures is 0).
point() {
    if [ "$failures" -eq 0 ]; then
        ok "$1"
    else
        not_ok "$1"
        failed_points+=("$1")
    fi
    failures=0
}

# Prints the bytes of the standard input as hexadecimal, on one line.
hex() { od -An -v -tx1 | tr -d ' \n'; }

# Runs a shell command line on host $1, as root over ssh.
on() {
    ssh -F /dev/null -o BatchMode=yes -o ConnectTimeout=20 -o LogLevel=ERROR \
        -o UserKnownHostsFile="$fleet/known_hosts" -o StrictHostKeyChecking=yes \
        -i "$fleet/id" -p "${port[$1]}" root@127.0.0.1 "$2"
}

# Prints what host $1 says of its agent, one field a line: the service's
# state, its main process, the pid file, the agent's process, the package's
# version, and in hexadecimal the launcher's last argument and the
# arguments the agent received; then when the launcher started, in
# microseconds of the machine's monotonic clock, whether it runs the
# installed file or one that an upgrade replaced, and the version that apt
# is pinned to.
probe='
main=$(systemctl show -P MainPID yrnagent 2> /dev/null)
systemctl is-active yrnagent 2> /dev/null || true
echo "${main:-0}"
{ cat /etc/yrnagent.pid 2> /dev/null || printf none; }; echo
cat /run/agent.pid 2> /dev/null || echo none
dpkg-query -W -f "\${db:Status-Status}:\${Version}\n" yrnagentrun 2> /dev/null || echo none
python3 -c "
import sys
try:
    print(open(\"/proc/%s/cmdline\" % sys.argv[1], \"rb\").read().split(b\"\0\")[-2].hex())
except Exception:
    print(\"none\")
try:
    print(open(\"/run/agent.args\", \"rb\").read().hex())
except Exception:
    print(\"none\")
" "$main"
systemctl show -P ExecMainStartTimestampMonotonic yrnagent 2> /dev/null || echo 0
if [ -r "/proc/$main/maps" ]; then
    awk -v inode="$(stat -c %i /usr/sbin/YRNAgentRun)" "\$5 == inode && \$6 == \"/usr/sbin/YRNAgentRun\" { found = 1 }
        END { print found ? \"installed\" : \"replaced\" }" "/proc/$main/maps"
else
    echo none
fi
pin=$(sed -n "s/^Pin: version //p" /etc/apt/preferences.d/yrnagent 2> /dev/null)
echo "${pin:-none}"'
declare -A state main pid_file agent_pid version launcher_arg agent_args started launcher_file pin

# Reads the probe's fields on every host that answers into the arrays above;
# a host that does not answer gets "unreachable" throughout.
survey() {
    local name fields
    for name in "${hosts[@]}"; do
        mapfile -t fields < <(on "$name" "$probe" 2> /dev/null)
        [ "${#fields[@]}" -eq 10 ] || mapfile -t fields < <(yes unreachable | head -n 10)
        state[$name]=${fields[0]} main[$name]=${fields[1]} pid_file[$name]=${fields[2]}
        agent_pid[$name]=${fields[3]} version[$name]=${fields[4]}
        launcher_arg[$name]=${fields[5]} agent_args[$name]=${fields[6]}
        started[$name]=${fields[7]} launcher_file[$name]=${fields[8]} pin[$name]=${fields[9]}
    done
}

# Expects host $1 to run the agent with command line $2, which makes the
# agent's arguments the rest: active, the launcher given exactly that line,
# the agent exactly those arguments, and the pid file MainPID + 2.
expect_running() {
    local name=$1 command=$2
    shift 2
    expect "${state[$name]}" active "$name: service"
    expect "${launcher_arg[$name]}" "$(printf %s "$command" | hex)" "$name: launcher's argument, in hexadecimal"
    expect "${agent_args[$name]}" "$(printf '%s\0' "$@" | hex)" "$name: agent's arguments, in hexadecimal"
    local want=none
    [[ ${main[$name]} =~ ^[1-9][0-9]*$ ]] && want=$((main[$name] + 2))
    expect "${pid_file[$name]}" "$want" "$name: pid file against MainPID ${main[$name]}"
    expect "${launcher_file[$name]}" installed "$name: the launcher's file"
}

# Prints, for every host, its main and agent processes and package version.
processes() {
    local name
    for name in "${hosts[@]}"; do echo "$name ${main[$name]} ${agent_pid[$name]} ${version[$name]}"; done
}

# Prints the exit status of the command that follows.
status_of() {
    local status=0
    "$@" || status=$?
    echo "$status"
}

# Prints $1 quoted for YAML: single quotes, in which only ' needs doubling.
yaml_quote() { printf "'%s'" "${1//\'/\'\'}"; }

# Writes the inventory: every host runs command line $1 (none when empty);
# each further NAME=COMMAND gives host NAME a command line of its own.
inventory() {
    local name command=$1 special
    shift
    {
        echo "yrnagent:"
        echo "  hosts:"
        for name in "${hosts[@]}"; do
            echo "    $name:"
            echo "      ansible_port: ${port[$name]}"
            for special; do
                [ "${special%%=*}" = "$name" ] && echo "      yrnagent_command: $(yaml_quote "${special#*=}")"
            done
        done
        cat << VARS
  vars:
    ansible_host: 127.0.0.1
    ansible_user: root
    ansible_become: false
    ansible_python_interpreter: /usr/bin/python3
    ansible_ssh_private_key_file: /fleet/id
    ansible_ssh_common_args: -F /dev/null -o UserKnownHostsFile=/fleet/known_hosts -o StrictHostKeyChecking=yes
    yrnagent_repository_url: http://$web
    yrnagent_repository_key: "{{ lookup('ansible.builtin.file', '/fleet/archive-key.asc') }}"
    yrnagent_batches: [1, "100%"]
    yrnagent_settle_seconds: 1
VARS
        [ -z "$command" ] || echo "    yrnagent_command: $(yaml_quote "$command")"
    } > "$fleet/inventory.yml"
}

# Runs the playbook yrnagentrun.agent.rollout from controller $1, in the
# operator's folder there, with the arguments that follow; its output goes to
# $fleet/play.log ($play_log when set), and a copy to the run's log. Leaves
# its status in $play_status. With $playbook set, runs that playbook of the
# collection instead.
play() {
    local root=$scratch/controller-$1/root arguments='' log=${play_log:-$fleet/play.log}
    shift
    [ $# -eq 0 ] || arguments=$(printf ' %q' "$@")
    play_status=0
    in_root "$root" "cd /root/rollout && ANSIBLE_NOCOLOR=1 ansible-playbook yrnagentrun.agent.${playbook:-rollout}$arguments" \
        > "$log" 2>&1 || play_status=$?
    cat "$log" >> "$scratch/plays.log"
}

# Runs the playbook yrnagentrun.agent.status from controller $1 as play
# does, with the arguments that follow; its report goes to
# $fleet/status.json.
status_run() {
    rm -f "$fleet/status.json"
    playbook=status play "$@" -e yrnagent_status_file=/fleet/status.json
}

# Prints, for each host of the last status report, in the fleet's order,
# its name and the fields named ($@), dotted for those of last_change; none
# for a host the report lacks.
reported() {
    python3 - "$fleet/status.json" "${hosts[@]}" -- "$@" << 'REPORTED'
import json
import sys
split = sys.argv.index('--')
report = json.load(open(sys.argv[1]))['hosts']
for name in sys.argv[2:split]:
    host = report.get(name)
    values = []
    for field in sys.argv[split + 1:]:
        value = host
        for part in field.split('.'):
            value = value.get(part) if isinstance(value, dict) else None
        values.append(json.dumps(value))
    print(name, *(values if host is not None else ['none']))
REPORTED
}

# Prints a digest of what host $1's apt and dpkg hold: settings, lists and
# dpkg's state.
apt_state() { on "$1" 'find /etc/apt /var/lib/apt/lists /var/lib/dpkg -type f -print0 | sort -z | xargs -0 sha256sum | sha256sum'; }

# Prints field $2 (changed, failed, unreachable, ...) of host $1 in the last
# play's recap.
recap() {
    awk -v host="$1" -v field="$2" '$1 == host && $2 == ":" {
        for (i = 3; i <= NF; i++) { split($i, pair, "="); if (pair[1] == field) print pair[2] }
    }' "$fleet/play.log"
}

# Prints the hosts of the last play's recap with field $1 equal to $2.
hosts_with() {
    local name
    for name in "${hosts[@]}"; do [ "$(recap "$name" "$1")" = "$2" ] && echo "$name"; done | paste -sd ' '
}

# Shows the end of the last play's output, once a point has failed.
show_play() {
    [ "$failures" -eq 0 ] || { echo "--- the play's last lines:"; tail -n 40 "$fleet/play.log"; }
}

# Builds the package on target $1 (RELEASE/ARCH, ARCH possibly foreign to
# RELEASE's root) into $scratch/packages/RELEASE-ARCH, without the tests:
# this version, and, when $later is set, that one too. On this machine's
# architecture, builds the collection as well; with $later set, it then
# tries to again from an untracked file and from the later changelog entry,
# which must be refused with nothing left; their words go to
# RELEASE-ARCH/refusals.
build() {
    local out=$scratch/packages/${1/\//-} release=${1%/*} arch=${1#*/} collection=: refusal=: later_build=:
    mkdir -p "$out"
    if [ "$arch" = "$host_arch" ]; then
        collection="scripts/build-collection /out"
        [ -z "${later-}" ] || collection="$collection &&
            touch ansible/stray.yml && ! scripts/build-collection /out 2>> /out/refusals && rm ansible/stray.yml"
        refusal="git -c user.name=check -c user.email=check@yrnagentrun.invalid commit -qam 'A later version' &&
            ! scripts/build-collection /out 2>> /out/refusals"
    fi
    if [ -n "${later-}" ]; then
        cp "$scratch/later-entry" "$out/"
        later_build="cat /out/later-entry debian/changelog > /tmp/changelog && mv /tmp/changelog debian/changelog &&
            $refusal && scripts/build-package $arch && cp ../yrnagentrun_*_$arch.deb ../yrnagentrun_*_$arch.buildinfo /out/"
    fi
    checks/in-fresh-root --out "$out" "$release" overlay "
        export DEB_BUILD_OPTIONS=nocheck
        scripts/build-package $arch && cp ../yrnagentrun_*_$arch.deb ../yrnagentrun_*_$arch.buildinfo /out/ &&
        $collection && $later_build" \
        > "$out.log" 2>&1
}

# Mounts host $1's root, an overlay over a pristine host root, and gives it
# its sshd port, new host keys, the check's ssh key, and a stand-in agent
# and control script.
prepare_host() {
    local name=$1 dir=$scratch/hosts/$1 pristine bin
    pristine=$(checks/debian-root host "${target[$name]}")
    mkdir -p "$dir/root" "$dir/upper" "$dir/work"
    mount -t overlay "fleet-$name" -o "lowerdir=$pristine,upperdir=$dir/upper,workdir=$dir/work" "$dir/root"
    prepare_boot "$dir/root" "${target[$name]#*/}"
    printf 'Port %s\nListenAddress 127.0.0.1\nPasswordAuthentication no\n' "${port[$name]}" \
        > "$dir/root/etc/ssh/sshd_config.d/fleet.conf"
    rm -f "$dir/root/etc/ssh/ssh_host_"*
    ssh-keygen -q -A -f "$dir/root" > /dev/null
    echo "$name" > "$dir/root/etc/hostname"
    echo "[127.0.0.1]:${port[$name]} $(cut -d ' ' -f 1,2 "$dir/root/etc/ssh/ssh_host_ed25519_key.pub")" \
        >> "$fleet/known_hosts"
    install -d -m 700 "$dir/root/root/.ssh"
    install -m 600 "$fleet/id.pub" "$dir/root/root/.ssh/authorized_keys"
    bin=$dir/root${agent%/*}
    mkdir -p "$bin"
    cat > "$bin/agent" << 'AGENT'
#!/bin/sh
# Stand-in agent: records its arguments and its process id, then waits.
printf '%s\0' "$@" > /run/agent.args
echo $$ > /run/agent.pid
exec sleep infinity
AGENT
    cat > "$bin/startup" << 'STARTUP'
#!/bin/sh
# Stand-in control script: records its calls; "stop" ends the agent.
echo "$*" >> /run/startup-calls
if [ "$1" = stop ] && [ -s /run/agent.pid ]; then kill "$(cat /run/agent.pid)" 2> /dev/null; fi
exit 0
STARTUP
    chmod 755 "$bin/agent" "$bin/startup"
}

declare -A booted
# Boots host $1; it answers over ssh some time later.
boot() {
    local dir=$scratch/hosts/$1
    (
        enter_own_cgroup "$(cgroup_for "$dir")"
        exec systemd-nspawn --quiet --register=no --keep-unit --directory="$dir/root" \
            --machine="$1" --hostname="$1" --boot
    ) >> "$dir/console.log" 2>&1 &
    booted[$1]=$!
}

# Waits until host $1 answers over ssh, under emulation on a loaded machine
# too; fails, showing its console, if it never does.
answering() {
    wait_for 600 on "$1" true 2> /dev/null && return
    echo "checks/fleet: host $1 does not answer over ssh; its console's last lines:" >&2
    tail -n 20 "$scratch/hosts/$1/console.log" >&2
    return 1
}

# Waits until host $1 has booted up: every unit of its boot, its agent's
# and the one that puts back a change cut short among them, has started or
# failed. sshd answers well before.
booted_up() { on "$1" 'systemctl is-system-running --wait > /dev/null' || true; }

# Shuts host $1 down and waits until it has. Asked from inside: a signal to
# systemd-nspawn reaches an emulated systemd as another signal.
shut_down() {
    on "$1" 'systemctl poweroff --no-block' || true
    wait_for "$patience" eval "! kill -0 ${booted[$1]} 2> /dev/null" || kill -KILL "${booted[$1]}"
    wait "${booted[$1]}" || true
}

# Cuts host $1's power: its init killed at once, and every process of the
# host with it, with nothing flushed or shut down; what it wrote stays.
power_cut() {
    kill -KILL "$(pgrep -P "${booted[$1]}")"
    wait "${booted[$1]}" || true
}

# Builds the package for each target given (RELEASE/ARCH) in a fresh root
# of its release, side by side, this version and, when $later is set, that
# one too, and the collection (build); sets $current and $collection, and
# deb VERSION prints the path of a built package's file for each target.
build_packages() {
    local build_target begin=$SECONDS
    declare -A building
    current=$(dpkg-parsechangelog -S Version)
    # The later version's changelog entry, a day after this version's.
    if [ -n "${later-}" ]; then
        cat > "$scratch/later-entry" << ENTRY
yrnagentrun ($later) unstable; urgency=medium

  * A later version, to prove upgrades.

 -- YRNAgentRun maintainers <maintainers@yrnagentrun.invalid>  $(date -u -R -d "@$(($(dpkg-parsechangelog -S Timestamp) + 86400))")

ENTRY
    fi
    for build_target; do
        build "$build_target" &
        building[$build_target]=$!
    done
    for build_target; do
        if ! wait "${building[$build_target]}"; then
            tail -n 30 "$scratch/packages/${build_target/\//-}.log"
            echo "$0: the package's build on $build_target failed" >&2
            exit 1
        fi
    done
    collection=$(echo "$scratch/packages/bookworm-$host_arch"/yrnagentrun-agent-*.tar.gz)
    echo "packages $current${later:+ and $later} built for $*, and the collection: $((SECONDS - begin)) s"
}

# Prints the path of the file of version $2 of the package, built on target $1 (RELEASE-ARCH).
deb() { echo "$scratch/packages/$1/yrnagentrun_$2_${1#*-}.deb"; }

# Makes the operator's key and a stranger's, in a keyring of the run's own;
# sets $operator and $stranger to their fingerprints.
make_keys() {
    local who
    export GNUPGHOME=$scratch/gnupg
    install -d -m 700 "$GNUPGHOME"
    for who in operator stranger; do
        gpg --batch --quiet --passphrase '' --quick-gen-key "Fleet $who <$who@yrnagentrun.invalid>" ed25519 sign never \
            2> /dev/null
    done
    operator=$(fingerprint_of operator) stranger=$(fingerprint_of stranger)
}

# Prints the fingerprint of the key of user $1 made by make_keys.
fingerprint_of() { gpg --with-colons --list-keys "$1@yrnagentrun.invalid" | awk -F: '$1 == "fpr" { print $10; exit }'; }

# Publishes into $scratch/repository with key $1 what follows, as
# scripts/publish-repository takes it; its words go to $scratch/publish.log.
publish() {
    scripts/publish-repository --key "$1" --into "$scratch/repository" "${@:2}" > /dev/null 2> "$scratch/publish.log" || {
        cat "$scratch/publish.log" >&2
        return 1
    }
}

# Publishes version $1 of the package, and what follows, with the operator's
# key: one file per architecture built, Debian 12's, for both releases.
publish_version() {
    local debs=() built
    for built in "$scratch/packages"/bookworm-*/; do
        built=${built%/}
        debs+=("$(deb "${built##*/}" "$1")")
    done
    publish "$operator" bookworm "${debs[@]}" trixie "${debs[@]}" "${@:2}"
}

# Serves $scratch/repository/public with nginx on $web, and hands its key to the controllers.
serve_repository() {
    cp "$public/yrnagent-archive-key.asc" "$fleet/archive-key.asc"
    mkdir -p "$scratch/nginx"
    cat > "$scratch/nginx/nginx.conf" << CONF
user root;
worker_processes 1;
daemon off;
pid $scratch/nginx/nginx.pid;
error_log stderr;
events {}
http {
    access_log off;
    client_body_temp_path $scratch/nginx/body;
    server {
        listen $web;
        root $public;
    }
}
CONF
    nginx -p "$scratch/nginx" -c "$scratch/nginx/nginx.conf" -e stderr 2> "$scratch/nginx/error.log" &
    wait_for "$patience" bash -c "exec 3<> /dev/tcp/${web%:*}/${web#*:}" 2> /dev/null
}

# Boots every host, with an ssh key of the run's own, and waits until each answers.
boot_hosts() {
    local name begin=$SECONDS
    ssh-keygen -q -t ed25519 -N '' -f "$fleet/id"
    for name in "${hosts[@]}"; do prepare_host "$name"; done
    for name in "${hosts[@]}"; do boot "$name"; done
    for name in "${hosts[@]}"; do answering "$name"; done
    echo "hosts booted and answering over ssh: $((SECONDS - begin)) s"
}

# Starts making each controller, a fresh root of its release with its own
# ansible-core, ansible-lint, and what ansible-test's sanity tests need
# (checks/ansible-test-offline); wait_for_controller waits for one.
declare -A making
make_controllers() {
    local release
    for release in "${controllers[@]}"; do
        (
            mkdir "$scratch/controller-$release"
            mount_fresh_root overlay "$(checks/debian-root minbase "$release")" "$scratch/controller-$release" \
                "$release-$host_arch"
            mkdir "$scratch/controller-$release/root/fleet"
            mount --bind "$fleet" "$scratch/controller-$release/root/fleet"
            in_root "$scratch/controller-$release/root" "apt-get update -qq &&
                DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
                    ansible-core ansible-lint openssh-client curl gpg gpgv shellcheck \
                    python3-venv python3-voluptuous python3-pycodestyle pylint yamllint > /dev/null"
            keep_debs "$scratch/controller-$release" "$release-$host_arch"
        ) > "$scratch/controller-$release.log" 2>&1 &
        making[$release]=$!
    done
}

# Waits for controller $1 to be made; exits, showing why, when it could not be.
wait_for_controller() {
    wait "${making[$1]}" && return
    tail -n 20 "$scratch/controller-$1.log"
    echo "$0: the ${controller_name[$1]} controller could not be made" >&2
    exit 1
}

# Makes the operator's folder $1 on a controller: the settings, the pinned
# collection and the archive key, as the README has them.
operator_folder() {
    mkdir -p "$1"
    cat > "$1/ansible.cfg" << 'CFG'
[defaults]
inventory = /fleet/inventory.yml
collections_path = /root/collections

[ssh_connection]
pipelining = True
CFG
    printf 'collections:\n  - name: %s\n    type: file\n' "${collection##*/}" > "$1/requirements.yml"
    cp "$fleet/archive-key.asc" "$1/yrnagent-archive-key.asc"
}

# Prints the README's steps to install the collection, in the operator's
# folder: fetch it and its signature, check the signature, install.
install_collection() {
    echo "curl -fsSO http://$web/${collection##*/} && curl -fsSO http://$web/${collection##*/}.asc &&
        gpg --dearmor < yrnagent-archive-key.asc > yrnagent-archive-key.gpg &&
        gpgv --keyring ./yrnagent-archive-key.gpg ${collection##*/}.asc ${collection##*/} &&
        ansible-galaxy collection install -r requirements.yml"
}
