#!/usr/bin/env bash
# Runs the end-to-end tests again and again while both CPUs are kept busy,
# to find a test that fails now and then before a user or CI does:
#
#   scripts/repeat-under-load.sh [RUNS] [PATTERN]
#
# RUNS (default 10) rounds of every end-to-end test whose name matches the
# extended regular expression PATTERN (default: all): the person's flow on
# each desktop (desktop.xembed, desktop.sni, desktop.sway), under each real
# panel (panels.gnome, panels.xfce, ...; scripts/test-panels.sh installs
# them), the hostile-files test (hostile_files) and the Windows end-to-end
# tests under wine64 (e2e.*). The load is `stress-ng --cpu 2`, started before the
# first round and stopped by PID at the end. Prints per test the runs, the
# failures and the slowest run (also when stopped early, for the rounds
# run); the output of each failed run is kept in build/repeat-under-load/.
# Exits 1 when any run failed.
#
# It builds what it runs (the linux and win32-x64 presets) but is not a stage
# of the test command: it takes long. Run it before closing any work that
# touches an end-to-end test or the code they drive.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/lib/common.sh
. scripts/lib/wine.sh
runs=${1:-10}
pattern=${2:-.}
out=build/repeat-under-load
ensure_packages "${LINUX_APP_PACKAGES[@]}" imagemagick sway grim wtype qt6-wayland stress-ng
ensure_packages "${WINDOWS_PACKAGES[@]}"

tests=()
for name in desktop.xembed desktop.sni desktop.sway panels.{gnome,plasma-wayland,waybar,xfce,lxqt,plasma-x11} \
    hostile_files; do
    [[ $name =~ $pattern ]] && tests+=("$name")
done
if [ ${#tests[@]} -gt 0 ]; then
    [ -f build/linux/CMakeCache.txt ] || cmake --preset linux >/dev/null
    cmake --build --preset linux -j2 | tail -1
fi
windows=0
declare -A number # a Windows test's number in CTest
# The Windows build only when PATTERN can name its tests (all start with e2e.).
if [[ e2e. =~ $pattern || $pattern == *e2e* ]]; then
    [ -f "$X64_BUILD/CMakeCache.txt" ] || cmake --preset win32-x64 >/dev/null
    cmake --build --preset win32-x64 -j2 | tail -1
    while read -r n name; do
        [[ $name =~ $pattern ]] && tests+=("$name") && number[$name]=$n && windows=1
    done < <(ctest --preset win32-x64 -N | sed -n 's/^ *Test *#\([0-9]*\): \(e2e\..*\)$/\1 \2/p')
fi
[ "$windows" -eq 0 ] || start_wine_session
[ ${#tests[@]} -gt 0 ] || { echo "no end-to-end test matches $pattern" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out"
declare -A ran failures slowest
for name in "${tests[@]}"; do ran[$name]=0 failures[$name]=0 slowest[$name]=0; done

# report: the table, also when the script is stopped before its last round.
report() {
    printf '%-75s %5s %8s %9s\n' test runs failures slowest
    for name in "${tests[@]}"; do
        printf '%-75s %5d %8d %8.1fs\n' "${name%%  #*}" "${ran[$name]}" "${failures[$name]}" \
            "$(awk -v ms="${slowest[$name]}" 'BEGIN { print ms / 1000 }')"
    done
}
stress-ng --cpu 2 --quiet &
load_pid=$!
trap 'report; stop_pid "$load_pid"; stop_wine_session' EXIT
trap 'exit 130' INT TERM

# run_test NAME LOG: one run of the test NAME, its output into LOG.
run_test() {
    case $1 in
    desktop.*) tests/linux/desktop_test.sh "${1#desktop.}" build/linux/teleora "$out/screenshots" ;;
    panels.*) tests/linux/panels_test.sh "${1#panels.}" build/linux/teleora "$out/screenshots" ;;
    hostile_files) tests/linux/hostile_files_test.sh build/linux/teleora ;;
    e2e.*) ctest --preset win32-x64 --output-on-failure -I "${number[$1]},${number[$1]}" ;;
    esac >"$2" 2>&1
}

total=0
for ((round = 1; round <= runs; round++)); do
    for name in "${tests[@]}"; do
        start=$(date +%s%N)
        log=$out/${name//[^A-Za-z0-9._-]/_}.$round.log
        if run_test "$name" "$log"; then
            rm "$log"
        else
            failures[$name]=$((failures[$name] + 1))
            total=$((total + 1))
            echo "round $round: $name FAILED (output in $log)"
        fi
        ms=$((($(date +%s%N) - start) / 1000000))
        ((ms <= slowest[$name])) || slowest[$name]=$ms
        ran[$name]=$((ran[$name] + 1))
    done
    echo "== round $round of $runs done at $(date +%T) (load average $(load_average))"
done
[ "$total" -eq 0 ]
