#!/usr/bin/env bash
# Measures the Linux program as a whole and prints the figures as a Markdown
# section ("## Linux program") on stdout; scripts/bench.sh appends it to
# docs/performance.md. Progress goes to stderr.
#
# The real program runs under Xvfb with trayer as the tray host and the
# NetworkManager mock on a private system bus, in a scratch folder with its
# own Teleora.ini (pause 5000 ms, entry "Provider Uno", one rule):
#
# - start → tray icon shown, over several starts (the median is the figure):
#   from just before the exec to the moment the icon's window sits inside the
#   tray and is viewable, seen through X events (no polling);
# - resident memory (VmRSS) once the icon is shown and 2 s have passed;
# - a minute idle in "Disabilitato" (the mode the program starts in) and a
#   minute in "Connesso", chosen through the tray menu, with the entry up:
#   CPU time, and the wake-ups of every thread, compared with the pauses;
# - a rule's window met on the minute: the program started again in a rule
#   mode whose window opens at the next whole minute; its start -> dial and
#   its end -> hang-up, from the mock's stamps; then "Connesso" in the same
#   program and the line dropped by the mock at random moments, announced
#   and silently (MEASURE_DROPS=10 each): drop -> first dial call.
#
# Everything it starts is stopped by PID when it ends. It takes about nine
# minutes.
#
#   TELEORA_BUILD_DIR=build/linux   the program's build folder (the target
#                                   teleora is built there when missing)
#   MEASURE_STARTS=5                starts timed
#   MEASURE_IDLE_SECONDS=60         length of each idle window
#   MEASURE_DROPS=10                drops timed each way
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
. scripts/lib/common.sh

starts=${MEASURE_STARTS:-5}
idle_seconds=${MEASURE_IDLE_SECONDS:-60}
delay_ms=5000

say() { echo "== $*" >&2; }

ensure_packages "${LINUX_APP_PACKAGES[@]}" python3-xlib >&2

# The program: the linux preset's build, or the folder TELEORA_BUILD_DIR names.
if [ -n "${TELEORA_BUILD_DIR:-}" ]; then
    build=$(cd "$TELEORA_BUILD_DIR" && pwd)
    if [ ! -x "$build/teleora" ]; then
        say "building the teleora target in $build"
        cmake --build "$build" --target teleora -j2 >&2
    fi
else
    build=$repo/build/linux
    if [ ! -x "$build/teleora" ]; then
        say "building the teleora target of the linux preset"
        [ -f "$build/CMakeCache.txt" ] || cmake --preset linux >&2
        cmake --build --preset linux --target teleora -j2 >&2
    fi
fi
program=$build/teleora
[ -x "$program" ] || {
    echo "no program at $program" >&2
    exit 1
}

. scripts/lib/services.sh
work=$(mktemp -d /tmp/teleora-measure.XXXXXX)
teleora_pid=""
watch_pid=""

cleanup() {
    local status=$?
    trap - EXIT
    if [ -n "$watch_pid" ]; then stop_pid "$watch_pid"; fi
    if [ -n "$teleora_pid" ]; then stop_pid "$teleora_pid"; fi
    stop_services
    if [ "$status" -ne 0 ]; then
        echo "measuring failed; the program's output and log:" >&2
        cat "$work/program.out" "$work/teleoralog.txt" >&2 2>/dev/null || true
    fi
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# The helpers the measurements use, in Python (python3-xlib for X events).
measure_py=$repo/scripts/lib/measure_linux_app.py
py() { /usr/bin/python3 "$measure_py" "$@"; }

# The NetworkManager mock with a few profiles; a wired connection is up.
start_demo_world "$work" "$delay_ms"

start_screen
start_session_bus
start_tray_host
load=$(load_average)

# open_menu: clicks the program's tray icon and waits for its menu.
open_menu() {
    tray_open_menu "$icon" || {
        echo "the tray menu did not open" >&2
        exit 1
    }
}

# watcher_ready_or_gone OUT PID: the watcher wrote OUT, or it has ended.
watcher_ready_or_gone() { [ -s "$1" ] || process_gone "$2"; }

# start_timed N: starts the program with a watcher already listening; sets
# teleora_pid, start_ms and icon.
start_timed() {
    local out=$work/watch.$1 t0 t1 line
    /usr/bin/python3 "$measure_py" watch "$out" 20 &
    watch_pid=$!
    wait_until 10 watcher_ready_or_gone "$out" "$watch_pid" || true
    grep -qx ready "$out" || {
        echo "the X watcher did not start" >&2
        return 1
    }
    (
        cd "$work"
        export DBUS_SYSTEM_BUS_ADDRESS=$BUS_ADDRESS QT_QPA_PLATFORM=xcb
        exec >>"$work/program.out" 2>&1 </dev/null
        echo "$EPOCHREALTIME" >"$work/t0.$1"
        exec "$program"
    ) &
    teleora_pid=$!
    wait "$watch_pid" || {
        watch_pid=""
        echo "start $1: the tray icon was not seen" >&2
        return 1
    }
    watch_pid=""
    line=$(grep '^shown ' "$out")
    t0=$(tr , . <"$work/t0.$1")
    t1=$(echo "$line" | cut -d' ' -f2)
    icon=$(echo "$line" | cut -d' ' -f3)
    start_ms=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) * 1000 }')
}

start_list=()
for i in $(seq 1 "$starts"); do
    start_timed "$i"
    say "start $i: tray icon shown after $start_ms ms"
    start_list+=("$start_ms")
    if [ "$i" -lt "$starts" ]; then
        stop_pid "$teleora_pid"
        teleora_pid=""
        sleep 1
    fi
done

sleep 2
kill -0 "$teleora_pid" 2>/dev/null || {
    echo "the program ended after its start" >&2
    exit 1
}
memory=$(awk '/^(VmRSS|RssAnon|RssFile|RssShmem):/ { printf "%s\"%s\": %s", sep, substr($1, 1, length($1) - 1), $2; sep = ", " }' \
    "/proc/$teleora_pid/status")
say "memory: $memory (KiB)"

say "idle for $idle_seconds s in \"Disabilitato\""
py sample "$teleora_pid" "$idle_seconds" 25 "$work/disabled.json"

say "choosing \"Connesso\" through the tray menu"
open_menu
xdotool key Down Return # "Connesso", the first item
has_dialled() { grep -qF "RasDial (Provider Uno) retcode 0: Success." "$work/teleoralog.txt" 2>/dev/null; }
wait_until 20 has_dialled || {
    echo "no successful dial after choosing \"Connesso\"" >&2
    exit 1
}
provider_active() { mock_active_ids | grep -qx "Provider Uno"; }
wait_until 10 provider_active || {
    echo "Provider Uno is not active in the mock" >&2
    exit 1
}
sleep 2
say "idle for $idle_seconds s in \"Connesso\" with the entry up"
py sample "$teleora_pid" "$idle_seconds" 25 "$work/connected.json"
mock_active_ids | grep -qx "Provider Uno" || {
    echo "Provider Uno went down while it was measured" >&2
    exit 1
}

sampled_pid=$teleora_pid
comm=$(cat "/proc/$teleora_pid/comm")

# A rule's window, one whole-program trial: the program again, with one rule
# whose window today opens at the next whole minute and closes a minute
# later; the rule chosen through the tray menu. The mock stamps the calls.
stop_pid "$teleora_pid"
teleora_pid=""
read -r edge_start edge_day < <(py edge-window)
{
    printf '[Generale]\r\ntDelay=30000\r\nbDropAny=0\r\nszRasEntry=Provider Uno\r\n'
    printf 'nUserEntries=1\r\n[Rule0]\r\nszName=Prova\r\n'
    printf 'hStart%d=%d\r\nmStart%d=%d\r\nhStop%d=%d\r\nmStop%d=%d\r\n' \
        "$edge_day" $((edge_start / 60)) "$edge_day" $((edge_start % 60)) \
        "$edge_day" $(((edge_start + 1) / 60)) "$edge_day" $(((edge_start + 1) % 60))
} >"$work/Teleora.ini"
mock_lines=$(wc -l <"$work/mock.log")
start_timed edge
open_menu
xdotool key Down Down Down Down Return # the rule, the item after "Disabilitato"
say "$(printf 'rule window from %02d:%02d for two minutes: waiting for its start and its end' $((edge_start / 60)) $((edge_start % 60)))"
window_met() {
    tail -n +$((mock_lines + 1)) "$work/mock.log" |
        awk '$2 == "ActivateConnection" { a = 1 } a && $2 == "DeactivateConnection" { f = 1 } END { exit !f }'
}
wait_until 200 window_met || {
    echo "no dial and hang-up in the rule's window" >&2
    exit 1
}
read -r edge_start_ms edge_stop_ms < <(py edge-times "$work/mock.log" "$mock_lines" "$edge_start")
say "window start -> dial $edge_start_ms ms, window end -> hang-up $edge_stop_ms ms"

# Drop -> first dial call, in the same program: "Connesso" (pause 30 s), the
# mock drops the line at random moments, announced and then silently.
open_menu
xdotool key Down Return # "Connesso"
activations() { tail -n +$((mock_lines + 1)) "$work/mock.log" | grep -c ' ActivateConnection ' || true; }
more_activations_than() { [ "$(activations)" -gt "$1" ]; }
wait_until 20 more_activations_than 1 || {
    echo "no dial after choosing \"Connesso\"" >&2
    exit 1
}
drops=${MEASURE_DROPS:-10}
for how in Drop DropSilently; do
    # Announced, the moment hardly matters; silent, it decides how much of the
    # pause is left, so it is spread over the whole pause.
    spread=1000
    [ "$how" = Drop ] || spread=30000
    for i in $(seq 1 "$drops"); do
        sleep "$(awk -v r="$RANDOM" -v s="$spread" 'BEGIN { printf "%.3f", r / 32768 * s / 1000 }')"
        before=$(activations)
        nm_call /org/freedesktop "org.freedesktop.DBus.Mock.$how" "string:Provider Uno" >/dev/null
        wait_until 40 more_activations_than "$before" || {
            echo "$how $i: no dial within 40 s" >&2
            exit 1
        }
    done
    say "$drops drops by $how redialled"
done
drop_json=$(py drop-times "$work/mock.log" "$mock_lines")

build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
program_shown=${program#"$repo"/}
nice_value=$(cut -d' ' -f19 /proc/self/stat)
{
    printf '{"pid": %d, "comm": "%s", "delay_ms": %d, "program": "%s", "build_type": "%s",' \
        "$sampled_pid" "$comm" "$delay_ms" "$program_shown" "${build_type:-?}"
    printf ' "load": "%s", "nice": "%s", "hz": %d, "interval_ms": 25,' \
        "$load" "$nice_value" "$(getconf CLK_TCK)"
    printf ' "starts_ms": [%s], "memory_kib": {%s},' "$(
        IFS=,
        echo "${start_list[*]}"
    )" "$memory"
    printf ' "edge": {"start_ms": %d, "stop_ms": %d}, "drops": %s,' "$edge_start_ms" "$edge_stop_ms" \
        "$drop_json"
    printf ' "disabled": %s, "connected": %s}\n' "$(cat "$work/disabled.json")" \
        "$(cat "$work/connected.json")"
} >"$work/results.json"
py report "$work/results.json"
