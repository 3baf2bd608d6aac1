# shellcheck shell=bash disable=SC2034 # its variables are read by the callers
# Shared by the scripts and the Linux tests' shell helpers: every script's
# list of Debian packages and installing the missing ones, waiting for a
# condition, stopping a process, a virtual screen, timing stages, the load
# average and running a fuzzer.

# What the Linux program's build needs, and with it what its desktop tests
# and the demonstration need (each script adds its own few).
LINUX_BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev dbus)
LINUX_APP_PACKAGES=("${LINUX_BUILD_PACKAGES[@]}" python3-dbusmock xvfb xauth trayer xdotool x11-utils)
# The sanitizer and libFuzzer runtime of Debian 12's clang (clang 14).
CLANG_RT_PACKAGE=libclang-rt-14-dev
FUZZ_PACKAGES=(cmake ninja-build clang "$CLANG_RT_PACKAGE")
BENCH_PACKAGES=(cmake ninja-build g++ libbenchmark-dev python3)
# The shipped i686 build; with the x86-64 one, Wine and a screen for the tests.
MINGW_I686_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686)
WINDOWS_PACKAGES=(cmake ninja-build googletest "${MINGW_I686_PACKAGES[@]}"
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 wine64 fonts-wine xvfb xauth xdotool
    imagemagick libxrender1 libxrandr2 libxi6 libxcursor1 libxinerama1 libxcomposite1 libxfixes3)
# Making the .deb and the zip, and checking them as a user's machine sees them.
PACKAGING_PACKAGES=(cmake ninja-build g++ qt6-base-dev dpkg-dev file "${MINGW_I686_PACKAGES[@]}")
PACKAGE_TEST_PACKAGES=("${PACKAGING_PACKAGES[@]}" lintian mmdebstrap desktop-file-utils zip unzip
    icoutils)

# apt_failure_is_transient LOG: whether an apt-get failure, as LOG shows it,
# may pass by itself: another installer holds the dpkg/apt lock, or the network
# failed. An unknown package, a broken dependency or anything else is not.
apt_failure_is_transient() {
    grep -qE 'Could not get lock|Unable to acquire the dpkg frontend lock|Unable to lock (the )?(administration )?directory|is another process using it|Temporary failure resolving|Could not resolve|Could not connect|Connection (timed out|failed|refused)|Failed to fetch|Unable to connect|Network is unreachable' "$1"
}

# apt_run LOG ARGS...: apt-get ARGS, its output shown and kept in LOG.
apt_run() {
    local log=$1
    shift
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=60 "$@" 2>&1 | tee "$log"
    return "${PIPESTATUS[0]}"
}

# ensure_packages PKG...: installs the packages that are missing. As root it
# runs apt-get (after apt-get update); otherwise it prints the command to run
# and stops. It stops at once when a package is unknown or cannot be
# installed; only a held dpkg/apt lock or a network error is retried, a few
# times.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing: ${missing[*]}"
    local log attempt
    log=$(mktemp)
    for attempt in 1 2 3 4 5 6; do
        if apt_run "$log" update -qq &&
            apt_run "$log" install -y -qq --no-install-recommends "${missing[@]}"; then
            rm -f "$log"
            return 0
        fi
        if ! apt_failure_is_transient "$log"; then
            break
        fi
        echo "apt-get: the lock is held or the network failed (attempt $attempt of 6); retrying in 20 s" >&2
        sleep 20
    done
    rm -f "$log"
    echo "could not install: ${missing[*]}" >&2
    exit 1
}

# wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds
# (its output passes through); fails when SECONDS have passed, however long
# each run of COMMAND takes.
wait_until() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < end)) || return 1
        sleep 0.1
    done
}

# process_gone PID: whether the process has ended (or was never ours).
process_gone() {
    ! kill -0 "$1" 2>/dev/null
}

# stop_pid PID: SIGTERM, then SIGKILL after 5 s; reaps it when it is our child.
stop_pid() {
    kill -TERM "$1" 2>/dev/null || true
    wait_until 5 process_gone "$1" || kill -9 "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# start_xvfb: a virtual screen (1024x768, 24 bits) on a display Xvfb chooses
# itself (-displayfd); sets XVFB_PID and exports DISPLAY.
start_xvfb() {
    local dir fifo number=""
    # The FIFO lives in a folder of our own, so nobody can put a file in its place.
    dir=$(mktemp -d)
    fifo=$dir/displayfd
    mkfifo -m 600 "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
    XVFB_PID=$!
    read -r -t 15 number <"$fifo" || true
    rm -rf "$dir"
    if [ -z "$number" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=":$number"
}

# stage NAME COMMAND...: runs a command and prints how long it took.
stage() {
    local name=$1
    shift
    local start=$SECONDS
    echo "== stage $name"
    "$@"
    echo "== stage $name done in $((SECONDS - start)) s"
}

# preset_build_and_test NAME: configure, build and test one CMake preset.
preset_build_and_test() {
    cmake --preset "$1" && cmake --build --preset "$1" && ctest --preset "$1"
}

# check_format: every C++ file under version control is as clang-format wants.
check_format() {
    git ls-files -z '*.cpp' '*.h' | xargs -0 -r clang-format --dry-run --Werror
}

# load_average: the 1, 5 and 15 minute load averages, for the measurements.
load_average() {
    cut -d' ' -f1-3 /proc/loadavg
}

# fuzz_targets: the libFuzzer targets, one per fuzz/*_fuzzer.cpp.
fuzz_targets() {
    local f
    for f in fuzz/*_fuzzer.cpp; do
        f=${f#fuzz/}
        echo "${f%_fuzzer.cpp}"
    done
}

# run_fuzzer TARGET SECONDS WORK [OPTION...]: runs the fuzz preset's
# fuzz_TARGET for SECONDS on a scratch copy of its seed corpus in WORK
# (the log in WORK/TARGET.log, crash files in WORK/TARGET-crashes/) and
# returns its status; FUZZ_RUNS is then libFuzzer's count of executed inputs
# ("?" when it printed none) and FUZZ_CPU_SECONDS the CPU time it used.
run_fuzzer() {
    local target=$1 seconds=$2 work=$3
    shift 3
    local corpus=$work/$target-corpus status=0
    mkdir -p "$corpus" "$work/$target-crashes"
    cp fuzz/corpus/"$target"/* "$corpus"/
    local TIMEFORMAT=%U+%S
    { time build/fuzz/fuzz/fuzz_"$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/$target-crashes/" "$@" "$corpus" >"$work/$target.log" 2>&1 ||
        status=$?; } 2>"$work/$target.cpu"
    FUZZ_RUNS=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$work/$target.log" |
        grep -o '[0-9]*$' || echo "?")
    FUZZ_CPU_SECONDS=$(awk "BEGIN { t = $(cat "$work/$target.cpu"); print (t > 0.001 ? t : 0.001) }")
    return "$status"
}
