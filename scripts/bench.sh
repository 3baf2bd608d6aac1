#!/usr/bin/env bash
# Runs the core's benchmarks (preset "bench") and writes docs/performance.md:
# each figure beside its goal, with the machine it ran on. Whole-program
# figures come from optional scripts: when scripts/measure-linux-app.sh,
# scripts/measure-windows-exe.sh or scripts/measure-ini-fuzzer.sh is
# executable, its output (Markdown) is appended as a section of its own.
#
#   BENCH_REPETITIONS=3   repetitions of each benchmark (the median is shown)
#   BENCH_OUT=docs/performance.md
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/common.sh

ensure_packages "${BENCH_PACKAGES[@]}"

repetitions=${BENCH_REPETITIONS:-3}
out=${BENCH_OUT:-docs/performance.md}

cmake --preset bench >/dev/null
cmake --build --preset bench

json=build/bench/results.json
load_before=$(load_average)
build/bench/bench/core_bench --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true --benchmark_out="$json" --benchmark_out_format=json

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
cores=$(nproc)
compiler=$(g++ --version | head -n1)
kernel=$(uname -sr)

mkdir -p "$(dirname "$out")"
python3 scripts/lib/bench_report.py "$json" "$out" "$cpu" "$cores" "$compiler" "$kernel" "$load_before" \
    "$repetitions"

# Whole-program figures, from the scripts that can measure them.
for extra in scripts/measure-linux-app.sh scripts/measure-windows-exe.sh scripts/measure-ini-fuzzer.sh; do
    echo >>"$out"
    if [ -x "$extra" ]; then
        echo "== $extra"
        "$extra" >>"$out"
    else
        case $extra in
        *linux*) title="Linux program" ;;
        *fuzzer*) title="INI fuzzers" ;;
        *) title="Windows program" ;;
        esac
        {
            echo "## $title"
            echo
            echo "*Not measured: \`$extra\` is not present.*"
        } >>"$out"
    fi
done
echo "== wrote $out"
