#!/usr/bin/env bash
# The sandbox the suites run in: its entries that mount are reached only
# through a private mount namespace made for them.

test_mounting_entries_refuse_a_namespace_not_their_own() {
    local mounts propagate refusal="refusing to mount anything outside a private mount namespace of its own"
    mounts=$(cat /proc/self/mountinfo)
    # Called from this shell, whose namespace they share, or from a new
    # namespace whose mounts propagate, both entries refuse and mount nothing.
    for propagate in "" "unshare --mount --propagation shared"; do
        out=$($propagate "$sandbox" --inside "$PWD" touch ran 2>&1)
        expect "$?: $out" "1: scripts/sandbox: $refusal" "sandbox entry ${propagate:-in this namespace}"
        out=$($propagate bash "$suite" "$LAUNCHER" "$HALT_DRIVER" --inside true 2>&1)
        expect "$?: $out" "1: sandbox.sh: $refusal" "suite entry ${propagate:-in this namespace}"
    done
    expect "$(cat /proc/self/mountinfo)" "$mounts" "mounts afterwards"
    [ -e ran ]; expect $? 1 "command run"
    # The variables an older sandbox trusted change nothing: it still makes a
    # namespace of its own.
    SANDBOX_INSIDE=1 SCRATCH=$PWD "$sandbox" readlink /proc/self/ns/mnt > inner
    [ "$(cat inner)" != "$(readlink /proc/self/ns/mnt)" ]; expect $? 0 "namespace made"
}

# shellcheck source=tests/harness.sh
. "$(dirname "$0")/harness.sh"
