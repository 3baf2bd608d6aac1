#!/usr/bin/env bash
# The Windows stage: builds the shipped 32-bit Teleora.exe (and checks that it
# is a 32-bit GUI program importing only system DLLs), builds the same sources
# for x86_64 and runs every test under wine64: the core tests, the Windows
# bindings against the test double of rasapi32.dll and the system's profile
# functions, and the end-to-end tests of the real program under Xvfb. Then it
# takes the README's two screenshots into build/win32-x64/screenshots/ (only
# scripts/refresh-screenshots.sh replaces the ones in docs/screenshots/).
#
# Installs what it needs, creates its own Wine prefix inside the build folder
# (build/win32-x64/wine-prefix, reused by later runs, never ~/.wine), and
# stops every process it starts. Wine is the win32-x64 preset's emulator.
#
#   scripts/test-windows.sh                  everything above
#   scripts/test-windows.sh screenshots [DIR]
#                                            only the screenshots (after a
#                                            build), into DIR
#   scripts/test-windows.sh packages         only the packages it needs
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
. scripts/lib/common.sh
# The Wine session, the build folders and the exe-size goal.
. scripts/lib/wine.sh

check_shipped_exe() {
    local exe=$I686_BUILD/Teleora.exe
    local size
    size=$(stat -c %s "$exe")
    echo "== $exe: $size bytes"
    # Whole outputs into variables first: a grep -q that stops reading early
    # would fail the pipe under pipefail.
    local headers dlls
    headers=$(i686-w64-mingw32-objdump -p "$exe")
    dlls=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u)
    echo "== imports: $(echo $dlls)"
    local dll
    for dll in $dlls; do
        case "$dll" in
            KERNEL32.DLL | USER32.DLL | SHELL32.DLL | MSVCRT.DLL) ;;
            RASAPI32.DLL)
                # Imported, it would be looked for in the program's folder first.
                echo "Teleora.exe imports RASAPI32.DLL instead of loading it from the system folder" >&2
                exit 1
                ;;
            *)
                echo "Teleora.exe imports $dll, which is not a system DLL" >&2
                exit 1
                ;;
        esac
    done
    grep -q 'file format pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$exe")" ||
        { echo "Teleora.exe is not a 32-bit program" >&2; exit 1; }
    grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" ||
        { echo "Teleora.exe is not a GUI-subsystem program" >&2; exit 1; }
    if [ "$size" -gt "$MAX_EXE_BYTES" ]; then
        echo "Teleora.exe is $size bytes, above the goal of $MAX_EXE_BYTES" >&2
        exit 1
    fi
}

# The i686 build must be warning-free: -Werror stops it on any warning in our
# code, and the build log is searched for the rest (resource compiler, linker).
build_i686() {
    cmake --preset win32-i686 >/dev/null
    local log
    log=$(mktemp)
    if ! cmake --build --preset win32-i686 -j2 2>&1 | tee "$log"; then
        rm -f "$log"
        return 1
    fi
    if grep -qi 'warning' "$log"; then
        echo "the i686 build printed warnings" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}

build_and_test_x64() {
    cmake --preset win32-x64 >/dev/null
    cmake --build --preset win32-x64 -j2
    ctest --preset win32-x64
}

# Runs a Wine program of the test folder in dir, in the background.
start_teleora() {
    local dir=$1
    local exe="$PWD/$TEST_BIN/Teleora.exe"
    (cd "$dir" && WINEDLLOVERRIDES="rasapi32=n" exec "$WINE" "$exe") >/dev/null 2>&1 &
    TELEORA_PID=$!
}

pose() {
    "$WINE" "$TEST_BIN/pose.exe" "$@" 2>/dev/null | tr -d '\r'
}

# crop SHOT OUT LEFT TOP RIGHT BOTTOM: cuts the rectangle (plus a margin) out.
crop() {
    local shot=$1 out=$2 left=$3 top=$4 right=$5 bottom=$6 margin=6
    left=$((left > margin ? left - margin : 0))
    top=$((top > margin ? top - margin : 0))
    convert "$shot" -crop "$((right - left + margin))x$((bottom - top + margin))+$left+$top" +repage \
        "$out"
}

# take_screenshots [DIR]: the open tray menu (three rules, the second one
# checked) and the dialog with a rule selected, taken from the 64-bit build of
# the same sources into DIR (default build/win32-x64/screenshots).
take_screenshots() {
    local shots=${1:-$X64_BUILD/screenshots}
    local work=$X64_BUILD/screenshot-scene
    rm -rf "$work"
    mkdir -p "$work" "$shots"
    cat >"$work/Teleora.ini" <<'EOF'
[Generale]
tDelay=5000
bDropAny=1
szRasEntry=Ufficio
nUserEntries=3
[Rule0]
szName=Orario d'ufficio
hStart1=8
mStart1=30
hStop1=18
mStop1=0
hStart2=8
mStart2=30
hStop2=18
mStop2=0
hStart3=8
mStart3=30
hStop3=18
mStop3=0
hStart4=8
mStart4=30
hStop4=18
mStop4=0
hStart5=8
mStart5=30
hStop5=13
mStop5=0
[Rule1]
szName=Sera
hStart0=19
hStop0=23
mStop0=30
hStart6=19
hStop6=23
mStop6=30
[Rule2]
szName=Notte
hStart3=22
hStop3=6
EOF
    printf 'entry Ufficio\nentry Casa\nentry Cellulare\n' >"$work/rasdouble.txt"
    install_ras_double
    start_teleora "$work"
    pose command 41001 >/dev/null || { echo "screenshots: Teleora did not start" >&2; return 1; }

    # The icon sits in Wine's own tray window at the top left of the screen:
    # a right click on it opens the menu, as on the Windows taskbar.
    local icon
    icon=$(pose icon) || { echo "screenshots: the tray icon did not appear" >&2; return 1; }
    # shellcheck disable=SC2086
    xdotool mousemove $icon click 3
    local rect
    rect=$(pose menu) || { echo "screenshots: the menu did not open" >&2; return 1; }
    sleep 0.5
    import -window root "$work/screen-menu.png"
    # shellcheck disable=SC2086
    crop "$work/screen-menu.png" "$shots/windows-menu.png" $rect
    pose escape || { echo "screenshots: Escape did not close the menu" >&2; return 1; }

    rect=$(pose dialog 0) || { echo "screenshots: the dialog did not open" >&2; return 1; }
    sleep 0.5
    import -window root "$work/screen-dialog.png"
    # shellcheck disable=SC2086
    crop "$work/screen-dialog.png" "$shots/windows-dialog.png" $rect
    pose cancel >/dev/null || { echo "screenshots: Annulla did not close the dialog" >&2; return 1; }
    pose command 40005 >/dev/null || true # "Esci": the window may be gone before the reply
    wait_until 20 process_gone "$TELEORA_PID" || { echo "screenshots: Teleora did not end on Esci" >&2; return 1; }
    wait "$TELEORA_PID" 2>/dev/null || true
    echo "== screenshots: $shots/windows-menu.png $shots/windows-dialog.png"
}

main() {
    ensure_packages "${WINDOWS_PACKAGES[@]}"
    stage win32-i686 build_i686
    check_shipped_exe
    start_wine_session
    stage win32-x64 build_and_test_x64
    stage screenshots take_screenshots
    stop_wine_session
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
        packages) ensure_packages "${WINDOWS_PACKAGES[@]}" ;;
        screenshots)
            ensure_packages "${WINDOWS_PACKAGES[@]}"
            start_wine_session
            take_screenshots "${2:-}"
            stop_wine_session
            ;;
        *) main "$@" ;;
    esac
fi
