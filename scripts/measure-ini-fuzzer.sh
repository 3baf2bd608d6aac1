#!/usr/bin/env bash
# Measures the INI fuzzers' throughput and prints it as a Markdown section
# (scripts/bench.sh appends it to docs/performance.md): each target runs on a
# scratch copy of its seed corpus for a fixed time, and libFuzzer's own count
# of executed inputs over that time is the figure.
#
#   MEASURE_FUZZ_SECONDS=30   time per target
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${FUZZ_PACKAGES[@]}" >&2

seconds=${MEASURE_FUZZ_SECONDS:-30}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_ini_loader fuzz_ini_file >&2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
load_before=$(load_average)

echo "## INI fuzzers"
echo
echo "Measured by \`scripts/measure-ini-fuzzer.sh\` (each target ${seconds} s on a copy of its seed"
echo "corpus; AddressSanitizer and UndefinedBehaviorSanitizer, preset \"fuzz\"). Load average before: $load_before."
echo
echo "| Figure | Measured | Goal | Verdict |"
echo "|---|---|---|---|"
for target in ini_loader ini_file; do
    run_fuzzer "$target" "$seconds" "$work"
    runs=$FUZZ_RUNS
    rate=$((runs / seconds))
    # On a busy machine the fuzzer gets less than a core: the rate per second
    # of its own CPU time shows what a free core would do.
    cpu=$(awk "BEGIN { printf \"%.0f\", $runs / $FUZZ_CPU_SECONDS }")
    rate="$rate inputs/s ($cpu per CPU second)"
    case $target in
    ini_loader)
        verdict=$([ "$((runs / seconds))" -ge 10000 ] && echo met || echo "**missed**")
        echo "| \`fuzz_ini_loader\` (load, save, reload in memory) | $rate | ≥ 10000 inputs/s | $verdict |"
        ;;
    ini_file)
        echo "| \`fuzz_ini_file\` (the same through the file, flushed) | $rate | — | — |"
        ;;
    esac
done
