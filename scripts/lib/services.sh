# shellcheck shell=bash
# Shell helpers for the Linux program's scripts and its shell tests: a
# private system bus, the NetworkManager mock (tests/linux/nm_mock_template.py),
# Xvfb and a tray host. Every start records its PID in
# TELEORA_PIDS; stop_services stops them all by PID, newest first.
#
# Needs: dbus-daemon, python3-dbusmock, Xvfb, trayer (as the caller uses them).

TELEORA_LINUX_TESTS="$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tests/linux" && pwd)"
# wait_until, stop_pid and start_xvfb.
# shellcheck source=scripts/lib/common.sh
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
TELEORA_PIDS=()

# stop_services: stops every process started here, by PID.
stop_services() {
    local i
    for ((i = ${#TELEORA_PIDS[@]} - 1; i >= 0; i--)); do
        stop_pid "${TELEORA_PIDS[$i]}"
    done
    TELEORA_PIDS=()
}

# write_bus_conf DIR [ADDRESS] [TYPE]: DIR/bus.conf, a bus of TYPE (system
# unless given) listening in DIR (or on ADDRESS) that admits the user running
# this, and BUS_GUEST_USER when set, and nobody else. Under a restrictive
# default policy replies and signals pass only when allowed by name, hence
# the full list.
write_bus_conf() {
    local dir=$1 listen=${2:-unix:dir=$1} user policies="" admitted=""
    for user in $(id -un) ${BUS_GUEST_USER:-}; do
        admitted+="
    <allow user=\"$user\"/>"
        policies+="
  <policy user=\"$user\">
    <allow own=\"*\"/>
    <allow send_type=\"method_call\"/>
    <allow send_type=\"signal\"/>
    <allow send_type=\"method_return\"/>
    <allow send_type=\"error\"/>
    <allow receive_type=\"method_call\"/>
    <allow receive_type=\"signal\"/>
    <allow receive_type=\"method_return\"/>
    <allow receive_type=\"error\"/>
  </policy>"
    done
    cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>${3:-system}</type>
  <listen>$listen</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <deny user="*"/>$admitted
    <deny own="*"/>
    <deny send_type="method_call"/>
  </policy>$policies
</busconfig>
CONF
}

# start_private_bus DIR: a system bus of our own, configured and listening in
# DIR; sets BUS_ADDRESS.
start_private_bus() {
    local dir=$1 out
    write_bus_conf "$dir"
    out=$(dbus-daemon --fork --config-file="$dir/bus.conf" --print-address=1 --print-pid=1)
    BUS_ADDRESS=$(echo "$out" | sed -n 1p)
    TELEORA_PIDS+=("$(echo "$out" | sed -n 2p)")
    export BUS_ADDRESS
}

# start_session_bus: a session bus of our own for the programs on the virtual
# screen (otherwise the first of them to look for one autolaunches a bus that
# outlives nobody's bookkeeping); sets and exports DBUS_SESSION_BUS_ADDRESS.
start_session_bus() {
    local out
    out=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    DBUS_SESSION_BUS_ADDRESS=$(echo "$out" | sed -n 1p)
    TELEORA_PIDS+=("$(echo "$out" | sed -n 2p)")
    export DBUS_SESSION_BUS_ADDRESS
}

# nm_call PATH IFACE.METHOD ARGS...: a call to NetworkManager (or the mock).
nm_call() {
    local path=$1 method=$2
    shift 2
    dbus-send --bus="$BUS_ADDRESS" --print-reply --dest=org.freedesktop.NetworkManager \
        "$path" "$method" "$@"
}

# nm_on_bus: whether org.freedesktop.NetworkManager has an owner.
nm_on_bus() {
    dbus-send --bus="$BUS_ADDRESS" --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.NetworkManager 2>/dev/null |
        grep -q 'boolean true'
}

# wait_for_nm: until org.freedesktop.NetworkManager has an owner (10 s).
wait_for_nm() {
    wait_until 10 nm_on_bus && return 0
    echo "NetworkManager did not appear on the bus" >&2
    return 1
}

# start_nm_mock LOG: the mock with our template on the private bus.
start_nm_mock() {
    DBUS_SYSTEM_BUS_ADDRESS=$BUS_ADDRESS /usr/bin/python3 -m dbusmock \
        --template "$TELEORA_LINUX_TESTS/nm_mock_template.py" >"$1" 2>&1 &
    TELEORA_PIDS+=($!)
    wait_for_nm
}

# mock_add_profile ID TYPE: a profile in the mock; prints its object path.
mock_add_profile() {
    nm_call /org/freedesktop org.freedesktop.DBus.Mock.AddProfile "string:$1" "string:$2" |
        sed -n 's/^ *object path "\(.*\)"$/\1/p'
}

# mock_activate PROFILE_PATH: activates a profile as another program would.
mock_activate() {
    nm_call /org/freedesktop/NetworkManager org.freedesktop.NetworkManager.ActivateConnection \
        "objpath:$1" objpath:/ objpath:/ >/dev/null
}

# mock_active_ids: the ids of the mock's active connections, one a line.
mock_active_ids() {
    nm_call /org/freedesktop org.freedesktop.DBus.Mock.ActiveIds | sed -n 's/^ *string "\(.*\)"$/\1/p'
}

# start_demo_world DIR DELAY_MS: the demonstration's world in DIR: a private
# system bus with the NetworkManager mock holding four sample profiles (a
# wired connection up), and a Teleora.ini choosing "Provider Uno" with
# drop-others on, the given pause and one weekday rule.
start_demo_world() {
    start_private_bus "$1"
    start_nm_mock "$1/mock.log"
    mock_add_profile "Provider Uno" pppoe >/dev/null
    mock_add_profile "Ufficio VPN" vpn >/dev/null
    mock_add_profile "Chiavetta" gsm >/dev/null
    mock_activate "$(mock_add_profile "Rete di casa" 802-3-ethernet)"
    {
        printf '[Generale]\r\ntDelay=%d\r\nbDropAny=1\r\nszRasEntry=Provider Uno\r\nnUserEntries=1\r\n' \
            "$2"
        printf '[Rule0]\r\nszName=Ufficio, giorni feriali\r\n'
        local d
        for d in 1 2 3 4 5; do
            printf 'hStart%d=8\r\nmStart%d=30\r\nhStop%d=18\r\nmStop%d=0\r\n' "$d" "$d" "$d" "$d"
        done
    } >"$1/Teleora.ini"
}

# start_screen: a virtual screen (start_xvfb) stopped with the services;
# exports DISPLAY.
start_screen() {
    local status=0
    start_xvfb || status=$?
    TELEORA_PIDS+=("$XVFB_PID")
    return "$status"
}

# start_tray_host: trayer as the notification area, top right; sets TRAY_PID.
start_tray_host() {
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false >/dev/null 2>&1 &
    TRAY_PID=$!
    TELEORA_PIDS+=("$TRAY_PID")
    # Its tray is up (it owns the screen's tray selection) before anyone looks for one.
    wait_until 10 tray_owned
}

# x11_probe CODE: runs the Python CODE with x (libX11) and d (the open
# display of $DISPLAY) at hand; CODE's exit status is the answer, and no
# display answers 1.
x11_probe() {
    python3 -c '
import ctypes, sys
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
d = x.XOpenDisplay(None) or sys.exit(1)
'"$1"
}

# tray_owned: whether a tray host owns the screen's XEmbed tray selection.
tray_owned() {
    x11_probe '
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XInternAtom.restype = ctypes.c_ulong
x.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x.XGetSelectionOwner.restype = ctypes.c_ulong
sys.exit(0 if x.XGetSelectionOwner(d, x.XInternAtom(d, b"_NET_SYSTEM_TRAY_S0", 0)) else 1)'
}

# search_window ARGS...: prints the id of the first window `xdotool search
# ARGS...` finds; fails when there is none.
search_window() {
    local id
    id=$(xdotool search "$@" 2>/dev/null | head -1 || true)
    [ -n "$id" ] && echo "$id"
}

# wait_for_window CLASS: the id of the first window of CLASS (20 s).
wait_for_window() {
    wait_until 20 search_window --class "$1"
}

# wait_for_title TITLE: the id of a visible window with exactly that title (10 s).
wait_for_title() {
    wait_until 10 search_window --onlyvisible --name "^$1\$"
}

# visible_windows: how many visible windows of the program are on screen.
visible_windows() {
    xdotool search --onlyvisible --class teleora 2>/dev/null | wc -l || true
}

# more_windows_than N: whether more than N windows of the program are visible.
more_windows_than() {
    [ "$(visible_windows)" -gt "$1" ]
}

# --- The shell tests of the whole program. A test sets `work` (its scratch
# folder, removed at the end), `home` (the program's working folder, with
# Teleora.ini and teleoralog.txt), `teleora_pid` (the program while it runs),
# TEST_NAME and TEST_LOGS (what a failure names and the files whose last
# lines it shows), and calls `trap cleanup EXIT`.
TEST_LOGS=()

# cleanup: kills the program, stops the services, removes the scratch folder.
cleanup() {
    if [ -n "${teleora_pid:-}" ]; then kill -9 "$teleora_pid" 2>/dev/null || true; fi
    stop_services
    rm -rf "$work"
}

# fail MESSAGE: ends the test, showing the last lines of the log and of TEST_LOGS.
fail() {
    echo "FAIL${TEST_NAME:+ ($TEST_NAME)}: $*" >&2
    tail -n 20 "$home/teleoralog.txt" "${TEST_LOGS[@]}" >&2 2>/dev/null || true
    exit 1
}

# count PATTERN FILE: how many lines of FILE match (0 without FILE).
count() {
    local n
    n=$(grep -c "$1" "$2" 2>/dev/null) || true
    echo "${n:-0}"
}

# log_count TEXT: how many lines of the program's log hold TEXT.
log_count() {
    local n
    n=$(grep -cF "$1" "$home/teleoralog.txt" 2>/dev/null) || true
    echo "${n:-0}"
}
log_has() { [ "$(log_count "$1")" -ge "$2" ]; }

# wait_for_log TEXT [COUNT]: until the log holds TEXT at least COUNT times (20 s).
wait_for_log() {
    wait_until 20 log_has "$1" "${2:-1}" || fail "no log line with: $1"
}

# ini_has LINE: whether Teleora.ini holds exactly LINE.
ini_has() {
    tr -d '\r' <"$home/Teleora.ini" | grep -qxF "$1"
}

# wait_for_exit WHAT: the program must end within 10 s with exit code 0.
wait_for_exit() {
    local status=0
    wait_until 10 process_gone "$teleora_pid" || fail "the program did not end after $1"
    wait "$teleora_pid" || status=$?
    teleora_pid=""
    [ "$status" -eq 0 ] || fail "exit code $status after $1"
}

# docked_icon: the program's window that sits inside another window (the
# tray host's) and is viewable there; fails when there is none.
docked_icon() {
    local id tree
    for id in $(xdotool search --onlyvisible --class teleora 2>/dev/null); do
        tree=$(xwininfo -tree -id "$id" 2>/dev/null) || continue
        awk '/Root window id:/ { r = $4 } /Parent window id:/ { p = $4 }
            END { exit !(r != "" && p != r) }' <<<"$tree" && { echo "$id"; return 0; }
    done
    return 1
}

# wait_for_docked_icon [SECONDS]: the id of the program's tray icon once it
# is embedded in the tray and viewable (20 s unless given).
wait_for_docked_icon() {
    wait_until "${1:-20}" docked_icon
}

# new_popup SEEN...: a viewable override-redirect window of the program with
# a size, other than the SEEN ones (the program's windows viewable before);
# prints its id.
new_popup() {
    local id info
    for id in $(xdotool search --onlyvisible --class teleora 2>/dev/null); do
        [[ " $* " != *" $id "* ]] || continue
        info=$(xwininfo -id "$id" 2>/dev/null) || continue
        grep -q "Override Redirect State: yes" <<<"$info" && grep -q "Map State: IsViewable" <<<"$info" &&
            [ "$(sed -n 's/^ *Width: //p' <<<"$info")" -gt 1 ] &&
            [ "$(sed -n 's/^ *Height: //p' <<<"$info")" -gt 1 ] && { echo "$id"; return 0; }
    done
    return 1
}

# keyboard_grabbed: whether some client holds the keyboard, as an open menu
# does. The probe asks for a grab on a window of its own that is never
# mapped: the server answers AlreadyGrabbed when another client holds the
# keyboard and NotViewable otherwise, so the probe never takes it.
keyboard_grabbed() {
    x11_probe '
x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x.XDefaultRootWindow.restype = ctypes.c_ulong
x.XCreateSimpleWindow.restype = ctypes.c_ulong
x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong] + [ctypes.c_int] * 4 + [ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
x.XGrabKeyboard.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_ulong]
w = x.XCreateSimpleWindow(d, x.XDefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0)
sys.exit(0 if x.XGrabKeyboard(d, w, 0, 1, 1, 0) == 1 else 1)  # 1: AlreadyGrabbed'
}

# wait_for_menu SEEN...: after a click, the program's menu: a new popup
# (new_popup) that holds the keyboard (10 s); sets MENU_WINDOW.
wait_for_menu() {
    MENU_WINDOW=$(wait_until 10 new_popup "$@") && wait_until 10 keyboard_grabbed
}

# menu_closed: whether the menu of wait_for_menu is gone and the keyboard free.
menu_closed() {
    ! xwininfo -id "$MENU_WINDOW" 2>/dev/null | grep -q "Map State: IsViewable" && ! keyboard_grabbed
}

# tray_open_menu ICON_WINDOW [BUTTON]: clicks the tray icon (left button
# unless BUTTON says otherwise) and waits for its menu (wait_for_menu), so
# keys go to the menu.
tray_open_menu() {
    local seen geometry X Y WIDTH HEIGHT SCREEN
    seen=$(xdotool search --onlyvisible --class teleora 2>/dev/null || true)
    geometry=$(xdotool getwindowgeometry --shell "$1") || return 1
    eval "$geometry"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click "${2:-1}"
    # shellcheck disable=SC2086 # one argument per window
    wait_for_menu $seen
}

# focused_title TITLE: the id of the viewable window with exactly that title
# when it has the keyboard focus; fails otherwise.
focused_title() {
    local id
    id=$(search_window --onlyvisible --name "^$1\$") && [ "$(xdotool getwindowfocus -f 2>/dev/null)" = "$id" ] &&
        echo "$id"
}

# wait_for_focused TITLE: the id of that window once it is viewable and
# focused, so typing goes to it (10 s).
wait_for_focused() {
    wait_until 10 focused_title "$1"
}
