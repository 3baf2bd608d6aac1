#!/usr/bin/env bash
# Runs everything CI runs: installs what is missing, then builds and tests every
# preset (the native build, the sanitizer builds and the platform programs).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${LINUX_APP_PACKAGES[@]}" clang clang-format "$CLANG_RT_PACKAGE" googletest \
    libgtest-dev libgmock-dev imagemagick network-manager iproute2

stage format check_format
stage linux preset_build_and_test linux
stage asan preset_build_and_test asan
stage tsan preset_build_and_test tsan
stage fuzz scripts/test-fuzz.sh

# The platform programs add their own stages.
for extra in scripts/test-linux-app.sh scripts/test-panels.sh scripts/test-windows.sh scripts/test-packages.sh; do
    if [ -x "$extra" ]; then
        stage "$(basename "$extra" .sh)" "$extra"
    fi
done
echo "== all tests passed"
