"""Window rows: process start to banner on screen against a Direct2D baseline (with and without the
program's display query first), and the idle CPU of the window while its download is stalled."""

import os
import re
import statistics
import time

from silent_server import SilentServer

from rows import paired, row
from rows.accounting import Sampled, breakdown, grown, run_time_between, run_time_by_thread
from rows.screen import Screen, banner_reference

NAMES = ["window"]
TITLE = "Window"
IDLE_SECONDS = 5.0


def window_run(b, screen, banner_rgb, args, idle=True):
    """Seconds from the start of the process to the banner on screen, then (unless idle is False)
    the CPU share (process + wineserver, fraction of one core) over IDLE_SECONDS."""
    deadline = time.monotonic() + 10
    while screen.banner_rows() == banner_rgb:  # the previous window must be gone
        if time.monotonic() > deadline:
            raise RuntimeError("the banner is still on screen before the start")
        time.sleep(0.05)
    run = Sampled(args, b.prefix, b.server_pid)
    try:
        deadline = run.started + 30
        while screen.banner_rows() != banner_rgb:
            if time.monotonic() > deadline or run.proc.poll() is not None:
                raise RuntimeError("no banner on screen:\n" + run.transcript())
            time.sleep(0.002)
        painted = time.monotonic() - run.started
        if not idle:
            return painted, None, ""
        time.sleep(1.0)  # let start-up work settle

        def exact():
            return {**run_time_by_thread(run.proc.pid), **run_time_by_thread(b.server_pid)}

        threads = run.threads()
        before = exact()
        start = time.monotonic()
        time.sleep(IDLE_SECONDS)
        idle = run_time_between(before, exact()) / (time.monotonic() - start)
        spent = grown(threads, run.threads())
        if run.proc.poll() is not None:
            raise RuntimeError("the window ended early:\n" + run.transcript())
    finally:
        run.kill()
        run.wait(10)
    return painted, idle, breakdown(spent)


def run(b, only):
    banner_rgb, bgra = banner_reference()
    pixels = b.prefix.temp("banner.bgra")
    with open(pixels, "wb") as f:
        f.write(bgra)
    baseline = [os.path.join(b.suite, "window_baseline.exe"), b.winpath(pixels)]
    # The baseline again with the program's display query first: the program's start-up less what
    # the query costs in it, round by round.
    queried = [os.path.join(b.suite, "window_baseline_query.exe"), b.winpath(pixels)]
    runs = {"program": [], "baseline": []}  # (seconds to the banner, idle CPU share)
    queried_runs = []
    screen = Screen(b.prefix.display)
    try:
        with SilentServer(b.port):
            for i in range(b.runs):
                for name, args in (("program", [b.exe]), ("baseline", baseline)):
                    b.prefix.clean()
                    p, c, threads = window_run(b, screen, banner_rgb, args)
                    runs[name].append((p, c))
                    b.note(f"  window run {i + 1} {name:8s} banner after {p * 1000:6.0f} ms,"
                           f" idle {c * 100:5.2f} % of a core ({threads})")
                b.prefix.clean()
                p, _, _ = window_run(b, screen, banner_rgb, queried, idle=False)
                queried_runs.append(p)
                b.note(f"  window run {i + 1} baseline with the display query first: banner"
                       f" after {p * 1000:6.0f} ms")
    finally:
        screen.close()
    b.results["paint"] = paired(runs, 0)
    b.results["idle"] = paired(runs, 1)
    b.results["paint"]["queried"] = statistics.median(queried_runs)
    beside_query = statistics.median(a[0] / q for a, q in zip(runs["program"], queried_runs))
    b.results["paint"]["queried_ratio"] = beside_query
    b.note(f"  start to banner, program against the baseline with the display query first:"
           f" {beside_query:.2f}x (median of the rounds)")
    # What the program does before its window that the baseline does not: the display query.
    queries = [float(re.search(r"find_primary_output ([0-9.]+) ms",
                               b.wine(os.path.join(b.suite, "display_query.exe"))).group(1))
               for _ in range(b.runs)]
    b.note(f"  display query alone (find_primary_output, in-process): median "
           f"{statistics.median(queries):.0f} ms of {len(queries)} runs")


def table(r):
    rows = []
    if "paint" in r:
        # The program queries the display before its window, as the start-up order requires; the
        # fair baseline makes the same query (under Wine each DXGI factory brings up its own
        # wined3d). The plain baseline is shown for scale.
        p, b, d, q = (r["paint"][k] for k in ("program", "baseline", "queried", "queried_ratio"))
        rows.append(row("process start to banner on screen (ms)", f"{p * 1000:.0f}",
                        f"{d * 1000:.0f} Direct2D baseline with the display query "
                        f"({b * 1000:.0f} without)", f"{q:.2f}x", "<= 1.05x", q <= 1.05))
    if "idle" in r:
        p, b, q = (r["idle"][k] for k in ("program", "baseline", "ratio"))
        rows.append(row("idle CPU, download stalled (% of a core)", f"{p * 100:.2f}",
                        f"{b * 100:.2f} PeekMessage loop", f"{q:.2f}x", "<= 1.1x", q <= 1.1))
    return rows
