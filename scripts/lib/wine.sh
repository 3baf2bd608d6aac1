# shellcheck shell=bash
# The Windows builds' shared facts and the Wine session, for
# scripts/test-windows.sh and scripts/measure-windows-exe.sh (after
# scripts/lib/common.sh): the build folders, the shipped exe's size goal, a
# Wine session of the build's own prefix on Xvfb, and the test double of
# rasapi32.dll in the prefix's system folder.

# shellcheck disable=SC2034 # read by the callers
X64_BUILD=build/win32-x64
I686_BUILD=build/win32-i686
TEST_BIN=$X64_BUILD/tests/win32/bin
# shellcheck disable=SC2034 # the shipped exe's size goal
MAX_EXE_BYTES=$((256 * 1024))
WINE=
WINESERVER=
XVFB_PID=
WINESERVER_PID=

stop_wine_session() {
    if [ -n "$WINESERVER_PID" ]; then
        "$WINESERVER" -k 2>/dev/null || true
        wait "$WINESERVER_PID" 2>/dev/null || true
        WINESERVER_PID=
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# find_wine: WINE and WINESERVER from the win32-x64 preset's emulator
# (CMAKE_CROSSCOMPILING_EMULATOR), configuring the preset when needed.
find_wine() {
    [ -f "$X64_BUILD/CMakeCache.txt" ] || cmake --preset win32-x64 >/dev/null
    WINE=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$X64_BUILD/CMakeCache.txt")
    [ -x "$WINE" ] || { echo "no Wine at \"$WINE\" (the win32-x64 preset's emulator)" >&2; exit 1; }
    WINESERVER=$(dirname "$WINE")/wineserver64
}

# create_prefix: a new prefix with the settings the tests need; Wine's output
# goes to $X64_BUILD/wine-prefix.log.
create_prefix() {
    local log=$X64_BUILD/wine-prefix.log
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" "$WINE" wineboot -u >"$log" 2>&1 || return 1
    # Without a window manager every hidden window would stall for seconds.
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >>"$log" 2>&1 || return 1
    # The tray's explorer.exe reads that value only when it starts.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
}

# Starts Xvfb and a persistent wineserver for the build's own prefix
# (creating the prefix on first use) and exports DISPLAY and WINEPREFIX. The
# display must exist before the first Wine process of the session starts.
start_wine_session() {
    find_wine
    trap stop_wine_session EXIT
    start_xvfb || exit 1

    mkdir -p "$X64_BUILD"
    export WINEPREFIX="$PWD/$X64_BUILD/wine-prefix"
    export WINEDEBUG=-all
    export WINEARCH=win64
    if [ ! -f "$WINEPREFIX/.teleora-ready" ]; then
        echo "== creating the Wine prefix $WINEPREFIX"
        # A failed creation is tried once more, as a Wine that never started
        # a test program is; what Wine said goes to the output either way.
        if ! create_prefix; then
            echo "== creating the Wine prefix failed, once more; Wine said:"
            tail -20 "$X64_BUILD/wine-prefix.log"
            create_prefix || { tail -20 "$X64_BUILD/wine-prefix.log"; exit 1; }
        fi
        touch "$WINEPREFIX/.teleora-ready"
    fi
    # A warm server: without it every test whose output is a pipe waits for
    # the server to shut down.
    "$WINESERVER" -f -p &
    WINESERVER_PID=$!
    "$WINE" cmd /c exit >/dev/null 2>&1 || true
}

# Puts the test double of rasapi32.dll into the prefix's system folder, where
# the program loads the dial-up client from (the tests' fixture does the same).
install_ras_double() {
    cp "$TEST_BIN/system/rasapi32.dll" "$WINEPREFIX/drive_c/windows/system32/rasapi32.dll"
}
