#!/usr/bin/env bash
# The whole program against hostile names, under Xvfb with trayer and the
# NetworkManager mock on a private system bus.
#
# 1. A FIFO named teleoralog.txt: the program still starts (its icon shows),
#    writes nothing into the FIFO, and ends on SIGTERM (10 s).
# 2. A profile named with terminal controls (ESC [31m, BEL, DEL, the C1 CSI)
#    dialled through the menu: the log's line names it with blanks in their
#    place and the log holds no control byte. Then a pause of 0 is refused
#    with the "Errore" box; while it shows, SIGTERM (the end of the session)
#    ends the program with code 0, and the settings file stays as it was.
#
# Usage: hostile_files_test.sh PATH/TO/teleora
set -euo pipefail
program=$(realpath "$1")
. "$(dirname "$0")/../../scripts/lib/services.sh"

work=$(mktemp -d)
home=$work # the log of part 1 is a FIFO: never read it on failure
teleora_pid=""
TEST_LOGS=("$work/fifo/program.out" "$work/controls/program.out")
trap cleanup EXIT

# start_program DIR: the program with DIR as its working folder.
start_program() {
    (cd "$1" && exec env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" QT_QPA_PLATFORM=xcb \
        "$program" >>"$1/program.out" 2>&1) &
    teleora_pid=$!
}

# stop_program WHAT: SIGTERM must end the program within 10 s with code 0.
stop_program() {
    kill -TERM "$teleora_pid"
    wait_for_exit "SIGTERM ($1)"
}

start_private_bus "$work"
start_nm_mock "$work/mock.log"
name=$'Rosso\e[31m\a\x7f\xc2\x9bFine'
mock_add_profile "$name" pppoe >/dev/null
start_screen
start_session_bus
start_tray_host

# 1. A FIFO as the log. Nobody reads it while the program starts (a blocking
# open would hang there for good); a reader comes before SIGTERM, so a stop
# line written into it would show.
mkdir "$work/fifo"
mkfifo "$work/fifo/teleoralog.txt"
start_program "$work/fifo"
wait_for_docked_icon >/dev/null || fail "no tray icon with a FIFO as the log"
exec 3<>"$work/fifo/teleoralog.txt"
stop_program "FIFO as the log"
got=$(timeout 1 cat <&3 || true)
exec 3<&-
[ -z "$got" ] || fail "the program wrote into the FIFO: $got"
[ -p "$work/fifo/teleoralog.txt" ] || fail "the FIFO was replaced"
echo "== FIFO as the log: started, nothing written, ended on SIGTERM"

# 2. The profile with terminal controls in its name, dialled from the menu.
home=$work/controls
mkdir "$home"
printf '[Generale]\r\ntDelay=60000\r\nbDropAny=0\r\nszRasEntry=%s\r\nnUserEntries=0\r\n' "$name" \
    >"$work/controls/Teleora.ini"
start_program "$work/controls"
icon=$(wait_for_docked_icon) || fail "no tray icon"
tray_open_menu "$icon" || fail "the menu did not open"
xdotool key Down Return # "Connesso"
log="$home/teleoralog.txt"
wait_for_log "RasDial (Rosso [31m   Fine) retcode 0: Success."
# A pause of 0, refused: SIGTERM while the "Errore" box shows.
cp "$home/Teleora.ini" "$work/Teleora.ini.before"
tray_open_menu "$icon" || fail "the menu did not open again"
xdotool key Up Up Up Return # "Configurazione..."
wait_for_focused Configurazione >/dev/null || fail "the dialog did not open"
xdotool key ctrl+a
xdotool type 0
xdotool key Return # OK, the default button
wait_for_focused Errore >/dev/null || fail "a pause of 0 brought no error box"
stop_program "controls in a name, the error box open"
[ "$(log_count "Teleora stopped (Info) retcode 0: Success.")" -eq 1 ] || fail "not one stop line"
cmp -s "$home/Teleora.ini" "$work/Teleora.ini.before" || fail "the refused dialog changed Teleora.ini"
python3 - "$log" <<'PY' || fail "control bytes in the log: $(cat -v "$log")"
import re, sys
text = open(sys.argv[1], "rb").read()
sys.exit(1 if re.search(rb"[\x00-\x09\x0b\x0c\x0e-\x1f\x7f]|\xc2[\x80-\x9f]|\r(?!\n)|(?<!\r)\n", text) else 0)
PY
echo "== controls in a profile's name: blanks in the log; SIGTERM with the error box open"
