"""Download rows, each over TLS on loopback of the 200 MiB payload: the program against the bare
SecureStream loop and curl from one nginx; the download_file path alone against the SecureStream
alone, both timed in-process, from the same nginx; the SecureStream alone against curl from
`openssl s_server` (TLS 1.2); the bytes fetched again after an interruption; the program's rate
through a CONNECT proxy against the direct one."""

import os
import re
import subprocess
import sys
import threading
import time

import harness
from connect_proxy import ConnectProxy
from nginx_server import LAUNCHER_PATH, free_port

from rows import MIB, SIZE, paired, row
from rows.accounting import Sampled, breakdown, children_cpu

NAMES = ["download", "path", "tls", "interrupt", "proxy"]
TITLE = "Download"
STARTED, DOWNLOADED, SUCCEEDED = "当前文件大小: 0 字节", "下载完成！", "下载成功"


def sampled_download(b, args, first, last, out, done=None):
    """Runs a program whose download of the payload into `out` lies between two of its lines:
    MB/s and CPU s/MiB (process + wineserver) between them, and the CPU by thread."""
    run = Sampled(args, b.prefix, b.server_pid)
    try:
        code = run.wait(300)
    finally:
        run.kill()
    start, end = run.line(first), run.line(last)
    name = os.path.basename(args[0])
    if code != 0 or start is None or end is None or (done and run.line(done) is None):
        raise RuntimeError(f"{name}'s download failed:\n" + run.transcript())
    got = os.path.getsize(out)
    if got != SIZE:
        raise RuntimeError(f"{name} wrote {got} bytes")
    return (SIZE / (end[0] - start[0]) / 1e6, (end[1] - start[1]) / (SIZE / MIB),
            breakdown(run.threads_between(first, last)))


def program_download(b):
    b.prefix.clean()
    return sampled_download(b, [b.exe], STARTED, DOWNLOADED, b.prefix.temp("QuorvelLauncher.bin"),
                            SUCCEEDED)


def bare_download(b):
    out = b.prefix.temp("bare.bin")
    args = [os.path.join(b.suite, "bare_download.exe"), "localhost", str(b.port), LAUNCHER_PATH,
            b.winpath(out)]
    figures = sampled_download(b, args, "start", "done ", out)
    os.remove(out)
    return figures


def curl_download(url, ca, *options):
    """Native curl: MB/s and CPU s/MiB from its rusage."""
    cpu = children_cpu()
    start = time.monotonic()
    subprocess.run(["curl", "-s", *options, "--cacert", ca, "-o", os.devnull, url], check=True)
    wall = time.monotonic() - start
    return SIZE / wall / 1e6, (children_cpu() - cpu) / (SIZE / MIB), ""


def timed_in_process(b, program, *args):
    """A bench that times itself: MB/s and CPU s/MiB of its own process (GetProcessTimes, no
    wineserver) as it prints them, and its further lines."""
    out = b.wine(os.path.join(b.win, "bench", program), *args)
    m = re.search(r"([\d.]+) MB/s, ([\d.]+) CPU s/MiB", out)
    return float(m[1]), float(m[2]), "; ".join(" ".join(x.split()) for x in out.splitlines()[1:])


def stream_download(b, port, path):
    """The SecureStream alone: 8 KiB reads of one GET, nothing written (tls_throughput_bench)."""
    return timed_in_process(b, "net/tls_throughput_bench.exe", "localhost", str(port), path)


def path_download(b, server):
    """download_file alone (HEAD, GET, 8 KiB body reads, progress after each), then its checksum
    step, into the prefix's temp folder (download_bench)."""
    b.prefix.clean()
    figures = timed_in_process(b, "download/download_bench.exe", server.url,
                               b.winpath(b.prefix.temp_dir), str(server.crc))
    b.prefix.clean()
    return figures


def rounds(b, label, kinds):
    """Runs each kind once a round, back to back; {kind: [(MB/s, CPU s/MiB) per round]}."""
    runs = {name: [] for name in kinds}
    for i in range(b.runs):
        for name, measure in kinds.items():
            rate, cpu, more = measure()
            runs[name].append((rate, cpu))
            b.note(f"  {label} run {i + 1} {name:13s} {rate:7.1f} MB/s {cpu:.4f} CPU s/MiB {more}")
    return runs


def nginx_rounds(b, only):
    """The program, the bare loop and curl ("download"), download_file and the SecureStream alone
    ("path"), in rounds from one nginx."""
    data, _, crc = b.payload()
    with b.nginx(data, crc) as server:
        groups = {"download": dict(program=lambda: program_download(b),
                                   bare=lambda: bare_download(b),
                                   curl=lambda: curl_download(server.url, b.ca("ca.pem"))),
                  "path": dict(download_file=lambda: path_download(b, server),
                               stream=lambda: stream_download(b, server.port, LAUNCHER_PATH))}
        groups = {name: kinds for name, kinds in groups.items() if name in only}
        runs = rounds(b, "download", {k: f for kinds in groups.values() for k, f in kinds.items()})
    for name, kinds in groups.items():
        b.results[name] = {k: runs[k] for k in kinds}


def tls_rounds(b):
    """The SecureStream alone against curl, both on TLS 1.2, from `openssl s_server -WWW`."""
    _, path, _ = b.payload()
    port, name = free_port(), "/" + os.path.basename(path)
    server = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}", "-WWW",
                               "-tls1_2", "-cert", b.ca("localhost.pem"), "-key",
                               b.ca("localhost.key")], cwd=os.path.dirname(path),
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    try:
        for raw in server.stdout:  # "ACCEPT" once it listens
            if raw.startswith(b"ACCEPT"):
                break
        threading.Thread(target=server.stdout.read, daemon=True).start()
        b.results["tls"] = rounds(b, "tls", dict(
            stream=lambda: stream_download(b, port, name),
            curl=lambda: curl_download(f"https://localhost:{port}{name}", b.ca("ca.pem"),
                                       "--tlsv1.2", "--tls-max", "1.2")))
    finally:
        server.kill()
        server.wait()


def interruption(b):
    """Closes the window part-way, runs the program again; compares what nginx sent with what the
    file needed."""
    data, _, crc = b.payload()
    b.prefix.clean()
    partial = b.prefix.temp("QuorvelLauncher.bin")
    with b.nginx(data, crc) as server:
        first = Sampled([b.exe], b.prefix, b.server_pid)
        try:
            deadline = time.monotonic() + 120
            while not (os.path.exists(partial) and os.path.getsize(partial) > SIZE * 3 // 10):
                if time.monotonic() > deadline or first.proc.poll() is not None:
                    raise RuntimeError("no partial download:\n" + first.transcript())
                time.sleep(0.01)
            window = harness.find_window(b.prefix.display)
            harness.close_window(b.prefix.display, window)
            first.wait(20)
        finally:
            first.kill()
        on_disk = os.path.getsize(partial)
        second = Sampled([b.exe], b.prefix, b.server_pid)
        try:
            code = second.wait(300)
        finally:
            second.kill()
        if code != 0 or second.line(SUCCEEDED) is None:
            raise RuntimeError("the resumed run failed:\n" + second.transcript())
        time.sleep(0.5)  # nginx writes its log line when the connection ends
        gets = [line for line in server.access_log() if line.startswith("GET ")]
    if len(gets) != 2:
        raise RuntimeError("expected two GETs, nginx logged: %r" % gets)
    sent = [int(line.split()[3]) for line in gets]
    ranged = re.search(r'range="bytes=(\d+)-"', gets[1])
    offset = int(ranged.group(1)) if ranged else 0
    with open(partial, "rb") as f:
        complete = f.read() == data
    b.results["refetch"] = sent[1] - (SIZE - on_disk)
    b.note(f"  interruption: {on_disk} bytes on disk after the close, nginx sent {sent[0]} before "
           f"it ({sent[0] - on_disk} in flight, lost with the connection); the rerun asked for "
           f"bytes={offset}- and got {sent[1]}; file complete: {complete}")
    if not complete or offset != on_disk:
        raise RuntimeError("the resumed download is wrong")


def proxy_downloads(b):
    """The program's download rate through a CONNECT proxy against the direct one, in rounds of one
    each. It runs in a network and mount namespace of its own (run_all.py again, with
    --proxy-rounds), where the hosts file sends the host's name either to the server or, for the
    proxied run, where nothing listens; the prefix's wineserver, which makes the program's
    sockets, runs in there meanwhile."""
    _, path, crc = b.payload()
    b.prefix.stop_wineserver()
    try:
        out = subprocess.run(
            ["unshare", "-m", "-n", sys.executable, b.script, "--win", b.win, "--host", b.host,
             "--runs", str(b.runs), "--proxy-rounds", path, str(crc)],
            check=True, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
            timeout=600 * b.runs).stdout
    finally:
        b.restart_wineserver()
    runs = {"proxy": [], "direct": []}
    for line in out.splitlines():
        b.note(line)
        kind, rate = line.split()[3], float(line.split()[4])
        runs[kind].append((rate,))
    b.results["proxy"] = runs


def proxy_rounds(b, path, crc):
    """The namespace's side of proxy_downloads: prints "proxy round N KIND MB/s" lines."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    hosts = b.prefix.own_hosts_file("")
    b.restart_wineserver()
    with open(path, "rb") as f:
        data = f.read()
    proxy = ConnectProxy(("127.0.0.1", b.port)).start()
    try:
        with b.nginx(data, crc):
            for i in range(b.runs):
                for kind, address, settings in (
                        ("proxy", "127.0.0.3", (3, "127.0.0.1:%d" % proxy.port, "", "")),
                        ("direct", "127.0.0.1", None)):
                    with open(hosts, "w") as f:
                        f.write(address + " localhost\n")
                    b.prefix.set_internet_options(settings)
                    rate, _, _ = program_download(b)
                    print(f"proxy round {i + 1} {kind} {rate:.1f} MB/s", flush=True)
    finally:
        proxy.stop()
        b.prefix.set_internet_options(None)
        b.prefix.stop_wineserver()


def run(b, only):
    if {"download", "path"} & only:
        nginx_rounds(b, only)
    if "tls" in only:
        tls_rounds(b)
    if "interrupt" in only:
        interruption(b)
    if "proxy" in only:
        proxy_downloads(b)


def against(r, name, index, measure, form, baseline, target="-", met=None):
    """The row of one figure of a measurement's first kind beside its second (and a third in
    brackets), with the ratio of the rounds."""
    m = paired(r[name], index)
    first, second, *third = list(r[name])
    shown = f"{form.format(m[second])} {baseline}"
    if third:
        shown += f" ({third[0]} {form.format(m[third[0]])})"
    return row(measure, form.format(m[first]), shown, f"{m['ratio']:.2f}x", target,
               None if met is None else met(m["ratio"]))


ROWS = [  # measurement, figure (0 rate, 1 CPU), then against()'s words
    ("download", 0, "download 200 MiB, loopback TLS (MB/s)", "{:.1f}", "bare loop", ">= 0.9x",
     lambda q: q >= 0.9),
    ("download", 1, "CPU s/MiB, process + wineserver", "{:.4f}", "bare loop", "<= 1.2x",
     lambda q: q <= 1.2),
    ("path", 0, "download_file alone, timed in-process (MB/s)", "{:.1f}", "SecureStream alone"),
    ("path", 1, "download_file alone, CPU s/MiB of the process", "{:.4f}", "SecureStream alone"),
    ("tls", 0, "SecureStream alone from s_server, TLS 1.2 (MB/s)", "{:.1f}", "curl"),
    ("tls", 1, "SecureStream alone from s_server, CPU s/MiB", "{:.4f}", "curl"),
    # No target: the relay is the tests' Python proxy, which shares the machine's cores.
    ("proxy", 0, "download 200 MiB through a CONNECT proxy (MB/s)", "{:.1f}", "direct"),
]


def table(r):
    rows = [against(r, *spec) for spec in ROWS if spec[0] in r]
    if "refetch" in r:
        rows.append(row("bytes fetched again after an interruption", str(r["refetch"]),
                        target="0", met=r["refetch"] == 0))
    return rows
