#!/usr/bin/env bash
# One person's flow on one desktop, the same steps on each:
#   xembed  X11 (Xvfb) with trayer, an XEmbed tray;
#   sni     X11 (Xvfb) with a StatusNotifierItem watcher and host (a
#           python-dbusmock object; this test is the panel, over D-Bus);
#   sway    Wayland: sway headless with swaybar as the StatusNotifierItem
#           watcher and host, all run as an unprivileged user (sway refuses
#           root: run as root, the test makes the system user teleora-e2e);
#           this test is the panel over D-Bus, wtype the keyboard, grim the
#           camera (SCREENSHOT_DIR/linux-sway-dialog.png).
# The flow: the program starts with "--mode disconnesso" before any tray
# (on sway it waits past the no-tray notice: one desktop notification, one
# line on stderr); the panel starts and the icon is there within 2 s (6 s for
# XEmbed). On the StatusNotifierItem desktops the item is marked ItemIsMenu
# and its exported menu reads as Qt's did (radio items, "Disconnesso"
# checked). The menu opened from the icon (on sway Activate opens no window);
# "Connesso" dials; every change of the menu is announced (the panel's copy,
# kept as GNOME's extension keeps it, follows). Later starts switch the
# running copy: "--mode Disconnesso" hangs up (started without a display),
# "--mode Connesso" dials again, an unknown name ends with 2; one copy runs
# throughout. "Configurazione..."
# (on sway a floating window, not stretched), a rule typed key by key, OK
# stores it, and a later start chooses it by name; "Esci" ends the program
# with 0.
#
# Usage: desktop_test.sh xembed|sni|sway PATH/TO/teleora [SCREENSHOT_DIR]
set -euo pipefail
desktop=$1
program=$(realpath "$2")
shots=${3:-$(dirname "$program")/screenshots}
mkdir -p "$shots"
shots=$(realpath "$shots")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/services.sh"
panel=("/usr/bin/python3" "$here/panel.py")

work=$(mktemp -d)
chmod 755 "$work"
home=$work/home
mkdir "$home"
teleora_pid=""
cleanup() {
    if [ -n "$teleora_pid" ]; then kill -9 "$teleora_pid" 2>/dev/null || true; fi
    stop_services
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL ($desktop): $*" >&2
    tail -n 20 "$home/teleoralog.txt" "$work/program.out" "$work/notices.log" "$work/desktop.log" >&2 2>/dev/null || true
    exit 1
}
trap 'fail "command failed at line $LINENO: $BASH_COMMAND"' ERR

user_cmd=() # runs a command as the desktop's user: root on X11, a test user on sway
qpa=xcb
if [ "$desktop" = sway ]; then
    qpa=wayland
    run=$work/run
    mkdir -m 700 "$run"
    user_cmd=(env -u DISPLAY HOME="$home" XDG_RUNTIME_DIR="$run" WAYLAND_DISPLAY=wayland-1)
    user=$(id -un)
    if [ "$(id -u)" -eq 0 ]; then
        user=teleora-e2e
        id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
        chown "$user:" "$home" "$run"
        user_cmd=(setpriv --reuid="$user" --regid="$user" --init-groups "${user_cmd[@]}")
    fi
    export BUS_GUEST_USER=$user
fi
as_user() { "${user_cmd[@]}" "$@"; }
# as_user_bg COMMAND...: in the background, its PID recorded for stop_services.
as_user_bg() {
    (exec "${user_cmd[@]}" "$@" </dev/null >>"$work/desktop.log" 2>&1) &
    TELEORA_PIDS+=($!)
}

start_private_bus "$work"
start_nm_mock "$work/mock.log"
mock_add_profile "Provider Uno" pppoe >/dev/null
printf '[Generale]\r\ntDelay=2000\r\nszRasEntry=Provider Uno\r\nnUserEntries=1\r\n[Rule0]\r\nszName=Ufficio\r\n' \
    >"$home/Teleora.ini"
[ "$desktop" != sway ] || chown "$user:" "$home/Teleora.ini"

# count PATTERN FILE: how many lines of FILE match (0 without FILE).
count() {
    local n
    n=$(grep -c "$1" "$2" 2>/dev/null) || true
    echo "${n:-0}"
}
log_count() { count "$1" "$home/teleoralog.txt"; }
log_has() { [ "$(log_count "$1")" -ge "$2" ]; }
wait_for_log() { wait_until 20 log_has "$1" "${2:-1}" || fail "no log line with: $1"; }
ini_has() { tr -d '\r' <"$home/Teleora.ini" | grep -qxF "$1"; }
notices() { count "Notify.*AppIndicator" "$work/notices.log"; }
notified() { [ "$(notices)" -ge 1 ]; }

# --- The desktop: a screen, a session bus (with a notification service) and,
# once start_panel runs, a tray.
if [ "$desktop" = sway ]; then
    write_bus_conf "$run" "unix:path=$run/bus" session
    out=$(as_user dbus-daemon --config-file="$run/bus.conf" --fork --print-pid=1)
    TELEORA_PIDS+=("$out")
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$run/bus
    # swaybar, the panel, waits for start_panel (or for the test to end).
    printf '#!/bin/sh\nwhile [ ! -e %s/panel ]; do [ -d %s ] || exit; sleep 0.1; done\nexec swaybar "$@"\n' \
        "$work" "$work" >"$work/bar"
    chmod 755 "$work/bar"
    printf 'output HEADLESS-1 resolution 1024x768\nbar {\n  tray_output *\n  swaybar_command %s/bar\n}\n' \
        "$work" >"$work/sway.conf"
    as_user_bg env WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        sway -c "$work/sway.conf"
    wait_until 10 test -S "$run/wayland-1" || fail "sway did not start"
    # A keyboard for the whole run: Qt binds the seat's keyboard once there is one.
    as_user_bg wtype -s 600000
    windows() { SWAYSOCK=$(echo "$run"/sway-ipc.*.sock) swaymsg -t get_tree | "${panel[@]}" windows; }
else
    start_screen
    start_session_bus
fi
/usr/bin/python3 -m dbusmock --session --template notification_daemon >"$work/notices.log" 2>&1 &
TELEORA_PIDS+=($!)
dbus-monitor --session "type='signal',interface='com.canonical.dbusmenu',member='LayoutUpdated'" \
    >"$work/layout.log" 2>&1 &
TELEORA_PIDS+=($!)
layout_updates() { count "member=LayoutUpdated" "$work/layout.log"; }
more_layout_updates() { [ "$desktop" = xembed ] || [ "$(layout_updates)" -gt "$1" ]; }

start_panel() {
    case $desktop in
    xembed) start_tray_host ;;
    sni)
        /usr/bin/python3 -m dbusmock --session org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
            org.kde.StatusNotifierWatcher >/dev/null 2>&1 &
        TELEORA_PIDS+=($!)
        wait_until 10 "${panel[@]}" fake-watcher 2>/dev/null || fail "no StatusNotifierWatcher mock"
        ;;
    sway) touch "$work/panel" ;;
    esac
}
docked_icon() { search_window --class teleora; }
item_registered() { "${panel[@]}" item >/dev/null 2>&1; }
wait_for_icon() {
    if [ "$desktop" = xembed ]; then
        icon=$(wait_until "$1" docked_icon) || fail "no tray icon within $1 s of the panel"
    else
        wait_until "$1" item_registered || fail "no StatusNotifierItem within $1 s of the panel"
        [ "$("${panel[@]}" prop ItemIsMenu)" = 1 ] || fail "the item is not marked ItemIsMenu"
        # The panel's copy of the menu, kept as GNOME's extension keeps it.
        "${panel[@]}" follow "$work/menu.txt" >>"$work/desktop.log" 2>&1 &
        TELEORA_PIDS+=($!)
    fi
}

# open_menu: the left click on the icon.
open_menu() {
    case $desktop in
    xembed) tray_open_menu "$icon" 1 || fail "the menu did not open" ;;
    sni)
        local before
        before=$(visible_windows)
        "${panel[@]}" activate
        wait_until 10 more_windows_than "$before" || fail "Activate opened no menu under X11"
        sleep 0.3
        ;;
    sway)
        # No menu of the program's own: the error makes a panel show its copy.
        local answer
        answer=$("${panel[@]}" activate)
        [ "$answer" = "error org.freedesktop.DBus.Error.UnknownMethod" ] ||
            fail "Activate answered \"$answer\" on Wayland"
        [ -z "$(windows)" ] || fail "Activate opened a window: $(windows)"
        ;;
    esac
}

# exported_menu_is MODE_ITEMS [shown]: on a StatusNotifierItem panel, the
# panel's copy of the menu once it is about to open (with "shown": as it is,
# unopened), its mode items as given ("(x) " the checked one), then the fixed
# items.
menu_reads() { [ "$(paste -sd, "$work/menu.txt" 2>/dev/null)" = "$1,-,Configurazione...,Log,-,Esci" ]; }
exported_menu_is() {
    [ "$desktop" != xembed ] || return 0
    [ "${2:-}" = shown ] || "${panel[@]}" about-to-show
    wait_until 5 menu_reads "$1" || fail "the exported menu reads $(paste -sd, "$work/menu.txt")"
}

# choose ITEM: the item of the open menu (the panel's menu on sway).
choose() {
    if [ "$desktop" = sway ]; then
        "${panel[@]}" click "$1"
        return
    fi
    case $1 in
    Connesso) xdotool key Down Return ;;
    Configurazione...) xdotool key Up Up Up Return ;;
    Esci) xdotool key Up Return ;;
    esac
}

# keys KEY...: keys pressed in the focused window ("ctrl+a", "shift+Tab").
keys() {
    if [ "$desktop" != sway ]; then
        xdotool key "$@"
        return
    fi
    local key args=()
    for key in "$@"; do
        case $key in
        *+*) args+=(-M "${key%%+*}" -k "${key#*+}" -m "${key%%+*}") ;;
        *) args+=(-k "$key") ;;
        esac
    done
    as_user wtype -d 20 "${args[@]}"
}
type_text() {
    if [ "$desktop" = sway ]; then as_user wtype -d 30 "$1"; else xdotool type --delay 30 "$1"; fi
}
dialog_open() {
    if [ "$desktop" = sway ]; then windows | grep -q " Configurazione "; else
        search_window --onlyvisible --name "^Configurazione\$" >/dev/null; fi
}

# The program's command line, as the desktop's user.
prog=("${user_cmd[@]}" env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" "QT_QPA_PLATFORM=$qpa" "$program")
# run_program ARGS...: a later start, which must end by itself.
run_program() { (cd "$home" && exec timeout 20 "${prog[@]}" "$@"); }

# --- The flow.
(cd "$home" && exec "${prog[@]}" --mode disconnesso >>"$work/program.out" 2>&1) &
teleora_pid=$!
started_at=$SECONDS
wait_for_log "Teleora started (Info) retcode 0: Success."
if [ "$desktop" = sway ]; then
    wait_until 20 notified || fail "no notification with no tray"
    sleep 1
    [ "$(notices)" -eq 1 ] || fail "$(notices) notifications"
    [ "$(count AppIndicator "$work/program.out")" -eq 1 ] || fail "not one no-tray line on stderr"
fi
start_panel
# A StatusNotifierItem host is watched for; an XEmbed tray is checked for every 5 s.
wait_for_icon "$([ "$desktop" = xembed ] && echo 6 || echo 2)"

open_menu
exported_menu_is "( ) Connesso,(x) Disconnesso,( ) Disabilitato,( ) Ufficio"
choose Connesso
wait_for_log "RasDial (Provider Uno) retcode 0: Success."

# Later starts hand their mode to the running copy and end. The first, as
# from a timer, has no display (on sway no bus address either: it finds the
# bus in XDG_RUNTIME_DIR).
status=0
(cd "$home" && exec timeout 20 "${user_cmd[@]}" env -u DISPLAY -u WAYLAND_DISPLAY -u XAUTHORITY \
    -u QT_QPA_PLATFORM $([ "$desktop" != sway ] || echo -u DBUS_SESSION_BUS_ADDRESS) \
    "$program" --mode Disconnesso) >"$work/second.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "a second start ended with $status: $(cat "$work/second.out")"
wait_for_log "RasHangUp (Provider Uno) retcode 0: Success."
status=0
run_program --mode Nessuna >"$work/second.out" 2>&1 || status=$?
[ "$status" -eq 2 ] && grep -qF '"Disabilitato", "Ufficio"' "$work/second.out" ||
    fail "an unknown mode ended with $status: $(cat "$work/second.out")"
for args in "" "--mode Connesso"; do
    # shellcheck disable=SC2086 # the arguments split on purpose
    run_program $args >"$work/second.out" 2>&1 || fail "a second start failed: $(cat "$work/second.out")"
done
wait_for_log "RasDial (Provider Uno) retcode 0: Success." 2
[ "$(log_count "Teleora started")" -eq 1 ] || fail "more than one copy started"

# A new rule, typed as a person does (see e2e_tray_test.sh), and OK.
# The panel heard of the mode chosen by a later start at once, without a layout change.
exported_menu_is "(x) Connesso,( ) Disconnesso,( ) Disabilitato,( ) Ufficio" shown
updates=$(layout_updates)
open_menu
choose Configurazione...
wait_until 10 dialog_open || fail "the dialog did not open"
if [ "$desktop" = sway ]; then
    windows | grep -qE "^floating Configurazione [0-9]{3}x[0-9]{3}$" ||
        fail "the dialog is not a floating window of its own size: $(windows)"
    as_user grim "$home/shot.png" && cp "$home/shot.png" "$shots/linux-sway-dialog.png"
fi
sleep 0.3
keys Tab Tab Tab Tab space shift+Tab End Tab Tab Tab ctrl+a
type_text "Sera tardi"
keys Tab
type_text "7:5"
keys Tab
type_text "18:30"
keys Return
wait_until 10 ini_has "nUserEntries=2" || fail "OK did not store the new rule"
ini_has "szName=Sera tardi" && ini_has hStart0=7 && ini_has mStop0=30 || fail "the rule was not typed"
wait_until 5 more_layout_updates "$updates" || fail "the new rule item came without LayoutUpdated"
run_program --mode "sera tardi" >"$work/second.out" 2>&1 || fail "the new rule is no mode: $(cat "$work/second.out")"

# Past the moment the program looks for a tray (10 s): with one there it said nothing.
while ((SECONDS - started_at < 12)); do sleep 0.5; done
open_menu
exported_menu_is "( ) Connesso,( ) Disconnesso,( ) Disabilitato,( ) Ufficio,(x) Sera tardi"
choose Esci
wait_until 10 process_gone "$teleora_pid" || fail "the program did not end after Esci"
status=0
wait "$teleora_pid" || status=$?
teleora_pid=""
[ "$status" -eq 0 ] || fail "exit code $status after Esci"
[ "$(log_count "Teleora stopped")" -eq 1 ] || fail "not one stop line"
# Only the wait with no tray at all (on sway) brought a notification.
[ "$(notices)" -eq "$([ "$desktop" = sway ] && echo 1 || echo 0)" ] || fail "$(notices) notifications"
echo "PASS: the flow on $desktop"
