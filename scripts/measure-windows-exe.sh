#!/usr/bin/env bash
# Prints, as a Markdown section for docs/performance.md, the size of the shipped
# 32-bit Teleora.exe and the DLLs it imports (with the functions it takes from
# the dial-up client), and how fast the program reacts: the 64-bit build of the
# same sources under wine64 with the test double of rasapi32.dll, timed by
# tests/win32/measure.cpp (a dropped line redialled, with and without the
# connection notifications; a rule window's start and end). Builds the
# win32-i686 preset first when the exe is missing and the measuring program of
# the win32-x64 preset. Progress goes to stderr; it takes about ten minutes.
#
#   MEASURE_DROPS=10   drops timed with and without notifications
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh
. scripts/lib/wine.sh

ensure_packages "${WINDOWS_PACKAGES[@]}" >&2

exe=build/win32-i686/Teleora.exe
if [ ! -f "$exe" ]; then
    { cmake --preset win32-i686 && cmake --build --preset win32-i686 -j2; } >&2
fi

size=$(stat -c %s "$exe")
headers=$(i686-w64-mingw32-objdump -p "$exe")
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u | paste -sd ' ')
# The functions the program looks up in RASAPI32 (by name, at run time).
ras=$(i686-w64-mingw32-strings -n 8 "$exe" | grep -E '^Ras[A-Za-z]+A$' | sort -u | paste -sd ' ')
kib=$(awk -v b="$size" 'BEGIN { printf "%.1f", b / 1024 }')
verdict=met
[ "$size" -le "$MAX_EXE_BYTES" ] || verdict="**missed**"

cat <<MD
## Windows program

| Figure | Measured | Goal | Verdict |
|---|---|---|---|
| Windows i686 \`Teleora.exe\`: size | $size bytes ($kib KiB) | ≤ $((MAX_EXE_BYTES / 1024)) KiB | $verdict |
| Windows i686 \`Teleora.exe\`: imported DLLs | $dlls | system DLLs only | — |
| Functions looked up in the system folder's RASAPI32 | $ras | — | — |

Read with \`i686-w64-mingw32-objdump -p\` from \`$exe\` (MinSizeRel, static C++ runtime), built with $(i686-w64-mingw32-g++ --version | head -1).
MD

{ cmake --preset win32-x64 >/dev/null && cmake --build --preset win32-x64 --target measure -j2; } >&2
start_wine_session >&2
install_ras_double >&2
load=$(load_average)
rows=$(cd "$TEST_BIN" && WINEDLLOVERRIDES="rasapi32=n" "$WINE" measure.exe "${MEASURE_DROPS:-10}" | tr -d '\r')
stop_wine_session

cat <<MD

Reactions, measured by \`tests/win32/measure.exe\` (run by this script): the x86_64 build of the same sources under $("$WINE" --version 2>/dev/null || echo wine64) on Xvfb, the double of rasapi32.dll loaded in its place, "Office" as the entry, drop-others off. The double drops the line when the measuring program signals it (from outside, at a random moment: within 1 s of the redial with notifications, anywhere in the pause without) and times the drop and the start of the next dial call with the performance counter inside the program's process; the window's edges are timed with the local clock against the minute at which the rule's decision changes. Load average before: $load.

| Figure | Measured | Goal | Verdict |
|---|---|---|---|
$rows
MD
