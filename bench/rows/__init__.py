"""The measurements of bench/run_all.py, a module per concern (download, window, footprint,
runtime), each with the rows of its own table; accounting and screen are what they read with.

A concern module has NAMES (its --only names, in the order it runs them), TITLE, run(bench, only)
and table(results), which gives the rows of its table or none when nothing of it ran."""

import statistics

MIB = 1 << 20
SIZE = 200 * MIB  # the payload every download and the verify measurement use
HEADER = ("measure", "figure", "baseline (same run)", "ratio", "target", "met")


def row(measure, figure, baseline="-", ratio="-", target="-", met=None):
    return measure, figure, baseline, ratio, target, "-" if met is None else "yes" if met else "NO"


def markdown(header, rows):
    widths = [max(len(x[i]) for x in rows + [header]) for i in range(len(header))]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(line, widths)) + " |"
             for line in [header] + rows]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def paired(runs, index):
    """Medians of one figure of each kind of run, and the median of the first kind's ratio to the
    second's in the same round, which cancels the machine's drift."""
    kinds = list(runs)
    medians = {k: statistics.median(r[index] for r in runs[k]) for k in kinds}
    ratios = [a[index] / b[index] for a, b in zip(runs[kinds[0]], runs[kinds[1]])]
    medians["ratio"] = statistics.median(ratios)
    return medians
