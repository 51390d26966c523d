#!/bin/sh
# Runs one Windows test program under Wine for ctest.
# Wine can start helper processes (console hosts, the desktop process) that
# inherit the program's standard streams and outlive it; ctest would then wait
# for them until its time limit although the test has ended. The output goes
# through a file instead, so only the program itself is waited for.
out=$(mktemp)
"${QUORVANTA_WINE:-wine}" "$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit $status
