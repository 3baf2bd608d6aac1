#!/usr/bin/env bash
# wine_once_more.sh WINE PROGRAM ARGS...: CTest's launcher for the Windows
# test programs. Runs PROGRAM under WINE; when Wine never started it (it
# ended in failure without printing a single line: every test program prints
# its header first), it is started once more, and the output says so. A
# program that printed anything and failed is never started again.
set -u
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for attempt in 1 2; do
    "$@" 2>&1 | tee "$out"
    status=${PIPESTATUS[0]}
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$attempt" -eq 2 ]; then exit "$status"; fi
    echo "wine_once_more: Wine never started ${2##*/} (no output, exit code $status): starting it once more"
done
