#!/usr/bin/env bash
# Makes the two packages a user installs and puts them into dist/:
#
#   dist/teleora_<version>_<arch>.deb     the Debian package (preset package)
#   dist/Teleora-<version>-win32.zip      the Windows zip (preset win32-i686)
#
#   scripts/package.sh [FOLDER]           (FOLDER instead of dist/)
#
# It builds in the same trees as the packages' stage of the test command
# (build/package and build/win32-i686), so after a test run only the packing
# is left; two runs at once take turns (a lock in build/). Run as root it
# installs the Debian packages it needs; as another user it prints the
# install command when something is missing. The result does not depend on
# the builder's umask: every folder in the .deb is 0755, the two packages are
# 0644, and a folder it creates is 0755; it changes the mode of nothing else.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${PACKAGING_PACKAGES[@]}"
out=${1:-dist}
mkdir -p build
exec 9>build/package.lock
flock 9

echo "-- the Debian package (preset package)"
cmake --preset package >/dev/null
cmake --build --preset package -j2 | tail -1
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/package/CMakeCache.txt)
[ -n "$version" ] || {
    echo "no project version in build/package" >&2
    exit 1
}
deb=build/package/teleora_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
cpack --preset package >/dev/null
[ -f "$deb" ] || {
    echo "cpack did not make $deb" >&2
    exit 1
}

echo "-- the Windows zip (preset win32-i686)"
cmake --preset win32-i686 >/dev/null
cmake --build --preset win32-i686 -j2 | tail -1
zip=build/win32-i686/Teleora-$version-win32.zip
rm -f "$zip"
cpack --preset win32-zip >/dev/null
[ -f "$zip" ] || {
    echo "cpack did not make $zip" >&2
    exit 1
}

# Readable by everyone whatever the umask: the packages are for handing on.
# A folder that exists already is the user's, and keeps its mode.
[ -d "$out" ] || mkdir -p -m 755 "$out"
rm -f "$out"/teleora_*.deb "$out"/Teleora-*-win32.zip
install -m 644 "$deb" "$zip" "$out"/
echo "== $out/$(basename "$deb") ($(stat -c %s "$out/$(basename "$deb")") bytes)"
echo "== $out/$(basename "$zip") ($(stat -c %s "$out/$(basename "$zip")") bytes)"
