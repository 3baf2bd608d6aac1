#!/usr/bin/env bash
# Builds the libFuzzer targets (preset "fuzz": clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time on a scratch
# copy of its committed seed corpus, so the committed corpus never grows.
# Fails on the first crash, leak, sanitizer report or broken invariant.
#
#   FUZZ_SECONDS=30   time per target (default 30)
#   FUZZ_TARGETS="ini_loader time_field"   only these targets
#   FUZZ_KEEP=dir     keep the grown corpora and any crash files in dir
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${FUZZ_PACKAGES[@]}"

seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-$(fuzz_targets)}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=${FUZZ_KEEP:-$(mktemp -d)}
mkdir -p "$work"
[ -n "${FUZZ_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

for target in $targets; do
    echo "== fuzz $target for $seconds s"
    start=$SECONDS
    if ! run_fuzzer "$target" "$seconds" "$work" -timeout=10 -rss_limit_mb=2048; then
        crashes="$work/$target-crashes"
        tail -n 60 "$work/$target.log"
        echo "== fuzz $target FAILED; reproduce with: build/fuzz/fuzz/fuzz_$target <crash file>" >&2
        ls "$crashes" >&2
        if [ -z "${FUZZ_KEEP:-}" ]; then
            # Keep the crash files where the caller can find them.
            mkdir -p build/fuzz/crashes
            cp -r "$crashes"/. build/fuzz/crashes/ 2>/dev/null || true
            echo "crash files copied to build/fuzz/crashes" >&2
        fi
        exit 1
    fi
    echo "== fuzz $target: $FUZZ_RUNS runs in $((SECONDS - start)) s, no crash"
done
