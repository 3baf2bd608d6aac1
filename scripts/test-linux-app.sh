#!/usr/bin/env bash
# The Linux program's own stage of the test command. The `linux` preset has
# already built the program and run its tests (the NetworkManager binding
# against the mock and against a real daemon in a network namespace, the
# dialog and menu under the offscreen platform, the end-to-end run under Xvfb
# and trayer); this stage checks what is left around them, on that build:
#
# - one person's flow (tests/linux/desktop_test.sh) on the other desktops
#   people run: X11 with a StatusNotifierItem panel, and Wayland (sway
#   headless with swaybar); the XEmbed one is the preset's end-to-end test;
# - `cmake --install` lays out the program, its icons, the menu entry and the
#   autostart file, and both desktop files are valid;
# - the README's run command works: its demonstration (Xvfb, trayer, the
#   mock, the real program, "Connesso" through the tray icon) dials and
#   leaves the wired connection alone, and on a desktop (a screen, a tray and
#   NetworkManager on the system bus) it starts the program in the current
#   folder, or, run as root without sudo, refuses to.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${LINUX_APP_PACKAGES[@]}" imagemagick desktop-file-utils sway grim wtype qt6-wayland

# The linux preset's build (configured and built here when run on its own).
if [ ! -f build/linux/CMakeCache.txt ]; then cmake --preset linux >/dev/null; fi
cmake --build --preset linux -j2 | tail -1

# The installed layout: program, icons, menu entry, autostart file.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install build/linux --prefix "$stage" >/dev/null
for file in bin/teleora share/applications/teleora.desktop share/teleora/teleora-autostart.desktop \
    share/icons/hicolor/scalable/apps/teleora.svg; do
    if [ ! -s "$stage/$file" ]; then
        echo "FAIL: cmake --install did not lay out $file" >&2
        exit 1
    fi
done
for size in 16 32 48 64 128 256; do
    png="$stage/share/icons/hicolor/${size}x${size}/apps/teleora.png"
    [ "$(identify -format '%wx%h' "$png" 2>/dev/null)" = "${size}x${size}" ] || {
        echo "FAIL: $png is not a ${size}x${size} image" >&2
        exit 1
    }
done
[ -x "$stage/bin/teleora" ] || { echo "FAIL: bin/teleora is not executable" >&2; exit 1; }
desktop-file-validate "$stage/share/applications/teleora.desktop" \
    "$stage/share/teleora/teleora-autostart.desktop"
grep -qx 'Exec=teleora' "$stage/share/applications/teleora.desktop"
grep -qx 'Icon=teleora' "$stage/share/teleora/teleora-autostart.desktop"
echo "== install layout checked"

for desktop in sni sway; do
    tests/linux/desktop_test.sh "$desktop" build/linux/teleora build/linux/screenshots
done

# The README's run command, on this build.
TELEORA_BUILD_DIR=build/linux scripts/run.sh --demo-check

# The run command on a "desktop": a virtual screen with a tray and a system bus
# where NetworkManager (the mock) runs. It must start the program in the
# current folder.
. scripts/lib/services.sh
desk=$(mktemp -d)
run_pid=""
finish() {
    if [ -n "$run_pid" ]; then kill "$run_pid" 2>/dev/null || true; fi
    stop_services
    rm -rf "$stage" "$desk"
}
trap finish EXIT
start_private_bus "$desk"
start_nm_mock "$desk/mock.log"
start_screen
start_session_bus
start_tray_host
repo=$(pwd)
if [ "$(id -u)" -eq 0 ]; then
    # As root (without sudo) the run command refuses the desktop program.
    status=0
    (cd "$desk" && exec env -u SUDO_USER DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" \
        TELEORA_BUILD_DIR="$repo/build/linux" "$repo/scripts/run.sh" >"$desk/run.out" 2>&1) ||
        status=$?
    if [ "$status" -eq 0 ] || ! grep -q "refusing to run Teleora as root" "$desk/run.out" ||
        [ -e "$desk/teleoralog.txt" ]; then
        echo "FAIL: as root the run command did not refuse the desktop program" >&2
        cat "$desk/run.out" >&2
        exit 1
    fi
    echo "== run command refuses the desktop program as root (run this stage as a user for its start)"
    exit 0
fi
(cd "$desk" && exec env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" TELEORA_BUILD_DIR="$repo/build/linux" \
    "$repo/scripts/run.sh" >"$desk/run.out" 2>&1) &
run_pid=$!
started() { grep -q "Teleora started" "$desk/teleoralog.txt" 2>/dev/null; }
wait_until 30 started || {
    echo "FAIL: on a desktop the run command did not start the program in the current folder" >&2
    cat "$desk/run.out" >&2
    exit 1
}
grep -q "demonstration" "$desk/run.out" && { echo "FAIL: a demonstration started on a desktop" >&2; exit 1; }
kill -TERM "$run_pid"
status=0
wait "$run_pid" || status=$?
run_pid=""
[ "$status" -eq 0 ] || { echo "FAIL: exit code $status after SIGTERM" >&2; exit 1; }
grep -q "Teleora stopped" "$desk/teleoralog.txt"
echo "== run command checked on a desktop"
