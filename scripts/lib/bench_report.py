"""Writes docs/performance.md from Google Benchmark's JSON results of the
core's benchmarks: each figure beside its goal, with the machine it ran on.
Called by scripts/bench.sh.

  bench_report.py RESULTS_JSON OUT CPU CORES COMPILER KERNEL LOAD REPETITIONS
"""
import json, sys, datetime
path, out, cpu, cores, compiler, kernel, load, reps = sys.argv[1:9]
data = json.load(open(path))
runs = {}
for b in data["benchmarks"]:
    if b.get("aggregate_name", "median") != "median":
        continue
    runs[b["run_name"]] = b

def get(name):
    for key, b in runs.items():
        if key == name or key.startswith(name + "/"):
            return b
    raise SystemExit("benchmark missing from the results: " + name)

def ns(b, which="cpu_time"):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
    return b[which] * scale

def fmt_time(value_ns):
    if value_ns < 1e3:
        return "%.1f ns" % value_ns
    if value_ns < 1e6:
        return "%.2f µs" % (value_ns / 1e3)
    return "%.2f ms" % (value_ns / 1e6)

rows = []
missed = []

def row(figure, measured, goal="—", verdict="—"):
    rows.append("| %s | %s | %s | %s |" % (figure, measured, goal, verdict))

def check(ok, what):
    if not ok:
        missed.append(what)
    return "met" if ok else "**missed**"

row("`RuleIsActive`, per call", fmt_time(ns(get("BM_RuleIsActive")) / 4))
row("`ShouldBeConnected` (rule mode, ten rules), per call", fmt_time(ns(get("BM_ShouldBeConnected"))))

passes = {n: get("BM_SupervisorPass/%d" % n) for n in (0, 1, 10, 100, 1000)}
base = ns(passes[0])
for n, b in passes.items():
    growths = int(b["buffer_growths"])
    expected = 0 if n <= 1 else 1
    row("Supervisor pass, %d active connection%s" % (n, "" if n == 1 else "s"),
        "%s (buffer grown %d×)" % (fmt_time(ns(b)), growths),
        "buffer grows %s" % ("never (one record fits)" if expected == 0 else "once"),
        check(growths == expected, "buffer growth with %d connections" % n))
per100 = (ns(passes[100]) - base) / 100
per1000 = (ns(passes[1000]) - base) / 1000
ratio = per1000 / per100 if per100 > 0 else float("inf")
row("Supervisor pass, cost per connection (100 → 1000)",
    "%s → %s (×%.2f)" % (fmt_time(per100), fmt_time(per1000), ratio),
    "linear: per-connection cost within ×0.5–×2",
    check(0.5 <= ratio <= 2.0, "pass cost linear"))

wake = get("BM_WakeSelectModeToFirstCall")
bare = get("BM_WakeBareConditionVariable")
wake_ratio = wake["median_us"] / bare["median_us"]
row("Wake-up: bare condition-variable wake, median (p90)",
    "%.1f µs (%.1f µs)" % (bare["median_us"], bare["p90_us"]), "reference")
row("Wake-up: `SelectMode` → first call the service sees, median (p90)",
    "%.1f µs (%.1f µs), ×%.2f the bare wake" % (wake["median_us"], wake["p90_us"], wake_ratio),
    "median ≤ 10× the bare wake", check(wake_ratio <= 10, "wake latency"))

for threads in (1, 2):
    log = get("BM_LogEvent/real_time/threads:%d" % threads)
    raw = get("BM_LogBareOpenAppendClose/real_time/threads:%d" % threads)
    r = log["items_per_second"] / raw["items_per_second"]
    row("Bare open/append/close of the same line, %d thread%s" % (threads, "s" if threads > 1 else ""),
        "%.0f lines/s" % raw["items_per_second"], "reference")
    row("`LogEvent`, %d thread%s" % (threads, "s" if threads > 1 else ""),
        "%.0f lines/s, ×%.2f the bare loop" % (log["items_per_second"], r),
        "≥ 0.5× the bare loop", check(r >= 0.5, "LogEvent with %d threads" % threads))

bare_read = get("BM_ReadSettingsFileBare")
load = get("BM_LoadSettingsTenRules")
row("Bare read (open, read, close) of a full ten-rule file, %d bytes (wall time)"
    % int(bare_read["bytes"]), fmt_time(ns(bare_read, "real_time")), "reference")
row("`LoadSettings` of a full ten-rule file: open the store, read every setting (wall time)",
    "%s, ×%.1f the bare read" % (fmt_time(ns(load, "real_time")),
                                ns(load, "real_time") / ns(bare_read, "real_time")))
row("`SaveSettings` of a full ten-rule file (wall time, flushed to the disk)",
    fmt_time(ns(get("BM_SaveSettingsTenRules"), "real_time")))

for kind, what in ((0, "16 MiB of line feeds"), (1, "16 MiB of 1 KiB key lines"),
                   (2, "16 MiB of section headers, ten rules at the end")):
    for op, name in (("Load", "BM_LoadHugeSettingsFile"), ("Save", "BM_SaveHugeSettingsFile")):
        b = get("%s/%d/iterations:3" % (name, kind))
        ratio = b["peak_per_file_size"]
        row("%s of a settings file of %s: wall time; peak memory over the file's size"
            % ("`LoadSettings`" if op == "Load" else "`SaveSettings`", what),
            "%s; %.1f MiB, ×%.2f" % (fmt_time(ns(b, "real_time")), b["peak_MiB"], ratio),
            "peak ≤ 4× the file", check(ratio <= 4, "%s of a file of %s" % (op, what)))


ctx = data.get("context", {})
lines = [
    "# Performance",
    "",
    "Measured figures, each beside its goal. Written by `scripts/bench.sh` "
    "(Google Benchmark, median of %s repetitions); the whole-program rows are filled by the "
    "optional measuring scripts named below." % reps,
    "",
    "## Machine",
    "",
    "| | |",
    "|---|---|",
    "| CPU | %s |" % cpu,
    "| Cores | %s |" % cores,
    "| Kernel | %s |" % kernel,
    "| Compiler | %s, -O2 |" % compiler,
    "| Google Benchmark | %s (Debian's build) |" % ctx.get("library_build_type", "?"),
    "| Load average before the run | %s |" % load,
    "| Date | %s |" % datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
    "",
    "## Core",
    "",
    "| Figure | Measured | Goal | Verdict |",
    "|---|---|---|---|",
] + rows + [
    "",
    "How the figures are taken: times are CPU time per call unless a row says otherwise; rates "
    "and latencies are wall time. The goals compare figures taken in the same run, so they hold "
    "on a busy machine too; the absolute figures move with the load shown above. The supervisor pass runs \"Connesso\" against the tests' fake service (recording off) listing N "
    "connections with the chosen entry last (so the pass lists and compares every name and "
    "changes nothing). The wake-up is measured from just before `SelectMode` to the moment the "
    "service's listing call starts, with the supervisor loop waiting without a time-out; the bare "
    "wake is a thread waiting on a condition variable, timed the same way in the same run. "
    "`LogEvent` writes with the system clock into a file in a scratch folder; the bare loop "
    "appends the same finished line there with open, write and close.",
    "",
]
if missed:
    lines += ["Goals missed in this run: " + ", ".join(missed) + ".", ""]
open(out, "w").write("\n".join(lines))
