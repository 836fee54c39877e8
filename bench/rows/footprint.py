"""Footprint rows: the release executable's size, the memory the checksum step grows by over the
200 MiB file, and the checksum's speed natively."""

import os
import re
import shutil
import statistics
import subprocess
import tempfile

from rows import MIB, SIZE, row

NAMES = ["crc", "size", "verify"]
SIZE_LIMIT = 400 * 1024  # bytes of the release executable, every feature in
TITLE = "Footprint"


def exe_size(b):
    """The release as shipped (stripped, with its debug link and, when signed, its signature); the
    windows build stripped beside it for scale."""
    with tempfile.TemporaryDirectory() as tmp:
        copy = os.path.join(tmp, "QuorvelSetup.exe")
        shutil.copyfile(b.exe, copy)
        subprocess.run(["x86_64-w64-mingw32-strip", copy], check=True)
        plain = os.path.getsize(copy)
    if b.release_exe is None:
        b.note(f"  no release executable given (--release): windows build stripped {plain} bytes")
        return
    b.results["size"] = os.path.getsize(b.release_exe)
    b.note(f"  release QuorvelSetup.exe: {b.results['size']} bytes "
           f"(windows build stripped: {plain})")


def verify_memory(b):
    _, payload_path, crc = b.payload()
    target = b.prefix.temp("verify.bin")
    shutil.copyfile(payload_path, target)
    growth = []
    try:
        for i in range(b.runs):
            out = b.wine(os.path.join(b.suite, "verify_bench.exe"), b.winpath(target), str(crc))
            values = dict(kv.split("=") for kv in out.split()[2:])
            growth.append(int(values["peak_working_set"]) - int(values["working_set_before"]))
            b.note(f"  verify run {i + 1}: {float(values['seconds']):.2f} s, working set "
                   f"{int(values['working_set_before']) / MIB:.1f} MiB before, peak "
                   f"{int(values['peak_working_set']) / MIB:.1f} MiB")
    finally:
        os.remove(target)
    b.results["verify"] = statistics.median(growth)


def crc_speed(b):
    out = subprocess.run([os.path.join(b.host, "bench", "suite", "crc64_bench")],
                         check=True, capture_output=True, text=True).stdout
    b.results["crc"] = float(re.search(r"median ([\d.]+) MB/s", out).group(1))
    b.note("  " + out.strip())


def run(b, only):
    for name, measure in (("crc", crc_speed), ("size", exe_size), ("verify", verify_memory)):
        if name in only:
            measure(b)


def table(r):
    rows = []
    if "size" in r:
        rows.append(row("release executable (KiB)", f"{r['size'] / 1024:.1f} ({r['size']} bytes)",
                        target=f"<= 400 ({SIZE_LIMIT} bytes)", met=r["size"] <= SIZE_LIMIT))
    if "verify" in r:
        v, size = r["verify"] / MIB, SIZE / MIB
        rows.append(row("memory growth verifying 200 MiB (MiB)", f"{v:.1f}",
                        f"{size:.1f} file size", f"{v / size:.3f}x", "<= 208", v <= 208))
    if "crc" in r:
        rows.append(row("CRC-64/XZ byte-wise, native (MB/s)", f"{r['crc']:.0f}", target=">= 400",
                        met=r["crc"] >= 400))
    return rows
