#!/usr/bin/env bash
# The packages' stage of the test command: makes what a user downloads with
# scripts/package.sh (into a folder of this run's own, under umask 077 so that
# a mode taken from the builder's umask shows) and checks it as a user's
# machine would see it.
#
# - the Debian package teleora_<version>_<arch>.deb, from its own Release
#   tree (preset `package`, prefix /usr, stripped): its contents, their modes
#   and control fields (the sample Teleora.ini among the documents), the
#   program's command line without a display, and lintian (no error; no warning but those explained in
#   packaging/debian/lintian-expected);
# - the package installed with `apt-get install ./teleora_*.deb` into a
#   throwaway minimal Debian 12 root (never this machine): the program runs,
#   its menu entry is valid, and `apt-get purge teleora` removes every file
#   it installed while a user's Teleora.ini and log stay;
# - the Windows zip Teleora-<version>-win32.zip (preset win32-i686): its
#   files and their modes, the exe (32-bit GUI, system DLLs only, version
#   resource), the LEGGIMI.txt (Windows-1252, CR LF) and the sample
#   Teleora-esempio.ini (and no Teleora.ini, which unpacking over an older
#   folder would put over the user's own).
#
# The minimal root is created once per apt sources list and kept as a
# tarball in build/package-root/, with the packages it downloads; delete
# that folder to start cold. Each run unpacks it into a tmpfs of its own,
# mounted in the run's own mount namespace: two runs at once never see each
# other's mounts, and the mount ends with the run, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -z "${TELEORA_PACKAGES_NAMESPACE:-}" ]; then
    export TELEORA_PACKAGES_NAMESPACE=1
    exec unshare --mount --propagation private -- "$PWD/scripts/test-packages.sh" "$@"
fi
. scripts/lib/common.sh

ensure_packages "${PACKAGE_TEST_PACKAGES[@]}"

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

step_start=$SECONDS
step() {
    echo "-- $1 ($((SECONDS - step_start)) s so far)"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# ------------------------------------------------------------ the packages
step "making both packages (scripts/package.sh, umask 077)"
# lintian reads the package as nobody. The folder named to package.sh is
# the user's: its mode (here /tmp's) stays as it was.
chmod 755 "$scratch"
mkdir -m 1777 "$scratch/packages"
(umask 077 && scripts/package.sh "$scratch/packages")
[ "$(stat -c %a "$scratch/packages")" = 1777 ] || fail "scripts/package.sh changed the mode of the folder it was given"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/package"
deb=$scratch/packages/teleora_${version}_$(dpkg --print-architecture).deb
zip=$scratch/packages/Teleora-$version-win32.zip
[ -f "$deb" ] || fail "scripts/package.sh did not make $(basename "$deb")"
[ -f "$zip" ] || fail "scripts/package.sh did not make $(basename "$zip")"
[ "$(ls "$scratch/packages" | wc -l)" -eq 2 ] || fail "scripts/package.sh made more than the two packages"

# ---------------------------------------------------------------- the .deb
step "checking the package's contents, their modes and control fields"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's,^\./,/,' >"$scratch/contents"
# Every folder 0755 and every file 0644, the program 0755, whatever the
# builder's umask was.
wrong_modes=$(dpkg-deb -c "$deb" | awk '{
    path = $6; sub(/^\./, "", path)
    want = path ~ /\/$/ ? "drwxr-xr-x" : path == "/usr/bin/teleora" ? "-rwxr-xr-x" : "-rw-r--r--"
    if ($1 != want) print $1, path, "(want " want ")" }')
[ -z "$wrong_modes" ] || fail "$deb has wrong modes:"$'\n'"$wrong_modes"
for path in /usr/bin/teleora /usr/share/man/man1/teleora.1.gz /usr/share/applications/teleora.desktop \
    /usr/share/teleora/teleora-autostart.desktop /usr/share/icons/hicolor/scalable/apps/teleora.svg \
    /usr/share/doc/teleora/changelog.gz /usr/share/doc/teleora/copyright \
    /usr/share/doc/teleora/README.md /usr/share/doc/teleora/log-codes.md \
    /usr/share/doc/teleora/examples/Teleora.ini; do
    grep -qx "$path" "$scratch/contents" || fail "$deb does not hold $path"
done
for size in 16 32 48 64 128 256; do
    grep -qx "/usr/share/icons/hicolor/${size}x${size}/apps/teleora.png" "$scratch/contents" ||
        fail "$deb has no ${size}x${size} icon"
done
# Only the program, the manual page, the documents, the icons and the
# desktop files: nothing from the build tree, nothing outside these folders,
# and no autostart file that would start the program for every user.
unexpected=$(grep -v -E '^/(usr/?|usr/bin/?|usr/bin/teleora|usr/share/?|usr/share/(applications|man|man/man1|doc|doc/teleora|teleora|icons|icons/hicolor)/?|usr/share/applications/teleora\.desktop|usr/share/man/man1/teleora\.1\.gz|usr/share/doc/teleora/(changelog\.gz|copyright|README\.md|log-codes\.md|examples/?|examples/Teleora\.ini)|usr/share/teleora/teleora-autostart\.desktop|usr/share/icons/hicolor/[0-9x]+(/apps)?/?|usr/share/icons/hicolor/[0-9]+x[0-9]+/apps/teleora\.png|usr/share/icons/hicolor/scalable(/apps)?/?|usr/share/icons/hicolor/scalable/apps/teleora\.svg)$' \
    "$scratch/contents" || true)
[ -z "$unexpected" ] || fail "$deb holds unexpected files:"$'\n'"$unexpected"
if grep -q -e "$PWD" -e CMake -e '/build/' "$scratch/contents"; then fail "$deb holds files of the build tree"; fi

field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
for pkg in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6dbus6 qt6-qpa-plugins; do
    tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/ .*//' | grep -qxF "$pkg" || fail "Depends lacks $pkg: $depends"
done
grep -q 'network-manager' <<<"$(field Recommends)" || fail "no Recommends on network-manager"
[ "$(field Section)" = net ] || fail "Section is '$(field Section)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -gt 3 ] || fail "the description has no long part"

dpkg-deb -x "$deb" "$scratch/deb"
program=$scratch/deb/usr/bin/teleora
if readelf -S "$program" | grep -q '\.symtab'; then fail "the packaged program is not stripped"; fi
zcat "$scratch/deb/usr/share/man/man1/teleora.1.gz" >"$scratch/man"
for line in '^\.SH EXIT STATUS' '^\.BI \\-\\-mode ' '^\.IR /usr/share/doc/teleora/README\.md ,'; do
    grep -q "$line" "$scratch/man" || fail "the manual page is incomplete (no $line)"
done
# The version is the CMake project's; the changelog and the manual page say it too.
zcat "$scratch/deb/usr/share/doc/teleora/changelog.gz" | sed -n 1p | grep -qF "teleora ($version)" ||
    fail "packaging/debian/changelog does not begin with version $version"
zcat "$scratch/deb/usr/share/man/man1/teleora.1.gz" | sed -n 1p | grep -qF "\"teleora $version\"" ||
    fail "packaging/teleora.1 does not say version $version"

step "the program's command line, without a display"
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM)
[ "$("${nodisplay[@]}" "$program" --version)" = "teleora $version" ] || fail "--version does not print 'teleora $version'"
"${nodisplay[@]}" "$program" --help | grep -q '^Usage: teleora' || fail "--help prints no usage"
# Refused with 2, a line on stderr and the pointer to --help: ARGS|MESSAGE.
for row in "--bogus|unknown option.*--bogus" "--mode|--mode needs a name" "--mode=|--mode needs a name"; do
    status=0
    "${nodisplay[@]}" "$program" ${row%%|*} >"$scratch/out" 2>"$scratch/err" || status=$?
    [ "$status" -eq 2 ] && [ ! -s "$scratch/out" ] && grep -q -e "${row#*|}" "$scratch/err" &&
        grep -qF "Try 'teleora --help'." "$scratch/err" || fail "'${row%%|*}' ended with $status: $(cat "$scratch/err")"
done
status=0
"${nodisplay[@]}" "$program" --mode "" >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "an empty --mode name ended with $status, not 2"
status=0
"${nodisplay[@]}" "$program" -platform offscreen >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "Qt's -platform option was not passed on (exit $status, not 1 for no display)"

step "lintian"
# lintian exits non-zero on errors; every warning must be one of those
# explained in packaging/debian/lintian-expected.
# It runs as an ordinary user where it can (it warns against running as root)
# and also lists its informational notes.
as_user=()
if [ "$(id -u)" -eq 0 ]; then as_user=(runuser -u nobody --); fi
lintian_status=0
"${as_user[@]}" lintian --tag-display-limit 0 --display-info "$deb" >"$scratch/lintian" 2>&1 || lintian_status=$?
cat "$scratch/lintian"
if grep -q '^E:' "$scratch/lintian" || [ "$lintian_status" -ne 0 ]; then fail "lintian reports errors"; fi
expected=$(sed -e 's/#.*//' -e '/^\s*$/d' packaging/debian/lintian-expected | awk '{print $1}')
warnings_left=0
while read -r tag; do
    [ -n "$tag" ] || continue
    warnings_left=$((warnings_left + 1))
    grep -qx "$tag" <<<"$expected" || fail "lintian warning '$tag' is neither mended nor explained"
done < <(sed -n 's/^W: [^ ]*: \([^ ]*\).*/\1/p' "$scratch/lintian")

# ------------------------------------------------------ a user's machine
step "a minimal Debian 12 root"
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -s "$f" ] && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || fail "no apt sources on this machine"
cache=build/package-root
mkdir -p "$cache/archives/partial"
key=$( (cat "${sources[@]}"; echo "bookworm minbase desktop-file-utils v1") | sha256sum | cut -c1-16)
tarball=$cache/debian12-minbase-$key.tar
if [ ! -f "$tarball" ]; then
    rm -f "$cache"/debian12-minbase-*.tar
    # Made under a name of this run's own, so a run beside it never unpacks
    # a half-written tarball.
    mmdebstrap --quiet --variant=minbase --include=desktop-file-utils bookworm "$cache/new-root.$$.tar" "${sources[@]}"
    mv "$cache/new-root.$$.tar" "$tarball"
else
    echo "(cached: $tarball)"
fi
# The root lives in memory (a tmpfs on a folder of this run's own under
# build/package-root/): unpacking and installing go faster, and the mount,
# made in this run's mount namespace, goes with the run.
root=$(mktemp -d "$PWD/$cache/root.XXXXXX")
chmod 755 "$root"
mount -t tmpfs -o size=3g,mode=755 teleora-test-root "$root"
trap 'umount "$root" 2>/dev/null || true; rmdir "$root" 2>/dev/null || true; rm -rf "$scratch"' EXIT
tar -xf "$tarball" -C "$root"
# No service may start inside the root: a policy-rc.d that says no. (mmdebstrap
# removes its own at the end, so it is written here.)
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
cp "$deb" "$root/tmp/"

# The commands run in a mount namespace of their own, so /proc and the
# package cache are unmounted with it, whatever happens.
in_root() {
    unshare --mount --propagation private -- sh -ec '
        root=$1; shift
        mount -t proc proc "$root/proc"
        mount --bind /dev/pts "$root/dev/pts"
        mount --bind "$0" "$root/var/cache/apt/archives"
        exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"' "$PWD/$cache/archives" "$root" "$@"
}

step "apt-get install ./$(basename "$deb") in the root"
# unsafe-io: dpkg skips its fsync calls; the root is thrown away anyway.
apt_options=(-y -q -o APT::Sandbox::User=root -o APT::Keep-Downloaded-Packages=true -o Dpkg::Options::=--force-unsafe-io
    --no-install-recommends)
# The package cache is shared with any other run at the same time, and apt
# does not wait for its lock: the runs take turns, up to the purge.
exec 8>"$cache/archives.lock"
flock 8
in_root apt-get -q -o APT::Sandbox::User=root update >/dev/null
in_root sh -c "cd /tmp && apt-get ${apt_options[*]} install ./$(basename "$deb")" >"$scratch/apt.log" ||
    { cat "$scratch/apt.log"; fail "apt-get install of the package failed"; }
grep -E '^(The following NEW|Need to get|After this)' "$scratch/apt.log" || true

step "the installed program"
in_root dpkg -L teleora >"$scratch/installed"
[ "$(in_root chroot --userspec=nobody:nogroup / teleora --version)" = "teleora $version" ] ||
    fail "teleora --version does not run in the root"
in_root desktop-file-validate /usr/share/applications/teleora.desktop /usr/share/teleora/teleora-autostart.desktop
in_root sh -c 'ls /usr/lib/*/qt6/plugins/platforms/libqxcb.so' >/dev/null ||
    fail "the X11 platform plugin is not installed with the package"
[ ! -e "$root/etc/xdg/autostart/teleora.desktop" ] || fail "the package starts itself at every login"

step "apt-get purge teleora"
mkdir -p "$root/home/user"
printf '[Generale]\r\nszRasEntry=Mia\r\n' >"$root/home/user/Teleora.ini"
printf 'a log line\r\n' >"$root/home/user/teleoralog.txt"
in_root apt-get -y -q -o Dpkg::Options::=--force-unsafe-io purge teleora >/dev/null
flock -u 8
exec 8>&-
if in_root dpkg -s teleora >/dev/null 2>&1; then fail "teleora is still installed after the purge"; fi
cp "$scratch/installed" "$root/tmp/installed"
# Every path is gone; a folder stays only while another package owns it too.
left=$(in_root sh -c 'while read -r path; do
    [ -n "$path" ] && [ "$path" != "/." ] || continue
    if [ -e "$path" ] || [ -L "$path" ]; then
        if [ -d "$path" ] && dpkg -S "$path" >/dev/null 2>&1; then continue; fi
        echo "$path"
    fi
done </tmp/installed')
[ -z "$left" ] || fail "the purge left:"$'\n'"$left"
[ -f "$root/home/user/Teleora.ini" ] && [ -f "$root/home/user/teleoralog.txt" ] ||
    fail "the purge removed a user's own files"
umount "$root"

# ------------------------------------------------------- the Windows zip
step "checking the zip as a user unpacks it"
# The folder 0755, the files 0644 or 0755, whatever the builder's umask was.
wrong_modes=$(zipinfo "$zip" | awk '/^[d-]r/ { if (($1 ~ /^d/ && $1 != "drwxr-xr-x") || ($1 ~ /^-/ && $1 != "-rw-r--r--" && $1 != "-rwxr-xr-x")) print $1, $NF }')
[ -z "$wrong_modes" ] || fail "$zip has wrong modes:"$'\n'"$wrong_modes"
unzip -q "$zip" -d "$scratch/zip"
top=$scratch/zip/Teleora-$version-win32
listing=$(cd "$scratch/zip" && find . -type f | sort)
if grep -qi '/Teleora\.ini$' <<<"$listing"; then fail "the zip holds a Teleora.ini"; fi
[ "$listing" = "$(printf '%s\n' "./Teleora-$version-win32/LEGGIMI.txt" "./Teleora-$version-win32/Teleora-esempio.ini" "./Teleora-$version-win32/Teleora.exe")" ] ||
    fail "the zip holds:"$'\n'"$listing"
exe=$top/Teleora.exe
headers=$(i686-w64-mingw32-objdump -p "$exe")
grep -q 'file format pei-i386' <<<"$(i686-w64-mingw32-objdump -f "$exe")" || fail "Teleora.exe is not a 32-bit PE"
grep -q '^Subsystem.*(Windows GUI)' <<<"$headers" || fail "Teleora.exe is not a GUI program"
for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr 'a-z' 'A-Z' | sort -u); do
    case "$dll" in
        KERNEL32.DLL | USER32.DLL | SHELL32.DLL | RASAPI32.DLL | MSVCRT.DLL) ;;
        *) fail "Teleora.exe imports $dll, which is not a system DLL" ;;
    esac
done
# The version resource (type 16) names the project's version.
wrestool -l "$exe" | grep -q -- '--type=16' || fail "Teleora.exe has no version resource"
IFS=. read -r major minor patch <<<"$version"
wrestool -x --raw --type=16 "$exe" | iconv -f UTF-16LE -t UTF-8 2>/dev/null | tr -d '\0' |
    grep -q "$major, $minor, $patch, 0" || fail "the version resource does not say $version"

text_for_windows() { # FILE: every line ends in CR LF
    [ -s "$1" ] || fail "$1 is empty"
    [ "$(grep -c $'\r$' "$1")" -eq "$(wc -l <"$1")" ] && [ -z "$(tail -c1 "$1" | tr -d '\n')" ] ||
        fail "$(basename "$1") does not end every line in CR LF"
}
text_for_windows "$top/LEGGIMI.txt"
text_for_windows "$top/Teleora-esempio.ini"
iconv -f WINDOWS-1252 -t UTF-8 "$top/LEGGIMI.txt" >"$scratch/leggimi" || fail "LEGGIMI.txt is not Windows-1252"
if iconv -f UTF-8 -t UTF-8 "$top/LEGGIMI.txt" >/dev/null 2>&1; then
    fail "LEGGIMI.txt is UTF-8 (its accented letters must be Windows-1252)"
fi
for word in Teleora.ini Teleora-esempio.ini teleoralog.txt '"Da"' 'Esecuzione automatica' '"Tieni chiuse le altre connessioni RAS"'; do
    grep -q "$word" "$scratch/leggimi" || fail "LEGGIMI.txt does not mention $word"
done
# Both samples, the zip's and the .deb's: the defaults and one full rule.
for sample in "$top/Teleora-esempio.ini" "$scratch/deb/usr/share/doc/teleora/examples/Teleora.ini"; do
    tr -d '\r' <"$sample" >"$scratch/ini"
    for line in '[Generale]' tDelay=5000 bDropAny=1 'szRasEntry=Connessione remota' nUserEntries=1 '[Rule0]'; do
        grep -qxF "$line" "$scratch/ini" || fail "the sample $sample lacks '$line'"
    done
    [ "$(grep -cE '^[hm]St(art|op)[0-6]=[0-9]+$' "$scratch/ini")" -eq 28 ] || fail "the rule of $sample does not set all 28 times"
done

# ------------------------------------------------------------ measured
step "done"
echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(field Installed-Size) KiB"
echo "== Depends: $depends"
echo "== Recommends: $(field Recommends)"
echo "== lintian warnings left: $warnings_left"
echo "== $(basename "$zip"): $(stat -c %s "$zip") bytes (Teleora.exe $(stat -c %s "$exe") bytes)"
