"""Helpers of scripts/measure-linux-app.sh, which measures the Linux program
as a whole: waiting for the tray icon through X events (python3-xlib),
sampling the threads of the running program from /proc, and writing the
Markdown report.

  measure_linux_app.py watch OUT_PATH TIMEOUT_S
  measure_linux_app.py sample PID SECONDS INTERVAL_MS OUT_PATH
  measure_linux_app.py edge-window
  measure_linux_app.py edge-times MOCK_LOG FROM_LINE START_MINUTE
  measure_linux_app.py drop-times MOCK_LOG FROM_LINE
  measure_linux_app.py report RESULTS_JSON
"""
import json, os, select, sys, time


def watch(out_path, timeout_s):
    """Waits for the tray icon of a program started after "ready": the first
    top-level window of class teleora that ends up inside another window (the
    tray's socket) and viewable. Writes "shown EPOCH WINDOW" to out_path."""
    from Xlib import X, display, error
    d = display.Display()
    root = d.screen().root
    tray = d.intern_atom("_NET_SYSTEM_TRAY_S%d" % d.get_default_screen())
    deadline = time.time() + timeout_s
    while True:
        owner = d.get_selection_owner(tray)
        if getattr(owner, "id", owner):
            break
        if time.time() > deadline:
            sys.exit("no tray host owns the tray selection")
        time.sleep(0.05)
    root.change_attributes(event_mask=X.SubstructureNotifyMask)
    d.sync()
    candidates = {}
    mask = X.StructureNotifyMask | X.VisibilityChangeMask | X.ExposureMask

    def is_shown(w):
        try:
            parent = w.query_tree().parent
            if parent.id == root.id or w.get_attributes().map_state != X.IsViewable:
                return False
            wm_class = w.get_wm_class() or ()
            return any("teleora" in c.lower() for c in wm_class)
        except error.XError:
            return False

    with open(out_path, "w") as out:
        out.write("ready\n")
    while time.time() < deadline:
        if not d.pending_events():
            select.select([d.fileno()], [], [], 0.1)
            if not d.pending_events():
                # A safety net for a state change whose event came before
                # the window's events were selected.
                shown = [w for w in candidates.values() if is_shown(w)]
                if shown:
                    break
                continue
        ev = d.next_event()
        if ev.type == X.CreateNotify and ev.parent.id == root.id:
            w = ev.window
            candidates[w.id] = w
            try:
                w.change_attributes(event_mask=mask)
                d.sync()
            except error.XError:
                continue
        w = getattr(ev, "window", None)
        if w is not None and w.id in candidates and is_shown(candidates[w.id]):
            shown = [candidates[w.id]]
            break
    else:
        sys.exit("the tray icon was not shown within %d s" % timeout_s)
    with open(out_path, "a") as out:
        out.write("shown %.6f 0x%x\n" % (time.time(), shown[0].id))


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def task_snapshot(pid):
    tasks = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except OSError:
        return tasks
    for tid in tids:
        base = "/proc/%d/task/%s/" % (pid, tid)
        status, sched, comm = read(base + "status"), read(base + "schedstat"), read(base + "comm")
        if status is None or sched is None:
            continue
        fields = dict(l.split(":", 1) for l in status.splitlines() if ":" in l)
        run_ns, _, slices = sched.split()[:3]
        tasks[int(tid)] = {
            "comm": (comm or "?").strip(),
            "voluntary": int(fields["voluntary_ctxt_switches"]),
            "involuntary": int(fields["nonvoluntary_ctxt_switches"]),
            "run_ns": int(run_ns),
            "slices": int(slices),
        }
    return tasks


def process_ticks(pid):
    stat = read("/proc/%d/stat" % pid)
    fields = stat[stat.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])  # utime + stime, whole process


def sample(pid, seconds, interval_ms, out_path):
    """Watches the process for a while from outside: CPU, context switches per
    thread, and wake-up episodes (polls in which any thread ran; consecutive
    polls with activity are one episode)."""
    hz = os.sysconf("SC_CLK_TCK")
    first = task_snapshot(pid)
    ticks0 = process_ticks(pid)
    t0 = time.monotonic()
    last = {tid: t["slices"] for tid, t in first.items()}
    episodes = []
    active = None
    step = interval_ms / 1000.0
    next_poll = t0 + step
    while True:
        now = time.monotonic()
        if now >= t0 + seconds:
            break
        time.sleep(max(0.0, next_poll - now))
        next_poll += step
        ran = set()
        try:
            tids = os.listdir("/proc/%d/task" % pid)
        except OSError:
            sys.exit("the program ended while it was measured")
        for tid in tids:
            sched = read("/proc/%d/task/%s/schedstat" % (pid, tid))
            if sched is None:
                continue
            slices = int(sched.split()[2])
            if slices != last.get(int(tid)):
                ran.add(int(tid))
                last[int(tid)] = slices
        offset_ms = round((time.monotonic() - t0) * 1000)
        if ran:
            if active is None:
                active = {"at_ms": offset_ms, "tids": set()}
                episodes.append(active)
            active["tids"] |= ran
        else:
            active = None
    elapsed = time.monotonic() - t0
    ticks1 = process_ticks(pid)
    last_snap = task_snapshot(pid)
    threads = []
    for tid in sorted(set(first) | set(last_snap)):
        a, b = first.get(tid), last_snap.get(tid)
        ref = b or a
        zero = {"voluntary": 0, "involuntary": 0, "run_ns": 0}
        a = a or zero
        b = b or a
        threads.append({
            "tid": tid,
            "comm": ref["comm"],
            "voluntary": b["voluntary"] - a["voluntary"],
            "involuntary": b["involuntary"] - a["involuntary"],
            "cpu_ms": (b["run_ns"] - a["run_ns"]) / 1e6,
            "episodes": sum(1 for e in episodes if tid in e["tids"]),
            "started": tid not in first,
            "ended": tid not in last_snap,
        })
    result = {
        "seconds": elapsed,
        "cpu_tick_ms": (ticks1 - ticks0) * 1000.0 / hz,
        "threads": threads,
        "episodes": [{"at_ms": e["at_ms"], "tids": sorted(e["tids"])} for e in episodes],
        "interval_ms": interval_ms,
    }
    with open(out_path, "w") as out:
        json.dump(result, out)


def mock_calls(log_path, from_line):
    """The calls python-dbusmock logged from line from_line on, as (epoch
    stamp, method name): it writes each as "STAMP NAME ARGS"."""
    with open(log_path) as log:
        for line in log.readlines()[from_line:]:
            parts = line.split(" ", 2)
            if len(parts) >= 2:
                yield float(parts[0]), parts[1].strip()


def edge_window():
    """Prints "START WEEKDAY": the minute of the day at which a trial's rule
    window opens (at least 15 s ahead; the window runs START..START+1 and the
    hang-up comes at START+2, all today) and today's weekday, 0 for Sunday.
    Waits past midnight when the window would not fit in today."""
    while True:
        now = time.localtime()
        start = now.tm_hour * 60 + now.tm_min + (1 if now.tm_sec < 45 else 2)
        if start + 2 < 24 * 60:
            print(start, (now.tm_wday + 1) % 7)
            return
        time.sleep(5)


def edge_times(log_path, from_line, start):
    """Prints "START_MS STOP_MS": how long after its minute the mock saw the
    first ActivateConnection (the window's start) and the DeactivateConnection
    after it (the window's end, the minute after START+1), from the mock's
    log (python-dbusmock stamps each call with the epoch, to the millisecond),
    counting lines from from_line on."""
    activate = deactivate = None
    for stamp, name in mock_calls(log_path, from_line):
        if name == "ActivateConnection" and activate is None:
            activate = stamp
        elif name == "DeactivateConnection" and activate is not None:
            deactivate = stamp
            break
    if activate is None or deactivate is None:
        sys.exit("the mock saw no dial and hang-up in the window")
    midnight = time.mktime(time.localtime(activate)[:3] + (0, 0, 0, 0, 0, -1))
    print("%.0f %.0f" % ((activate - midnight - start * 60) * 1000,
                         (deactivate - midnight - (start + 2) * 60) * 1000))


def drop_times(log_path, from_line):
    """Prints {"Drop": [ms...], "DropSilently": [ms...]}: for each drop the
    mock stamped from from_line on, the time to the next ActivateConnection."""
    times = {"Drop": [], "DropSilently": []}
    dropped = None
    for stamp, name in mock_calls(log_path, from_line):
        if name in times:
            dropped = (name, stamp)
        elif name == "ActivateConnection" and dropped is not None:
            times[dropped[0]].append(round((stamp - dropped[1]) * 1000, 1))
            dropped = None
    print(json.dumps(times))


def median_p90(values):
    v = sorted(values)
    n = len(v)
    median = v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2
    return median, v[(n * 9 + 9) // 10 - 1]


def report(path):
    r = json.load(open(path))
    pid = r["pid"]
    delay = r["delay_ms"]
    missed = []
    rows = []

    def verdict(ok, what):
        if not ok:
            missed.append(what)
        return "met" if ok else "**missed**"

    def row(figure, measured, goal, ok, what):
        rows.append("| Linux program: %s | %s | %s | %s |" % (figure, measured, goal, verdict(ok, what)))

    median = median_p90(r["starts_ms"])[0]
    row("start → tray icon shown",
        "%.0f ms (median of %d starts; %s ms)" % (median, len(r["starts_ms"]),
                                                  ", ".join("%.0f" % s for s in r["starts_ms"])),
        "≤ 150 ms", median <= 150, "start → tray icon")
    mem = r["memory_kib"]
    rss = mem["VmRSS"] / 1024.0
    row("resident memory after start",
        "%.1f MiB (anonymous %.1f, file-backed %.1f, shared memory %.1f)" % (
            rss, mem["RssAnon"] / 1024.0, mem["RssFile"] / 1024.0, mem["RssShmem"] / 1024.0),
        "≤ 40 MiB", rss <= 40, "resident memory")

    edge = r.get("edge")
    if edge:
        row("rule window's start → first dial call, pause 30 s, one trial",
            "%d ms after the minute" % edge["start_ms"], "≤ 100 ms after the minute",
            0 <= edge["start_ms"] <= 100, "window start")
        row("rule window's end → hang-up call, same trial",
            "%d ms after the minute" % edge["stop_ms"], "≤ 100 ms after the minute",
            0 <= edge["stop_ms"] <= 100, "window end")

    drops = r.get("drops")
    if drops:
        median, p90 = median_p90(drops["Drop"])
        row("drop → first dial call, with notifications, pause 30 s, median (p90) over %d drops"
            % len(drops["Drop"]), "%.1f ms (%.1f ms)" % (median, p90), "median ≤ 1 s",
            median <= 1000, "drop → dial")
        median, p90 = median_p90(drops["DropSilently"])
        rows.append("| Linux program: drop → first dial call, without notifications (the mock "
                    "drops silently), pause 30 s, median (p90) over %d drops at random moments "
                    "| %.0f ms (%.0f ms) | reference | — |" % (len(drops["DropSilently"]),
                                                              median, p90))

    def main_name(t):
        return "main" if t["tid"] == pid else t["comm"]

    phases = []
    for key, title in (("disabled", "\"Disabilitato\""), ("connected", "\"Connesso\" with the entry up")):
        p = r[key]
        per_min = 60.0 / p["seconds"]
        threads = p["threads"]
        # The program's own thread is the supervisor: the one thread with the
        # program's name besides the main thread (Qt names its own threads).
        own = [t for t in threads if t["tid"] != pid and t["comm"] == r["comm"]]
        sup = own[0]["tid"] if len(own) == 1 else None
        for t in threads:
            t["name"] = "supervisor" if t["tid"] == sup else main_name(t)
        pauses = p["seconds"] * 1000.0 / delay
        episodes = p["episodes"]
        with_sup = [e for e in episodes if sup in e["tids"]]
        others = [e for e in episodes if sup not in e["tids"]]
        voluntary = sum(t["voluntary"] for t in threads)
        sup_vol = sum(t["voluntary"] for t in threads if t["tid"] == sup)
        ok = sup is not None and not others and len(with_sup) <= int(pauses) + 1
        measured = ("%.0f ms CPU per minute (%.1f ms by the scheduler's count); "
                    "%d wake-ups for %.0f pauses (%d with the supervisor, %d without); "
                    "%d voluntary context switches, %d of them the supervisor's") % (
            p["cpu_tick_ms"] * per_min, sum(t["cpu_ms"] for t in threads) * per_min,
            len(episodes), pauses, len(with_sup), len(others), voluntary, sup_vol)
        row("CPU over %d s idle, %s" % (round(p["seconds"]), title), measured,
            "one wake-up per pause, no other timers (CPU ms per minute)", ok,
            "idle wake-ups, %s" % title)
        phases.append((title, p, others, sup))

    lines = [
        "## Linux program",
        "",
        "Measured by `scripts/measure-linux-app.sh` on the same machine: `%s` (%s build) under "
        "Xvfb with trayer as the tray host, a NetworkManager mock on a private system bus, in a "
        "scratch folder with its own `Teleora.ini` (pause %d ms, entry \"Provider Uno\", one "
        "rule). Load average before: %s; niceness %s." % (
            r["program"], r["build_type"], delay, r["load"], r["nice"]),
        "",
        "| Figure | Measured | Goal | Verdict |",
        "|---|---|---|---|",
    ] + rows + [
        "",
        "How the figures are taken:",
        "",
        "- *Start → tray icon shown*: with trayer already running, the time from just before the "
        "program's `exec` to the moment its icon window sits inside the tray's socket window and "
        "is viewable (the X server reports it mapped with every ancestor mapped), i.e. when the "
        "server first asks the program to paint it. A helper listening to X events "
        "(python3-xlib: creation on the root window, then reparent, map, visibility and expose "
        "of the new window) takes the time; nothing polls. The figure ends when the icon is first "
        "asked to paint; its drawing takes a few milliseconds more. Each start is ended with SIGTERM before the next one; "
        "the last one stays up for the rows below.",
        "- *Resident memory*: `VmRSS` (and its parts) from `/proc/PID/status`, 2 s after the "
        "icon was shown, in \"Disabilitato\".",
        "- *Idle*: over each window, CPU is `utime + stime` of the whole process from "
        "`/proc/PID/stat` (%d ms ticks), and in brackets the sum of the threads' run time from "
        "`/proc/PID/task/*/schedstat` (nanoseconds). A *wake-up* is an episode in which any "
        "thread of the process ran: a helper outside the process reads every thread's "
        "`schedstat` run count each %d ms, and consecutive reads with a change are one episode; "
        "an episode counts as the supervisor's when the supervisor's thread ran in it. The goal "
        "is met when no episode goes without the supervisor and there is at most one per "
        "pause. Voluntary context switches (`/proc/PID/task/*/status`) count each time a "
        "thread blocked, so a pass that waits for D-Bus replies adds one per reply. "
        "\"Disabilitato\" is the mode the program starts in; \"Connesso\" is chosen through the "
        "tray menu (left click, first item), the window starts 2 s after the log shows the dial "
        "and the mock lists \"Provider Uno\" as active." % (1000 // r["hz"], r["interval_ms"]),
        "- *Rule window*: after the idle windows the program is started again with a "
        "`Teleora.ini` holding one rule whose window today opens at the next whole minute "
        "(at least 15 s ahead) and closes a minute later (drop-others off, pause 30 s); the rule "
        "is chosen through the tray menu. The mock stamps each call it receives (epoch, to the "
        "millisecond); the figures are the first `ActivateConnection` after the start minute and "
        "the `DeactivateConnection` after the minute the stop minute ends.",
        "- *Drop → first dial call*: in the same program, \"Connesso\" chosen through the menu, "
        "the mock drops \"Provider Uno\" when told, at a random moment (within 1 s after the "
        "previous redial when it announces the drop with `StateChanged` and the "
        "`ActiveConnections` change; anywhere in the 30 s pause when it drops silently, as a "
        "service without notifications); the time from the mock's stamp of the drop to its stamp "
        "of the next `ActivateConnection`.",
        "",
        "Threads over each window (voluntary / involuntary context switches, CPU ms by the "
        "scheduler, wake-up episodes the thread ran in):",
        "",
        "| Thread | %s | %s |" % (phases[0][0], phases[1][0]),
        "|---|---|---|",
    ]
    names = {}
    for _, p, _, _ in phases:
        for t in p["threads"]:
            names.setdefault(t["tid"], t["name"])
    for tid in sorted(names):
        cells = []
        for _, p, _, _ in phases:
            t = next((t for t in p["threads"] if t["tid"] == tid), None)
            if t is None:
                cells.append("—")
                continue
            note = " (started)" if t["started"] else (" (ended)" if t["ended"] else "")
            cells.append("%d / %d, %.2f ms, %d%s" % (
                t["voluntary"], t["involuntary"], t["cpu_ms"], t["episodes"], note))
        lines.append("| %s (%d) | %s |" % (names[tid], tid, " | ".join(cells)))
    lines.append("")
    for title, p, others, sup in phases:
        if others:
            who = {}
            for e in others:
                for tid in e["tids"]:
                    name = next(t["name"] for t in p["threads"] if t["tid"] == tid)
                    who[name] = who.get(name, 0) + 1
            lines.append("In %s, %d wake-up%s came without the supervisor; the threads that ran "
                         "in them: %s." % (title, len(others), "" if len(others) == 1 else "s",
                                           ", ".join("%s (%d)" % kv for kv in sorted(who.items()))))
            lines.append("")
    if missed:
        lines += ["Goals missed in this run: " + ", ".join(missed) + ".", ""]
    sys.stdout.write("\n".join(lines))


if __name__ == "__main__":
    what = sys.argv[1]
    if what == "watch":
        watch(sys.argv[2], float(sys.argv[3]))
    elif what == "sample":
        sample(int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    elif what == "edge-window":
        edge_window()
    elif what == "edge-times":
        edge_times(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    elif what == "drop-times":
        drop_times(sys.argv[2], int(sys.argv[3]))
    elif what == "report":
        report(sys.argv[2])
