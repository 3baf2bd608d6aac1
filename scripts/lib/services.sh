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
    # Its panel is up before anyone looks for a tray.
    wait_until 10 search_window --class trayer >/dev/null
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

# tray_open_menu ICON_WINDOW [BUTTON]: clicks the tray icon (left button
# unless BUTTON says otherwise) and waits (10 s) until one more window of the
# program is on screen: the menu.
tray_open_menu() {
    local before geometry X Y WIDTH HEIGHT SCREEN
    before=$(visible_windows)
    geometry=$(xdotool getwindowgeometry --shell "$1") || return 1
    eval "$geometry"
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click "${2:-1}"
    wait_until 10 more_windows_than "$before" || return 1
    sleep 0.3
}
