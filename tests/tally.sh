# shellcheck shell=bash
# Result lines shared by the suites: "ok", "FAIL" and "skip" lines, and the
# closing "N passed, N failed", which fails when any check failed.
passed=0
failed=0
ok() { echo "ok   $1"; passed=$((passed + 1)); }
not_ok() { echo "FAIL $1"; failed=$((failed + 1)); }
skip() { echo "skip $1"; }
finish() { echo "$passed passed, $failed failed"; [ "$failed" -eq 0 ]; }
