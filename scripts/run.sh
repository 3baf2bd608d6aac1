#!/usr/bin/env bash
# The README's run command. Builds the Linux program and starts it:
#
# - on a Linux desktop with NetworkManager: in the current directory, where
#   "Teleora.ini" and "teleoralog.txt" live; it runs until "Esci" in its menu
#   (or Ctrl-C here);
# - with no graphical session or no NetworkManager (or with --demo): a
#   self-contained demonstration instead. A virtual screen (Xvfb) with a tray
#   (trayer), a NetworkManager mock with a few sample profiles on a private
#   system bus, and the real program in a scratch folder. "Connesso" is chosen
#   once through the tray icon, so a real dial happens against the mock; a
#   screenshot of the open menu is saved; the log's lines are printed as they
#   come until Ctrl-C, which stops everything the demonstration started, by
#   PID.
#
# Usage: scripts/run.sh [--demo | --demo-check]
#   --demo-check  runs the demonstration up to the dial, checks it and stops
#                 (used by the test command).
# TELEORA_BUILD_DIR chooses the build folder (default build/run).
set -euo pipefail
here=$(pwd)
repo="$(cd "$(dirname "$0")/.." && pwd)"
. "$repo/scripts/lib/common.sh"

demo=0
check=0
case "${1:-}" in
--demo) demo=1 ;;
--demo-check) demo=1 check=1 ;;
"") ;;
*)
    echo "usage: $0 [--demo | --demo-check]" >&2
    exit 2
    ;;
esac
# Through sudo, the build and the desktop program run as the user who called
# sudo, with that user's session: sudo keeps DISPLAY and XAUTHORITY but drops
# the session bus, XDG_RUNTIME_DIR and WAYLAND_DISPLAY, which are found again
# in /run/user/<uid>.
as_user=()
session_env=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
    as_user=(runuser -u "$SUDO_USER" --)
    runtime=/run/user/$(id -u "$SUDO_USER")
    if [ -d "$runtime" ]; then
        session_env+=("XDG_RUNTIME_DIR=$runtime")
        if [ -S "$runtime/bus" ]; then session_env+=("DBUS_SESSION_BUS_ADDRESS=unix:path=$runtime/bus"); fi
        if [ -z "${WAYLAND_DISPLAY:-}" ] && [ -S "$runtime/wayland-0" ]; then WAYLAND_DISPLAY=wayland-0; fi
    fi
    for var in DISPLAY XAUTHORITY WAYLAND_DISPLAY XDG_SESSION_TYPE XDG_CURRENT_DESKTOP; do
        if [ -n "${!var:-}" ]; then session_env+=("$var=${!var}"); fi
    done
    if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -z "${XDG_SESSION_TYPE:-}" ]; then
        session_env+=(XDG_SESSION_TYPE=wayland)
    fi
fi

if [ "$demo" -eq 0 ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    echo "== no graphical session here: starting the demonstration"
    demo=1
fi
if [ "$demo" -eq 0 ] && ! { command -v dbus-send >/dev/null &&
    dbus-send --system --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.NetworkManager 2>/dev/null |
    grep -q 'boolean true'; }; then
    echo "== NetworkManager is not running here: starting the demonstration"
    demo=1
fi

# The desktop program never runs as root: root without sudo gets no desktop
# program at all (the demonstration, self-contained in a scratch folder, may
# run as root).
if [ "$demo" -eq 0 ] && [ "$(id -u)" -eq 0 ] && [ ${#as_user[@]} -eq 0 ]; then
    echo "run.sh: refusing to run Teleora as root on a desktop." >&2
    echo "  Run it as your own user (through sudo when packages are missing:" >&2
    echo "  the program then still runs as you), or use --demo." >&2
    exit 1
fi

packages=("${LINUX_BUILD_PACKAGES[@]}")
if [ "$demo" -eq 1 ]; then
    packages=("${LINUX_APP_PACKAGES[@]}" imagemagick)
fi
ensure_packages "${packages[@]}"

build=${TELEORA_BUILD_DIR:-$repo/build/run}
"${as_user[@]}" mkdir -p "$build"
build=$(cd "$build" && pwd)
if [ ! -f "$build/CMakeCache.txt" ]; then
    "${as_user[@]}" cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTELEORA_WITH_QT=ON -DTELEORA_BUILD_TESTS=OFF >/dev/null
fi
"${as_user[@]}" cmake --build "$build" --target teleora -j2 | tail -1
program="$build/teleora"

if [ "$demo" -eq 0 ]; then
    echo "== Teleora runs in $here (Teleora.ini, teleoralog.txt); \"Esci\" in its tray menu ends it"
    cd "$here"
    exec "${as_user[@]}" env "${session_env[@]}" "$program"
fi

# --- The demonstration ------------------------------------------------------
. "$repo/scripts/lib/services.sh"
work=$(mktemp -d /tmp/teleora-demo.XXXXXX)
teleora_pid=""
tail_pid=""
finish() {
    local status=$?
    trap - INT TERM EXIT
    echo
    echo "== stopping the demonstration"
    if [ -n "$teleora_pid" ]; then
        kill "$teleora_pid" 2>/dev/null || true
        wait "$teleora_pid" 2>/dev/null || true
    fi
    sleep 0.2 # the stop line reaches the printed log
    if [ -n "$tail_pid" ]; then kill "$tail_pid" 2>/dev/null || true; fi
    stop_services
    echo "== everything the demonstration started is stopped; its files stay in $work"
    exit "$status"
}
trap finish EXIT
trap 'exit 0' INT TERM

start_demo_world "$work" 5000

start_screen
start_session_bus
start_tray_host
(cd "$work" && exec env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" QT_QPA_PLATFORM=xcb "$program" \
    >"$work/program.out" 2>&1) &
teleora_pid=$!
cat <<INFO
== demonstration
   Teleora (PID $teleora_pid) runs in $work
   virtual screen $DISPLAY (Xvfb), tray host trayer
   NetworkManager mock on the private system bus $BUS_ADDRESS
   sample profiles: Provider Uno (pppoe), Ufficio VPN (vpn), Chiavetta (gsm),
                    Rete di casa (ethernet, active: never touched by Teleora)
== teleoralog.txt, as it grows:
INFO

log_or_end() { [ -s "$work/teleoralog.txt" ] || process_gone "$teleora_pid"; }
wait_until 20 log_or_end || true
if ! kill -0 "$teleora_pid" 2>/dev/null; then
    echo "Teleora ended at once; its output:" >&2
    cat "$work/program.out" >&2
    exit 1
fi
tail -n +1 -F "$work/teleoralog.txt" 2>/dev/null &
tail_pid=$!

icon=$(wait_for_docked_icon) || {
    echo "no tray icon appeared; program output:" >&2
    cat "$work/program.out" >&2
    exit 1
}
tray_open_menu "$icon" || {
    echo "the tray menu did not open" >&2
    exit 1
}
import -window root "$work/menu.png"
xdotool key Down Return # "Connesso"
dialled=0
has_dialled() { grep -q "RasDial" "$work/teleoralog.txt"; }
if wait_until 20 has_dialled; then dialled=1; fi
sleep 0.2
echo "== screenshot of the open menu: $work/menu.png"
echo "== active connections in the mock: $(mock_active_ids | paste -sd, -)"

if [ "$check" -eq 1 ]; then
    grep -q "RasDial (Provider Uno) retcode 0: Success." "$work/teleoralog.txt" || {
        echo "FAIL: no successful dial in the demonstration" >&2
        exit 1
    }
    mock_active_ids | grep -qx "Rete di casa" || {
        echo "FAIL: the wired connection was taken down" >&2
        exit 1
    }
    [ -s "$work/menu.png" ] || {
        echo "FAIL: no screenshot" >&2
        exit 1
    }
    echo "== demonstration checked"
    exit 0
fi
[ "$dialled" -eq 1 ] || echo "== (no dial yet: see $work/program.out)"
echo "== running; Ctrl-C stops everything"
wait "$teleora_pid" || true
teleora_pid=""
