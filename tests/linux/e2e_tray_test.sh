#!/usr/bin/env bash
# End to end: the real program under Xvfb with trayer as the tray host and the
# NetworkManager mock on a private system bus.
#
# 1. The program starts before any tray host exists and must wait for one;
#    its icon then shows a picture in the tray.
#    The tray host is restarted: the icon docks in the new one by itself.
# 2. A right click opens the menu, Escape closes it; a left click opens it
#    (screenshot); "Connesso" dials the
#    configured entry: the "RasDial" line is logged, the connection is active
#    in the mock and the wired connection is left up (drop-others is on).
# 3. "Configurazione..." opens the dialog; a rule is added, named and given
#    a start and stop time, key by key with Tab between fields, and OK stores
#    it in Teleora.ini. Then a pause of 0 is refused with the "Errore" box,
#    which Enter closes; the pause retyped, OK stores it.
#    "Configurazione..." again; a rule is selected (screenshot).
# 4. NetworkManager hangs, so the supervisor sits in a D-Bus call; with the
#    dialog still open, "Esci" from the menu ends the program at once with
#    exit code 0 and one "Teleora stopped" line, and the dialog stores nothing.
# 5. A second start ends on SIGTERM the same way, while the dialog shows its
#    error box; the settings file stays as it was.
#
# Usage: e2e_tray_test.sh PATH/TO/teleora [SCREENSHOT_DIR]
# The screenshots are SCREENSHOT_DIR/linux-menu.png, linux-menu-rules.png
# and linux-dialog.png.
set -euo pipefail
program=$(realpath "$1")
shots=${2:-$(dirname "$program")/screenshots}
mkdir -p "$shots"
shots=$(realpath "$shots")
. "$(dirname "$0")/../../scripts/lib/services.sh"

work=$(mktemp -d)
teleora_pid=""
cleanup() {
    if [ -n "$teleora_pid" ]; then kill -9 "$teleora_pid" 2>/dev/null || true; fi
    stop_services
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    echo "--- teleoralog.txt" >&2
    cat "$work/teleoralog.txt" >&2 2>/dev/null || true
    echo "--- program output" >&2
    cat "$work/program.out" >&2 2>/dev/null || true
    exit 1
}
trap 'fail "command failed at line $LINENO: $BASH_COMMAND"' ERR

# log_count TEXT: how many lines of the log hold TEXT (0 without a log).
log_count() {
    local n
    n=$(grep -cF "$1" "$work/teleoralog.txt" 2>/dev/null) || true
    echo "${n:-0}"
}

# log_has TEXT COUNT: whether the log holds TEXT at least COUNT times.
log_has() {
    [ "$(log_count "$1")" -ge "$2" ]
}

# wait_for_log TEXT [COUNT]: until the log holds TEXT at least COUNT times (20 s).
wait_for_log() {
    wait_until 20 log_has "$1" "${2:-1}" || fail "no log line with: $1"
}

# icon_colours: how many colours the tray icon's window shows on screen.
icon_colours() {
    local geometry X Y WIDTH HEIGHT SCREEN
    geometry=$(xdotool getwindowgeometry --shell "$icon") || return 1
    eval "$geometry"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage png:- |
        convert - -format %k info:
}

# icon_shows_picture: whether the icon shows more than the tray's flat
# background; sets colours.
colours=0
icon_shows_picture() {
    colours=$(icon_colours || echo 0)
    [ "$colours" -gt 2 ]
}

# wait_for_icon_picture: the icon must show a picture (5 s).
wait_for_icon_picture() {
    wait_until 5 icon_shows_picture || fail "the tray icon shows $colours colours: no picture"
}

# docked_icon: the program's window that sits inside another window (the
# tray host's), not on the root window; fails when there is none.
docked_icon() {
    local id tree
    for id in $(xdotool search --class teleora 2>/dev/null); do
        tree=$(xwininfo -tree -id "$id" 2>/dev/null) || continue
        echo "$tree" | awk '/Root window id:/ { r = $4 } /Parent window id:/ { p = $4 }
            END { exit !(r != "" && p != r) }' && { echo "$id"; return 0; }
    done
    return 1
}

# menu_height: the height of the program's open menu (its visible window
# titled "Teleora" other than the icon).
menu_height() {
    local id HEIGHT
    for id in $(xdotool search --onlyvisible --class teleora 2>/dev/null); do
        [ "$id" != "$icon" ] && [ "$(xdotool getwindowname "$id" 2>/dev/null)" = Teleora ] || continue
        eval "$(xdotool getwindowgeometry --shell "$id" | grep '^HEIGHT=')"
        echo "$HEIGHT"
        return 0
    done
    return 1
}

# title_gone TITLE: whether no visible window has exactly that title.
title_gone() {
    ! search_window --onlyvisible --name "^$1\$" >/dev/null
}

# ini_has LINE: whether Teleora.ini holds exactly LINE.
ini_has() {
    tr -d '\r' <"$work/Teleora.ini" | grep -qxF "$1"
}

open_menu() {
    tray_open_menu "$icon" "${1:-1}" || fail "the menu did not open (button ${1:-1})"
}

# wait_for_exit WHAT: the program must end within 10 s with exit code 0.
wait_for_exit() {
    local status=0
    wait_until 10 process_gone "$teleora_pid" || fail "the program did not end after $1"
    wait "$teleora_pid" || status=$?
    teleora_pid=""
    [ "$status" -eq 0 ] || fail "exit code $status after $1"
}

start_program() {
    (cd "$work" && exec env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" QT_QPA_PLATFORM=xcb \
        "$program" >>"$work/program.out" 2>&1) &
    teleora_pid=$!
}

start_private_bus "$work"
start_nm_mock "$work/mock.log"
mock_add_profile "Provider Uno" pppoe >/dev/null
mock_add_profile "Ufficio" vpn >/dev/null
mock_activate "$(mock_add_profile "Wired" 802-3-ethernet)"

{
    printf '[Generale]\r\ntDelay=2000\r\nbDropAny=1\r\nszRasEntry=Provider Uno\r\nnUserEntries=1\r\n'
    printf '[Rule0]\r\nszName=Ufficio, giorni feriali\r\n'
    for d in 1 2 3 4 5; do
        printf 'hStart%d=8\r\nmStart%d=30\r\nhStop%d=18\r\nmStop%d=0\r\n' "$d" "$d" "$d" "$d"
    done
} >"$work/Teleora.ini"
cp "$work/Teleora.ini" "$work/Teleora.ini.before"

start_screen
start_session_bus
start_program
wait_for_log "Teleora started (Info) retcode 0: Success."
head -1 "$work/teleoralog.txt" | grep -qF "Teleora started" || fail "the start line is not first"
# No tray host yet: the program waits for one instead of ending.
sleep 1.5
kill -0 "$teleora_pid" 2>/dev/null || fail "the program ended while there was no tray"
start_tray_host
icon=$(wait_until 20 docked_icon) || fail "no tray icon appeared"
wait_for_icon_picture

# The tray host goes away and a new one starts: the icon docks in it again.
stop_pid "$TRAY_PID"
sleep 0.5
kill -0 "$teleora_pid" 2>/dev/null || fail "the program ended with the tray host"
if docked_icon >/dev/null; then fail "the icon is still docked with no tray host"; fi
start_tray_host
icon=$(wait_until 20 docked_icon) || fail "the icon did not dock in the new tray host"
wait_for_icon_picture

# The right button opens the same menu; Escape closes it with no command.
open_menu 3
one_rule_menu=$(menu_height) || fail "no menu window found"
xdotool key Escape
sleep 0.3

open_menu
import -window root -crop 400x300+624+0 +repage "$shots/linux-menu.png"
xdotool key Down Return # "Connesso"
wait_for_log "RasDial (Provider Uno) retcode 0: Success."
mock_active_ids | grep -qx "Provider Uno" || fail "Provider Uno is not active in the mock"
mock_active_ids | grep -qx "Wired" || fail "the wired connection was taken down"

# A new rule, typed as a person does: the focus starts in the pause field;
# Tab to the list, Tab to "Aggiungi" and Space; back to the list, End selects
# the new last rule; Tab past "Aggiungi" and "Rimuovi" to the name, then
# Sunday's start and stop (Tab selects a field's text); Enter is OK.
open_menu 3
xdotool key Up Up Up Return # "Configurazione...", third from the bottom
wait_for_title Configurazione >/dev/null || fail "the dialog did not open to add a rule"
sleep 0.3
xdotool key Tab Tab Tab Tab space shift+Tab End Tab Tab Tab ctrl+a
xdotool type --delay 30 "Sera tardi"
xdotool key Tab
xdotool type --delay 30 "7:5"
xdotool key Tab
xdotool type --delay 30 "18:30"
xdotool key Return
wait_until 10 ini_has "nUserEntries=2" || fail "OK did not store the new rule"
for line in "[Rule1]" "szName=Sera tardi" hStart0=7 mStart0=5 hStop0=18 mStop0=30 \
    "szName=Ufficio, giorni feriali" hStart1=8 mStart1=30; do
    ini_has "$line" || fail "Teleora.ini lacks $line after OK"
done

# A pause of 0: OK brings the "Errore" box; Enter closes it, the dialog
# stays; the pause retyped, OK stores it. The menu now lists the new rule:
# one item more.
open_menu
two_rule_menu=$(menu_height) || fail "no menu window found"
[ "$two_rule_menu" -gt "$one_rule_menu" ] ||
    fail "the menu did not grow with the new rule ($one_rule_menu, then $two_rule_menu px)"
import -window root -crop 400x300+624+0 +repage "$shots/linux-menu-rules.png"
xdotool key Up Up Up Return # "Configurazione..."
dialog=$(wait_for_title Configurazione) || fail "the dialog did not open for the pause"
sleep 0.3
xdotool key ctrl+a
xdotool type 0
xdotool key Return
wait_for_title Errore >/dev/null || fail "a pause of 0 brought no error box"
xdotool key Return
wait_until 10 title_gone Errore || fail "Enter did not close the error box"
search_window --onlyvisible --name "^Configurazione\$" >/dev/null || fail "the dialog closed with the error"
ini_has "tDelay=2000" || fail "the refused pause changed Teleora.ini"
# With no window manager nobody hands the keyboard back to the dialog when
# the box closes (a desktop's does); the dialog keeps its focused field.
xdotool windowfocus --sync "$dialog"
xdotool key ctrl+a
xdotool type 3
xdotool key Return
wait_until 10 ini_has "tDelay=3000" || fail "OK did not store the corrected pause"
cp "$work/Teleora.ini" "$work/Teleora.ini.before"

open_menu
xdotool key Up Up Up Return # "Configurazione...", third from the bottom
dialog=$(wait_for_title Configurazione) || fail "the dialog did not open"
sleep 0.3
xdotool key Tab Tab Tab space # to the rule list; select its first rule
sleep 0.5
import -window "$dialog" "$shots/linux-dialog.png"

# NetworkManager hangs: the supervisor's next pass sits in a D-Bus call when
# "Esci" comes; the program must end at once all the same.
nm_call /org/freedesktop org.freedesktop.DBus.Mock.Freeze uint32:20000 >/dev/null
sleep 2.5
open_menu
xdotool key Up Return # "Esci", the last item
wait_for_exit "Esci"
stops=$(log_count "Teleora stopped (Info) retcode 0: Success.")
[ "$stops" -eq 1 ] || fail "$stops stop lines after Esci"
cmp -s "$work/Teleora.ini" "$work/Teleora.ini.before" || fail "the cancelled dialog changed Teleora.ini"

# SIGTERM (the end of the session) ends it the same way, here while the
# dialog shows its error box (a pause of 0 refused by OK).
start_program
wait_for_log "Teleora started" 2
icon=$(wait_until 20 docked_icon) || fail "no tray icon appeared the second time"
open_menu
xdotool key Up Up Up Return # "Configurazione..."
wait_for_title Configurazione >/dev/null || fail "the dialog did not open the second time"
sleep 0.3
xdotool key ctrl+a
xdotool type 0
xdotool key Return # OK, the default button
wait_for_title Errore >/dev/null || fail "the error box did not open"
kill -TERM "$teleora_pid"
wait_for_exit "SIGTERM"
stops=$(log_count "Teleora stopped (Info) retcode 0: Success.")
[ "$stops" -eq 2 ] || fail "$stops stop lines after SIGTERM"
cmp -s "$work/Teleora.ini" "$work/Teleora.ini.before" || fail "the refused dialog changed Teleora.ini"
echo "--- teleoralog.txt"
cat "$work/teleoralog.txt"
echo "PASS: end-to-end run (screenshots in $shots)"
