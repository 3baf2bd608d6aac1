#!/usr/bin/env bash
# Replaces the README's screenshots in docs/screenshots/. The test command
# takes the same pictures under build/ and never touches docs/; this is the
# one command that does.
#
#   scripts/refresh-screenshots.sh [linux | windows]   (default: both)
#
# linux:   linux-menu.png, linux-dialog.png and linux-menu-cropped.png (the
#          menu cut to the icon and the menu), from the end-to-end test of the
#          linux preset's program under Xvfb and trayer;
# windows: windows-menu.png and windows-dialog.png, from the win32-x64
#          preset's program under wine64 (scripts/test-windows.sh screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

shots=docs/screenshots

linux_screenshots() {
    ensure_packages cmake ninja-build g++ qt6-base-dev dbus python3-dbusmock xvfb xauth trayer \
        xdotool imagemagick x11-utils
    [ -f build/linux/CMakeCache.txt ] || cmake --preset linux >/dev/null
    cmake --build --preset linux --target teleora -j2 | tail -1
    tests/linux/e2e_tray_test.sh build/linux/teleora "$shots"
    # The README shows the menu cut to the icon and the menu.
    convert "$shots/linux-menu.png" -crop 170x176+230+0 +repage "$shots/linux-menu-cropped.png"
}

windows_screenshots() {
    scripts/test-windows.sh packages
    cmake --preset win32-x64 >/dev/null
    cmake --build --preset win32-x64 --target teleora_for_tests pose rasapi32_double planted_rasapi32 -j2 | tail -1
    scripts/test-windows.sh screenshots "$shots"
}

case "${1:-both}" in
linux) linux_screenshots ;;
windows) windows_screenshots ;;
both)
    linux_screenshots
    windows_screenshots
    ;;
*)
    echo "usage: $0 [linux | windows]" >&2
    exit 2
    ;;
esac
echo "== refreshed: $(ls "$shots" | paste -sd ' ')"
