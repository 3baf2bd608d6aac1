#!/usr/bin/env bash
# Replaces the README's screenshots in docs/screenshots/. The test command
# takes the same pictures under build/ and never touches docs/; this is the
# one command that does.
#
#   scripts/refresh-screenshots.sh [linux | windows]   (default: both)
#
# linux:   linux-menu.png and linux-menu-cropped.png (the open menu alone,
#          without the tray panel and its icon), from the end-to-end test of
#          the linux preset's program under Xvfb and trayer; linux-dialog.png,
#          the dialog as a user meets it first (the default pause, one rule
#          "Ufficio, giorni feriali" selected, the rule of the menu's
#          picture) with the title bar a window manager (openbox) gives it;
#          linux-gnome-menu.png and linux-plasma-menu.png, the menu under
#          GNOME Shell and under KDE Plasma on Wayland
#          (tests/linux/panels_test.sh; scripts/test-panels.sh installs what
#          it needs);
# windows: windows-menu.png and windows-dialog.png, from the win32-x64
#          preset's program under wine64 (scripts/test-windows.sh screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

shots=docs/screenshots

# crop_menu IN OUT: the open menu alone. The shot is the top right corner of
# the screen: the menu on the black root window, reaching the screen's right
# edge, and the tray panel with the icon in the corner above it. The menu's
# left part, away from the panel, gives its top, bottom and left edge.
crop_menu() {
    local width height x y
    width=$(convert "$1" -format '%w' info:)
    read -r height x y < <(convert "$1" -crop "$((width - 48))x+0+0" +repage -bordercolor black -border 1 \
        -fuzz 5% -trim -format '%h %X %Y\n' info:)
    convert "$1" -crop "$((width - (x - 1)))x${height}+$((x - 1))+$((y - 1))" +repage "$2"
}

# dialog_screenshot PROGRAM OUT: the dialog, opened from the tray menu as a
# user does, with the default pause and one rule selected, in its window
# manager's frame. Runs in a subshell: its services stop when it ends (its
# variables are global to the subshell, for the trap).
dialog_screenshot() {
    shot_program=$(realpath "$1")
    shot_pid=""
    . scripts/lib/services.sh
    work=$(mktemp -d)
    trap '[ -z "$shot_pid" ] || stop_pid "$shot_pid"; stop_services; rm -rf "$work"' EXIT
    start_private_bus "$work"
    start_nm_mock "$work/mock.log"
    mock_add_profile "Provider Uno" pppoe >/dev/null
    mock_add_profile "Ufficio VPN" vpn >/dev/null
    {
        printf '[Generale]\r\ntDelay=5000\r\nbDropAny=1\r\nszRasEntry=Provider Uno\r\nnUserEntries=1\r\n'
        printf '[Rule0]\r\nszName=Ufficio, giorni feriali\r\n'
        local d
        for d in 1 2 3 4 5; do
            printf 'hStart%d=8\r\nmStart%d=30\r\nhStop%d=18\r\nmStop%d=0\r\n' "$d" "$d" "$d" "$d"
        done
    } >"$work/Teleora.ini"
    start_screen
    start_session_bus
    openbox >/dev/null 2>&1 &
    TELEORA_PIDS+=($!)
    start_tray_host
    (cd "$work" && exec env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" QT_QPA_PLATFORM=xcb "$shot_program" \
        >"$work/program.out" 2>&1) &
    shot_pid=$!
    local icon dialog
    icon=$(wait_for_docked_icon)
    tray_open_menu "$icon"
    xdotool key Up Up Up Return # "Configurazione...", third from the bottom
    dialog=$(wait_for_title Configurazione)
    sleep 0.5
    xdotool windowfocus --sync "$dialog"
    xdotool key Tab Tab Tab space # to the rule list; select its rule
    sleep 0.5
    import -frame -window "$dialog" "$2"
}

linux_screenshots() {
    ensure_packages "${LINUX_APP_PACKAGES[@]}" imagemagick openbox
    [ -f build/linux/CMakeCache.txt ] || cmake --preset linux >/dev/null
    cmake --build --preset linux --target teleora -j2 | tail -1
    tests/linux/desktop_test.sh xembed build/linux/teleora "$shots"
    crop_menu "$shots/linux-menu.png" "$shots/linux-menu-cropped.png"
    rm -f "$shots/linux-menu-rules.png" # the test's own picture, not the README's
    (dialog_screenshot build/linux/teleora "$shots/linux-dialog.png")
    tests/linux/panels_test.sh gnome build/linux/teleora "$shots"
    tests/linux/panels_test.sh plasma-wayland build/linux/teleora "$shots"
    mv "$shots/linux-plasma-wayland-menu.png" "$shots/linux-plasma-menu.png"
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
