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
# XEmbed, where it shows a picture, leaves with the tray host and docks in a
# new one by itself, and a right click opens the menu that Escape closes). On
# the StatusNotifierItem desktops the item is marked ItemIsMenu and its
# exported menu reads as Qt's did (radio items, "Disconnesso" checked). The
# menu opened from the icon (on sway Activate opens no window); "Connesso"
# dials, the wired connection stays up; every change of the menu is announced
# (the panel's copy, kept as GNOME's extension keeps it, follows). Later
# starts switch the running copy: "--mode Disconnesso" hangs up (started
# without a display), "--mode Connesso" dials again, an unknown name ends
# with 2; one copy runs throughout. "Configurazione..." (on sway a floating
# window, not stretched), a rule typed key by key, OK stores it, and a later
# start chooses it by name. A pause of 0
# is refused with the "Errore" box, which Enter closes; retyped, OK stores it.
# The dialog again, a rule selected; NetworkManager hangs while a pass is in
# a call; "Esci" ends the program with 0, one stop line, the file unchanged.
# Menu and key steps wait for what they need: the icon embedded and viewable,
# the menu as the program's new popup holding the keyboard, a window focused
# before typing. XEmbed screenshots: SCREENSHOT_DIR/linux-menu.png,
# linux-menu-rules.png and linux-dialog.png.
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
TEST_NAME=$desktop
TEST_LOGS=("$work/program.out" "$work/notices.log" "$work/desktop.log")
trap cleanup EXIT
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
mock_activate "$(mock_add_profile "Wired" 802-3-ethernet)"
{
    printf '[Generale]\r\ntDelay=2000\r\nbDropAny=1\r\nszRasEntry=Provider Uno\r\nnUserEntries=1\r\n'
    printf '%s\r\n' '[Rule0]' szName=Ufficio hStart1=8 mStart1=30 hStop1=18
} >"$home/Teleora.ini"
[ "$desktop" != sway ] || chown "$user:" "$home/Teleora.ini"

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
item_registered() { "${panel[@]}" item >/dev/null 2>&1; }
wait_for_icon() {
    if [ "$desktop" = xembed ]; then
        icon=$(wait_for_docked_icon "$1") || fail "no tray icon within $1 s of the panel"
        wait_until 5 icon_shows_picture || fail "the tray icon shows $colours colours: no picture"
    else
        wait_until "$1" item_registered || fail "no StatusNotifierItem within $1 s of the panel"
        [ "$("${panel[@]}" prop ItemIsMenu)" = 1 ] || fail "the item is not marked ItemIsMenu"
        # The panel's copy of the menu, kept as GNOME's extension keeps it.
        "${panel[@]}" follow "$work/menu.txt" >>"$work/desktop.log" 2>&1 &
        TELEORA_PIDS+=($!)
    fi
}

# icon_shows_picture: whether the XEmbed icon shows more than the tray's
# flat background; sets colours.
colours=0
icon_shows_picture() {
    local geometry X Y WIDTH HEIGHT SCREEN
    geometry=$(xdotool getwindowgeometry --shell "$icon") && eval "$geometry" &&
        colours=$(import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage png:- |
            convert - -format %k info:) && [ "$colours" -gt 2 ]
}

# open_menu [BUTTON]: the click on the icon (left unless BUTTON says).
open_menu() {
    case $desktop in
    xembed) tray_open_menu "$icon" "${1:-1}" || fail "the menu did not open" ;;
    sni)
        local seen
        seen=$(xdotool search --onlyvisible --class teleora 2>/dev/null || true)
        "${panel[@]}" activate
        # shellcheck disable=SC2086 # one argument per window
        wait_for_menu $seen || fail "Activate opened no menu under X11"
        ;;
    sway)
        # No menu of the program's own: the error makes a panel show its copy.
        local before answer
        before=$(windows)
        answer=$("${panel[@]}" activate)
        [ "$answer" = "error org.freedesktop.DBus.Error.UnknownMethod" ] ||
            fail "Activate answered \"$answer\" on Wayland"
        [ "$(windows)" = "$before" ] || fail "Activate opened a window: $(windows)"
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
# focused TITLE: whether the program's window TITLE is open and has the
# keyboard focus, so typing goes to it.
focused() {
    if [ "$desktop" = sway ]; then
        SWAYSOCK=$(echo "$run"/sway-ipc.*.sock) swaymsg "[con_id=__focused__ title=\"^$1\$\"] nop" \
            >/dev/null 2>&1
    else
        focused_title "$1" >/dev/null
    fi
}
# gone TITLE: whether the program's window TITLE is closed.
gone() {
    if [ "$desktop" = sway ]; then ! windows | grep -q " $1 "; else
        ! search_window --onlyvisible --name "^$1\$" >/dev/null; fi
}
# menu_height: the height of the open XEmbed menu.
menu_height() { xwininfo -id "$MENU_WINDOW" | sed -n 's/^ *Height: //p'; }

# The program's command line, as the desktop's user.
prog=("${user_cmd[@]}" env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" "QT_QPA_PLATFORM=$qpa" "$program")
# run_program ARGS...: a later start, which must end by itself.
run_program() { (cd "$home" && exec timeout 20 "${prog[@]}" "$@"); }

# --- The flow.
(cd "$home" && exec "${prog[@]}" --mode disconnesso >>"$work/program.out" 2>&1) &
teleora_pid=$!
started_at=$SECONDS
wait_for_log "Teleora started (Info) retcode 0: Success."
head -1 "$home/teleoralog.txt" | grep -qF "Teleora started" || fail "the start line is not first"
if [ "$desktop" = sway ]; then
    wait_until 20 notified || fail "no notification with no tray"
    sleep 1 # room for a second notification, which must not come
    [ "$(notices)" -eq 1 ] || fail "$(notices) notifications"
    [ "$(count AppIndicator "$work/program.out")" -eq 1 ] || fail "not one no-tray line on stderr"
fi
start_panel
# A StatusNotifierItem host is watched for; an XEmbed tray is checked for every
# 5 s, so its icon docks at the next check after the tray is up.
wait_for_icon "$([ "$desktop" = xembed ] && echo 10 || echo 2)"

if [ "$desktop" = xembed ]; then
    # The tray host goes away and a new one starts: the icon docks in it again.
    stop_pid "$TRAY_PID"
    wait_until 10 eval '! docked_icon >/dev/null' || fail "the icon is still docked with no tray host"
    process_gone "$teleora_pid" && fail "the program ended with the tray host"
    start_tray_host
    wait_for_icon 20
    # The right button opens the same menu; Escape closes it with no command.
    open_menu 3
    one_rule_menu=$(menu_height)
    xdotool key Escape
    wait_until 10 menu_closed || fail "Escape did not close the menu"
fi
open_menu
[ "$desktop" != xembed ] || import -window root -crop 400x300+624+0 +repage "$shots/linux-menu.png"
exported_menu_is "( ) Connesso,(x) Disconnesso,( ) Disabilitato,( ) Ufficio"
choose Connesso
wait_for_log "RasDial (Provider Uno) retcode 0: Success."
mock_active_ids | grep -qx "Provider Uno" || fail "Provider Uno is not active in the mock"
mock_active_ids | grep -qx "Wired" || fail "the wired connection was taken down"

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

# A new rule, typed as a person does: the focus starts in the pause field;
# Tab to the list, Tab to "Aggiungi" and Space; back to the list, End selects
# the new last rule; Tab past "Aggiungi" and "Rimuovi" to the name, then
# Sunday's start and stop (Tab selects a field's text); Enter is OK.
# The panel heard of the mode chosen by a later start at once, without a layout change.
exported_menu_is "(x) Connesso,( ) Disconnesso,( ) Disabilitato,( ) Ufficio" shown
updates=$(layout_updates)
open_menu
choose Configurazione...
wait_until 10 focused Configurazione || fail "the dialog did not open with the focus"
if [ "$desktop" = sway ]; then
    windows | grep -qE "^floating Configurazione [0-9]{3}x[0-9]{3}$" ||
        fail "the dialog is not a floating window of its own size: $(windows)"
    as_user grim "$home/shot.png" && cp "$home/shot.png" "$shots/linux-sway-dialog.png"
fi
keys Tab Tab Tab Tab space shift+Tab End Tab Tab Tab ctrl+a
type_text "Sera tardi"
keys Tab
type_text "7:5"
keys Tab
type_text "18:30"
keys Return
wait_until 10 ini_has "nUserEntries=2" || fail "OK did not store the new rule"
wait_until 10 gone Configurazione || fail "OK did not close the dialog"
for line in "[Rule1]" "szName=Sera tardi" hStart0=7 mStart0=5 hStop0=18 mStop0=30 \
    "szName=Ufficio" hStart1=8 mStart1=30; do
    ini_has "$line" || fail "Teleora.ini lacks $line after OK"
done
wait_until 5 more_layout_updates "$updates" || fail "the new rule item came without LayoutUpdated"
run_program --mode "sera tardi" >"$work/second.out" 2>&1 || fail "the new rule is no mode: $(cat "$work/second.out")"

# Past the moment the program looks for a tray (10 s): with one there it said nothing.
while ((SECONDS - started_at < 12)); do sleep 0.5; done
open_menu
exported_menu_is "( ) Connesso,( ) Disconnesso,( ) Disabilitato,( ) Ufficio,(x) Sera tardi"
if [ "$desktop" = xembed ]; then
    [ "$(menu_height)" -gt "$one_rule_menu" ] || fail "the menu did not grow with the new rule"
    import -window root -crop 400x300+624+0 +repage "$shots/linux-menu-rules.png"
fi
# A pause of 0: OK brings the "Errore" box; Enter closes it, the dialog
# stays; the pause retyped, OK stores it.
choose Configurazione...
wait_until 10 focused Configurazione || fail "the dialog did not open for the pause"
keys ctrl+a
type_text 0
keys Return
wait_until 10 focused Errore || fail "a pause of 0 brought no error box"
keys Return
wait_until 10 gone Errore || fail "Enter did not close the error box"
ini_has "tDelay=2000" || fail "the refused pause changed Teleora.ini"
# With no window manager nobody hands the keyboard back to the dialog when
# the box closes (a desktop's does); the dialog keeps its focused field.
[ "$desktop" = sway ] || xdotool windowfocus --sync "$(search_window --onlyvisible --name "^Configurazione\$")"
wait_until 10 focused Configurazione || fail "the dialog closed with the error"
keys ctrl+a
type_text 3
keys Return
wait_until 10 ini_has "tDelay=3000" || fail "OK did not store the corrected pause"
wait_until 10 gone Configurazione || fail "OK did not close the dialog"
cp "$home/Teleora.ini" "$work/Teleora.ini.before"

# The dialog again, its first rule selected (the screenshot); then
# NetworkManager hangs while a pass of "Connesso" waits for its answer, and
# "Esci" must end the program at once all the same.
open_menu
choose Configurazione...
wait_until 10 focused Configurazione || fail "the dialog did not open"
keys Tab Tab Tab space
if [ "$desktop" = xembed ]; then
    sleep 0.5 # the selection drawn, for the picture only
    import -window "$(search_window --onlyvisible --name "^Configurazione\$")" "$shots/linux-dialog.png"
fi
run_program --mode Connesso >"$work/second.out" 2>&1 || fail "a second start failed: $(cat "$work/second.out")"
dbus-monitor --address "$BUS_ADDRESS" "type='method_call',destination='org.freedesktop.NetworkManager'" \
    >"$work/nm-calls.log" 2>&1 &
TELEORA_PIDS+=($!)
wait_until 10 test -s "$work/nm-calls.log" || fail "no monitor on the system bus"
nm_calls() { grep "method call" "$work/nm-calls.log" | grep -vc "interface=org.freedesktop.DBus.Mock" || true; }
nm_call /org/freedesktop org.freedesktop.DBus.Mock.Freeze uint32:20000 >/dev/null
calls=$(nm_calls)
wait_until 10 eval '[ "$(nm_calls)" -gt "$calls" ]' || fail "no pass called the hung NetworkManager"
open_menu
choose Esci
wait_for_exit Esci
[ "$(log_count "Teleora stopped (Info) retcode 0: Success.")" -eq 1 ] || fail "not one stop line"
cmp -s "$home/Teleora.ini" "$work/Teleora.ini.before" || fail "the dialog left open changed Teleora.ini"
# Only the wait with no tray at all (on sway) brought a notification.
[ "$(notices)" -eq "$([ "$desktop" = sway ] && echo 1 || echo 0)" ] || fail "$(notices) notifications"
echo "PASS: the flow on $desktop"
