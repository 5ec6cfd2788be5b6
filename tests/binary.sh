#!/usr/bin/env bash
# The executable as shipped: needs libc and the platform's own loader alone,
# and is hardened.
# Usage: binary.sh YRNAgentRun COMPILER-ID
set -u
elf=$(readelf -W --file-header --program-headers --dynamic --dyn-syms "$1") || exit 1
# One line listing every library needed but the loader, which some
# platforms' libc takes symbols from, so that a row can match them all.
loader=$(sed -n 's|.*Requesting program interpreter: .*/\(.*\)\]|\1|p' <<< "$elf")
elf+=$'\n'"needed beside the loader ${loader:-(none)}: $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<< "$elf" |
    grep -vxF "${loader:-(none)}" | tr '\n' ' ')"
# shellcheck source=tests/tally.sh
. "$(dirname "$0")/tally.sh"

# Each row: what is checked, the compiler it holds for, and an extended regex
# the readelf output must match. glibc fortifies none of the launcher's calls
# in C++ compiled by clang.
while IFS='|' read -r what compiler pattern; do
    if [[ $compiler != all && $compiler != "$2" ]]; then
        skip "$what (not with $2)"
    elif grep -Eq -- "$pattern" <<< "$elf"; then
        ok "$what"
    else
        not_ok "$what (no match for $pattern)"
    fi
done << 'ROWS'
needs libc and the loader alone|all|^needed beside the loader ld-[^ ]+: libc\.so\.6 $
position-independent|all|FLAGS_1.*PIE
read-only relocations|all|GNU_RELRO
immediate binding|all|BIND_NOW
stack protector|all|__stack_chk_fail
fortified libc calls|GNU|__snprintf_chk
ROWS
finish
