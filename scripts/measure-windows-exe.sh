#!/usr/bin/env bash
# Prints, as a Markdown section for docs/performance.md, the size of the shipped
# 32-bit Teleora.exe and the DLLs it imports (with the functions it takes from
# the dial-up client). Builds the win32-i686 preset first when the exe is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages cmake ninja-build g++-mingw-w64-i686 binutils-mingw-w64-i686 >&2

exe=build/win32-i686/Teleora.exe
if [ ! -f "$exe" ]; then
    { cmake --preset win32-i686 && cmake --build --preset win32-i686 -j2; } >&2
fi

size=$(stat -c %s "$exe")
headers=$(i686-w64-mingw32-objdump -p "$exe")
dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u | paste -sd ' ')
# The functions listed under RASAPI32's import block.
ras=$(awk '/DLL Name:/ { inras = (toupper($3) == "RASAPI32.DLL"); next }
           inras && NF >= 3 && $3 ~ /^Ras/ { print $3 }' <<<"$headers" | sort -u | paste -sd ' ')
kib=$(awk -v b="$size" 'BEGIN { printf "%.1f", b / 1024 }')
verdict=met
[ "$size" -le $((256 * 1024)) ] || verdict="**missed**"

cat <<MD
## Windows program

| Figure | Measured | Goal | Verdict |
|---|---|---|---|
| Windows i686 \`Teleora.exe\`: size | $size bytes ($kib KiB) | ≤ 256 KiB | $verdict |
| Windows i686 \`Teleora.exe\`: imported DLLs | $dlls | system DLLs only | — |
| Functions taken from RASAPI32 | $ras | — | — |

Read with \`i686-w64-mingw32-objdump -p\` from \`$exe\` (MinSizeRel, static C++ runtime), built with $(i686-w64-mingw32-g++ --version | head -1).
MD
