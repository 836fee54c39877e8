"""Runtime rows: runtime_bench natively and under Wine (spawn to completion of an empty task, the
round trip of an empty run_blocking job from a spawned task and from block_on), median and 99th
percentile in microseconds, each the median over the runs."""

import os
import re
import statistics
import subprocess

NAMES = ["runtime"]
TITLE = "Runtime"
HEADER = ("measure (us)", "host median", "host p99", "Wine median", "Wine p99")


def figures(out):
    """{measure: (median, p99)} from runtime_bench's lines."""
    return {m[1]: (float(m[2]), float(m[3])) for m in re.finditer(
        r"^(.+?)\s+rounds=\d+ median=([\d.]+) us p99=([\d.]+) us$", out, re.M)}


def run(b, only):
    programs = {"host": lambda: subprocess.run([os.path.join(b.host, "bench", "runtime",
                                                              "runtime_bench")],
                                               check=True, capture_output=True, text=True).stdout,
                "Wine": lambda: b.wine(os.path.join(b.win, "bench", "runtime",
                                                    "runtime_bench.exe"))}
    runs = {where: [] for where in programs}
    for i in range(b.runs):
        for where, program in programs.items():
            runs[where].append(figures(program()))
            b.note(f"  runtime run {i + 1} {where}: " + "; ".join(
                f"{name} {median:.1f} us, p99 {p99:.1f} us"
                for name, (median, p99) in runs[where][-1].items()))
    b.results["runtime"] = runs


def table(r):
    if "runtime" not in r:
        return []
    runs = r["runtime"]
    return [(name, *(f"{statistics.median(f[name][i] for f in runs[where]):.1f}"
                     for where in ("host", "Wine") for i in (0, 1)))
            for name in runs["host"][0]]
