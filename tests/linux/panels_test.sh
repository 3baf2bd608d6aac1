#!/usr/bin/env bash
# One person's flow under a real panel, each desktop in a private session of
# an unprivileged user (run as root, the test makes the system user
# teleora-panels and at the end stops every process of that user: one run at a
# time), with the NetworkManager mock on a private system bus and real
# pointer input:
#   gnome           GNOME Shell (Wayland, headless) with the AppIndicator
#                   extension; a test extension (gnome-test-extension/) gives
#                   Eval, a virtual pointer and a reading of the shell's menu;
#   plasma-wayland  KDE Plasma, KWin on Wayland as a window on Xvfb;
#   plasma-x11      KDE Plasma on Xvfb;
#   waybar          waybar under sway, sway as a window on Xvfb;
#   xfce            xfce4-panel with xfwm4 on Xvfb;
#   lxqt            lxqt-panel with openbox on Xvfb.
# Pointer input is xdotool on the Xvfb (the nested compositors take it as
# their own), the shell's virtual pointer on GNOME. The panels' icons, menus
# and the dialog are read over the accessibility bus (atspi.py), GNOME's
# through the test extension.
# The flow: the icon appears; a left click shows the menu with its items;
# "Connesso" chosen in that menu dials; the menu opened again shows the dot on
# "Connesso"; "Configurazione..." opens the dialog as a window of its own
# size; "Esci" ends the program with 0. The open menu is photographed
# (SHOT_DIR/linux-DESKTOP-menu.png).
#
# Usage: panels_test.sh DESKTOP PATH/TO/teleora [SHOT_DIR]
set -euo pipefail
desktop=$1
program=$(realpath "$2")
shots=${3:-$(dirname "$program")/screenshots}
mkdir -p "$shots"
shots=$(realpath "$shots")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/lib/services.sh"

work=$(mktemp -d)
chmod 755 "$work"
home=$work/home
run=$work/run
mkdir "$home" && mkdir -m 700 "$run"
teleora_pid=""
cleanup() {
    if [ -n "$teleora_pid" ]; then kill -9 "$teleora_pid" 2>/dev/null || true; fi
    stop_services
    # What the desktop started by itself (activated services, helpers).
    if [ -n "${setuser[*]}" ]; then
        local pid
        for pid in $(pgrep -u "$user" || true); do kill -9 "$pid" 2>/dev/null || true; done
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL ($desktop): $*" >&2
    tail -n 30 "$home/teleoralog.txt" "$work/program.out" "$work/desktop.log" >&2 2>/dev/null || true
    exit 1
}
trap 'fail "command failed at line $LINENO: $BASH_COMMAND"' ERR

user=$(id -un)
setuser=()
if [ "$(id -u)" -eq 0 ]; then
    user=teleora-panels
    id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
    setuser=(setpriv --reuid="$user" --regid="$user" --init-groups)
fi
export BUS_GUEST_USER=$user
start_private_bus "$work"
start_nm_mock "$work/mock.log"
mock_add_profile "Provider Uno" pppoe >/dev/null
printf '[Generale]\r\ntDelay=2000\r\nszRasEntry=Provider Uno\r\nnUserEntries=0\r\n' >"$home/Teleora.ini"
chown -R "$user:" "$home" "$run"

# The session's environment; each desktop adds its display.
session_env=(HOME="$home" XDG_RUNTIME_DIR="$run" PATH=/usr/local/bin:/usr/bin:/bin
    DBUS_SESSION_BUS_ADDRESS="unix:path=$run/bus" XDG_CONFIG_HOME="$home/.config"
    XDG_DATA_HOME="$home/.local/share" LANG=C.UTF-8 QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
# as_user COMMAND...: a command in the session, as its user.
as_user() { "${setuser[@]}" env -i "${session_env[@]}" "$@"; }
# as_user_bg COMMAND...: in the background, its PID recorded for stop_services.
as_user_bg() {
    (exec "${setuser[@]}" env -i "${session_env[@]}" "$@" </dev/null >>"$work/desktop.log" 2>&1) &
    TELEORA_PIDS+=($!)
}
TELEORA_PIDS+=("$(as_user dbus-daemon --session --address="unix:path=$run/bus" --fork --print-pid=1)")


SCREEN_WIDTH=1024
SCREEN_HEIGHT=768

# --- GNOME Shell: everything through the test extension's helpers.
gnome_eval() {
    as_user gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell \
        --method org.gnome.Shell.Eval "$1" 2>/dev/null |
        /usr/bin/python3 -c 'import ast, json, sys
text = sys.stdin.read().replace("(true,", "(True,").replace("(false,", "(False,")
ok, out = ast.literal_eval(text) if text else (False, "")
print(json.loads(out) if ok and out else "")'
}
gnome_helper() {
    local args=""
    [ $# -lt 2 ] || args=$(printf '"%s"' "$2")
    gnome_eval "global.teleoraTest ? global.teleoraTest.$1($args) : ''"
}
gnome_start() {
    local ext=$home/.local/share/gnome-shell/extensions/teleora-test@teleora.invalid
    mkdir -p "$ext"
    cp "$here"/gnome-test-extension/* "$ext"/
    chown -R "$user:" "$home/.local"
    as_user gsettings set org.gnome.shell disable-user-extensions false
    as_user gsettings set org.gnome.shell enabled-extensions \
        "['ubuntu-appindicators@ubuntu.com', 'teleora-test@teleora.invalid']"
    as_user_bg env DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" \
        gnome-shell --headless --virtual-monitor 1280x800 --wayland
    ready() { [ "$(gnome_eval "global.teleoraTest ? 'ready' : ''")" = ready ]; }
    wait_until 60 ready || fail "GNOME Shell did not start with the test extension"
    program_env=(WAYLAND_DISPLAY=wayland-0 QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland
        XDG_CURRENT_DESKTOP=GNOME)
    ui=gnome
    menus=gnome
    shot_crop=330x310+950+0 # the icon and its menu, top right
}
gnome_icon() { [ "$(gnome_helper icon)" = shown ]; }
# A click while the last menu still closes (after a choice) would close it,
# and one soon after the last would be a double click (the test extension's ready).
gnome_ready() { [ "$(gnome_helper ready)" = ready ]; }
gnome_click_icon() {
    wait_until 10 gnome_ready || fail "the menu stays open"
    gnome_helper clickIcon >/dev/null
}
gnome_menu() { gnome_helper menu; }
gnome_choose() { [ -n "$(gnome_helper clickItem "$1")" ]; }
gnome_window() { gnome_helper window "$1"; }
gnome_close() { gnome_helper closeWindow "$1" >/dev/null; }
gnome_shot() {
    as_user gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell/Screenshot \
        --method org.gnome.Shell.Screenshot.Screenshot false false "$run/shot.png" >/dev/null
    convert "$run/shot.png" -crop "$shot_crop" +repage "$1"
}

# wm_ready: whether a window manager runs on the virtual screen. One that starts
# while a menu is open moves the keyboard focus under it, and a GTK menu then
# no longer reports its items taking the focus.
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"; }

# --- KDE Plasma.
kde_env=(XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5)
plasma_wayland_start() {
    start_screen
    session_env+=(DISPLAY="$DISPLAY" "${kde_env[@]}")
    # A copy without the file capabilities, which fail in a container.
    cp /usr/bin/kwin_wayland "$work/kwin_wayland"
    as_user_bg "$work/kwin_wayland" --x11-display "$DISPLAY" --width 1024 --height 768 \
        --socket wayland-kde --no-lockscreen
    wait_until 20 test -S "$run/wayland-kde" || fail "KWin did not start"
    session_env+=(WAYLAND_DISPLAY=wayland-kde QT_QPA_PLATFORM=wayland XDG_SESSION_TYPE=wayland)
    as_user dbus-update-activation-environment "${session_env[@]}"
    as_user_bg kded5
    as_user_bg plasmashell
    program_env=()
    shot_crop=320x250+704+518 # the menu above the icon, bottom right
}
plasma_x11_start() {
    start_screen
    session_env+=(DISPLAY="$DISPLAY" "${kde_env[@]}" QT_QPA_PLATFORM=xcb XDG_SESSION_TYPE=x11)
    as_user dbus-update-activation-environment "${session_env[@]}"
    as_user_bg kwin_x11 --replace
    as_user_bg kded5
    as_user_bg plasmashell
    wait_until 30 wm_ready || fail "KWin did not start"
    program_env=()
}

# --- waybar under sway, sway as a window on the virtual screen.
waybar_start() {
    start_screen
    session_env+=(DISPLAY="$DISPLAY")
    printf '{"position": "top", "height": 30, "modules-right": ["tray"], "tray": {"spacing": 8}}\n' \
        >"$work/waybar.json"
    printf 'output X11-1 resolution %dx%d\nexec waybar -c %s\n' "$SCREEN_WIDTH" "$SCREEN_HEIGHT" \
        "$work/waybar.json" >"$work/sway.conf"
    as_user_bg env WLR_BACKENDS=x11 WLR_RENDERER=pixman WLR_X11_OUTPUTS=1 sway -c "$work/sway.conf"
    wait_until 20 test -S "$run/wayland-1" || fail "sway did not start"
    session_env+=(WAYLAND_DISPLAY=wayland-1 XDG_SESSION_TYPE=wayland)
    program_env=(QT_QPA_PLATFORM=wayland)
    panel_app=waybar
    icon_name=""
    menus=popup
}

# --- xfce4-panel with its notification area (the systray plugin) and xfwm4.
xfce_start() {
    start_screen
    session_env+=(DISPLAY="$DISPLAY" XDG_CURRENT_DESKTOP=XFCE)
    local conf=$home/.config/xfce4/xfconf/xfce-perchannel-xml
    mkdir -p "$conf"
    cat >"$conf/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
XML
    chown -R "$user:" "$home/.config"
    # The plugin runs in a process of its own, the only item on the panel.
    panel_app=wrapper-2.0
    # Its accessibility bridge learns at its start who listens to which events
    # and can miss a listener that comes while it starts: the watcher first.
    start_watch
    as_user_bg xfwm4
    as_user_bg xfce4-panel
    wait_until 30 wm_ready || fail "xfwm4 did not start"
    program_env=(QT_QPA_PLATFORM=xcb)
    locate_icon=plug_icon
}

# --- lxqt-panel with its status notifier plugin, and openbox.
lxqt_start() {
    start_screen
    session_env+=(DISPLAY="$DISPLAY" XDG_CURRENT_DESKTOP=LXQt)
    mkdir -p "$home/.config/lxqt"
    printf '[General]\npanels=panel1\n\n[panel1]\nplugins=statusnotifier\nposition=Top\n\n[statusnotifier]\ntype=statusnotifier\n' \
        >"$home/.config/lxqt/panel.conf"
    chown -R "$user:" "$home/.config"
    as_user_bg openbox
    as_user_bg lxqt-panel
    wait_until 30 wm_ready || fail "openbox did not start"
    program_env=(QT_QPA_PLATFORM=xcb)
    panel_app=lxqt-panel
    icon_name=""
}

# start_watch: the watcher of the menus (atspi.py watch), once it listens.
start_watch() {
    as_user_bg /usr/bin/python3 "$here/atspi.py" watch "$run/menu.txt"
    wait_until 30 test -e "$run/menu.txt" || fail "the menus' watcher did not start"
}
# --- The desktops on the virtual screen: pointer and keys through xdotool,
# the panel's menu and the dialog read through the accessibility bus.
atspi() { as_user /usr/bin/python3 "$here/atspi.py" "$@"; }
panel_app=plasmashell
icon_at=""
# The icon as an accessible button named after the program (lxqt-panel names
# none: there the only button).
icon_name=Teleora
button_icon() { atspi button "$panel_app" "$icon_name"; }
# The centre of the panel plugin's window, when the program's item is its only one.
plug_icon() {
    # shellcheck disable=SC2034 # set by the eval of xdotool's output
    local X="" Y="" WIDTH="" HEIGHT="" SCREEN WINDOW
    item_registered && eval "$(xdotool search --onlyvisible --class "$panel_app" getwindowgeometry --shell)" &&
        [ -n "$X" ] && echo "$((X + WIDTH / 2)) $((Y + HEIGHT / 2))"
}
item_registered() {
    as_user gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
        RegisteredStatusNotifierItems 2>/dev/null | grep -q StatusNotifierItem
}
# icon_drawn: whether the program's icon (a red telephone) is drawn at
# icon_at, not a placeholder.
icon_drawn() {
    local x=${icon_at% *} y=${icon_at#* } red
    import -window root -crop "20x20+$((x - 10))+$((y - 10))" "$run/icon.png"
    red=$(convert "$run/icon.png" -fx '(r > 0.55 && g < 0.35 && b < 0.35) ? 1 : 0' -format '%[fx:mean]' info:)
    awk "BEGIN { exit !($red > 0.05) }"
}
screen_icon() { icon_at=$("$locate_icon") && [ -n "$icon_at" ] && icon_drawn; }
# shellcheck disable=SC2086 # "X Y"
screen_click_icon() { xdotool mousemove $icon_at click 1; }
# The menus (Qt's popups are not among the application's children, and a GTK
# plugin's menu is not found from its plug) are read as their items take the
# focus (atspi.py watch): each reading moves the highlight with a Down key and waits for the
# next item's report.
focus_menu() {
    rm -f "$run/menu.txt"
    xdotool key Down
    wait_until 2 test -s "$run/menu.txt" && head -1 "$run/menu.txt"
}
moved_from() { ! focused "$1"; }
focused() { [ "$(sed -n 's/^focus	//p' "$run/menu.txt")" = "$1" ]; }
focus_choose() {
    local tries
    for ((tries = 0; tries < 10; tries++)); do
        if focused "$1"; then
            xdotool key Return
            return 0
        fi
        local was
        was=$(sed -n 's/^focus	//p' "$run/menu.txt")
        xdotool key Down
        wait_until 10 moved_from "$was" || return 1
    done
    return 1
}
# waybar: its GTK menu is one of its windows, but the menu's popup takes no
# keyboard and knows its place on the screen only relative to itself; the
# item is clicked where the menu's box (the white one on the screen) puts it.
popup_menu() { atspi menu "$panel_app" | head -1; }
popup_choose() {
    local reading box mx my x y
    reading=$(atspi menu "$panel_app") || return 1
    read -r mx my _ <<<"$(sed -n 's/^menu\t//p' <<<"$reading")"
    read -r x y <<<"$(awk -F'\t' -v l="$1" '$1 == l { print $2 }' <<<"$reading")"
    [ -n "$x" ] || return 1
    import -window root "$run/screen.png"
    box=$(convert "$run/screen.png" -threshold 90% -format '%@' info:) # WxH+X+Y
    box=${box#*+}
    xdotool mousemove $((x - mx + ${box%+*})) $((y - my + ${box#*+})) click 1
}
screen_window() {
    local size
    size=$(atspi window Teleora "$1") || return 0
    local w=${size%x*} h=${size#*x}
    if ((w < SCREEN_WIDTH && h < SCREEN_HEIGHT - 40)); then echo "$size normal"; else echo "$size large"; fi
}
screen_close() { xdotool key Escape; }
screen_shot() { import -window root -crop "$shot_crop" +repage "$1"; }

# --- The flow. Each desktop's start sets how the test sees it: ui (gnome or
# screen: the icon, the clicks, the dialog, the screenshot) and menus (gnome,
# qt or gtk: reading the open menu and choosing in it).
ui=screen
menus=focus
locate_icon=button_icon
shot_crop=100%x100%+0+0 # what of the screen the menu's screenshot keeps
"${desktop/-/_}_start"
menu_is() { [ "$("${menus}_menu")" = "$1" ]; }
icon_shown() { "${ui}_icon"; }
menu_open() { [ -n "$("${menus}_menu")" ]; }
# open_menu: a left click on the icon, until the menu is open.
open_menu() {
    "${ui}_click_icon"
    wait_until 10 menu_open || fail "a left click on the icon showed no menu"
}

# The program starts once the panel is there, as it does from a session's autostart.
watcher_ready() {
    as_user gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
        IsStatusNotifierHostRegistered 2>/dev/null | grep -q true
}
wait_until 30 watcher_ready || fail "no StatusNotifierWatcher with a host on the session bus"
[ "$menus" != focus ] || [ -e "$run/menu.txt" ] || start_watch
(cd "$home" && exec "${setuser[@]}" env -i "${session_env[@]}" "${program_env[@]}" \
    DBUS_SYSTEM_BUS_ADDRESS="$BUS_ADDRESS" "$program" --mode disconnesso >>"$work/program.out" 2>&1) &
teleora_pid=$!
flow_start=$SECONDS
wait_for_log "Teleora started (Info) retcode 0: Success."
wait_until 20 icon_shown || fail "no icon on the panel"
open_menu
items="Connesso,(x) Disconnesso,Disabilitato,-,Configurazione...,Log,-,Esci"
wait_until 5 menu_is "$items" || fail "the menu reads $("${menus}_menu"), not $items"
"${menus}_choose" Connesso || fail "no Connesso in the menu"
wait_for_log "RasDial (Provider Uno) retcode 0: Success."
open_menu
items="(x) Connesso,Disconnesso,Disabilitato,-,Configurazione...,Log,-,Esci"
wait_until 5 menu_is "$items" || fail "the menu opened again reads $("${menus}_menu")"
"${ui}_shot" "$shots/linux-$desktop-menu.png"
"${menus}_choose" Configurazione... || fail "no Configurazione... in the menu"
dialog_shown() { [ -n "$("${ui}_window" Configurazione)" ]; }
wait_until 10 dialog_shown || fail "the dialog did not open"
geometry=$("${ui}_window" Configurazione)
[[ $geometry =~ ^[0-9]{3}x[0-9]{3}\ normal$ ]] || fail "the dialog is not a window of its own size: $geometry"
"${ui}_close" Configurazione
dialog_gone() { ! dialog_shown; }
wait_until 10 dialog_gone || fail "the dialog did not close"
open_menu
"${menus}_choose" Esci || fail "no Esci in the menu"
wait_until 10 process_gone "$teleora_pid" || fail "the program did not end after Esci"
status=0
wait "$teleora_pid" || status=$?
teleora_pid=""
[ "$status" -eq 0 ] || fail "exit code $status after Esci"
# The panel's own warnings about the menu's answers (a GTK panel's dbusmenu
# client warns when an answer leaves out an item it asked for).
! grep -m3 "LIBDBUSMENU-GLIB-WARNING" "$work/desktop.log" || fail "the panel warned about the menu"
echo "PASS: the flow under $desktop in $((SECONDS - flow_start)) s"
