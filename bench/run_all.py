#!/usr/bin/env python3
"""Every performance measurement of the program in one run, each beside its baseline.

    run_all.py --win WINDOWS_BUILD --host HOST_BUILD [--release DIST_EXE] [--runs N] [--only ...]

WINDOWS_BUILD is a `windows` preset build whose download URL is https://localhost:PORT/... (the
port is read from its CMakeCache.txt); HOST_BUILD is a `host` preset build; DIST_EXE is the
release executable that scripts/release.sh makes, whose size is measured. scripts/bench.sh builds
all three and calls this. The run makes its own Wine prefix (WINDOWS_BUILD/wineprefix-bench, with
its own Xvfb display and the test CA trusted) and its own nginx on the build's port.

The measurements live in bench/rows, a module per concern, and each concern prints one table.
Figures are medians over the runs. CPU time is read from /proc (utime + stime of the Windows
process, which is the `wine` process itself, plus the prefix's wineserver); the program's download
is timed and sampled when its own lines arrive: from "当前文件大小: 0 字节" (printed just before the
GET connection is opened) to "下载完成！" (printed after the file is closed and the connection shut).
The bare loop prints "start" and "done" at the same points.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "support"))

import harness  # noqa: E402
from nginx_server import LAUNCHER_PATH, NginxServer  # noqa: E402
from rows import HEADER, SIZE, download, footprint, markdown, runtime, window  # noqa: E402

CONCERNS = [footprint, window, download, runtime]  # the order they run and print in
ALL = [name for concern in CONCERNS for name in concern.NAMES]


class Bench:
    """What every measurement works with: the builds, the prefix, the payload, the figures."""

    def __init__(self, args):
        self.script = os.path.abspath(__file__)
        self.win = os.path.abspath(args.win)
        self.host = os.path.abspath(args.host)
        self.runs = args.runs
        self.port = self.download_port()
        self.exe = os.path.join(self.win, "QuorvelSetup.exe")
        self.release_exe = os.path.abspath(args.release) if args.release else None
        self.suite = os.path.join(self.win, "bench", "suite")
        self.prefix = harness.Prefix(os.path.join(self.win, "wineprefix-bench"),
                                     os.path.join(self.win, "tls-ca-bench"))
        self.results = {}
        self.root = None  # a scratch folder for the payload, while run() lasts
        self._payload = None
        self.server_pid = None

    def download_port(self):
        with open(os.path.join(self.win, "CMakeCache.txt")) as f:
            m = re.search(r"^QUORVEL_DOWNLOAD_URL:STRING=https://localhost:(\d+)" +
                          re.escape(LAUNCHER_PATH) + "$", f.read(), re.M)
        if not m:
            sys.exit("the Windows build must download from https://localhost:PORT" + LAUNCHER_PATH)
        return int(m.group(1))

    def note(self, text):
        print(text, flush=True)

    def winpath(self, path):
        return subprocess.run(["winepath", "-w", path], env=self.prefix.env(), check=True,
                              capture_output=True, text=True).stdout.strip()

    def wine(self, exe, *args):
        """Runs a console program in the prefix; its standard output, which it must end with 0."""
        out = subprocess.run([harness.WINE_RUN, exe, *args], env=self.prefix.env(),
                             stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
        if out.returncode != 0:
            raise RuntimeError(f"{os.path.basename(exe)} failed: {out.stdout}{out.stderr}")
        return out.stdout

    def restart_wineserver(self):
        self.prefix.restart_server()
        self.server_pid = self.prefix.wineserver_pid()
        if self.server_pid is None:
            raise RuntimeError("no wineserver for " + self.prefix.path)

    def payload(self):
        """The fake setup program padded with random bytes to 200 MiB: (bytes, file, checksum)."""
        if self._payload is None:
            with open(os.path.join(self.win, "tests", "support", "fake_setup", "fake_setup.exe"),
                      "rb") as f:
                head = f.read()
            data = head + os.urandom(SIZE - len(head))
            path = os.path.join(self.root, "payload.bin")
            with open(path, "wb") as f:
                f.write(data)
            crc = harness.crc64_of([os.path.join(self.host, "src", "download", "crc64sum")], path)
            self._payload = data, path, crc
        return self._payload

    def ca(self, name):
        """A file of the test CA's (ca.pem, localhost.pem, localhost.key)."""
        return os.path.join(self.prefix.ca_dir, name)

    def nginx(self, data, crc):
        return NginxServer(data, self.ca("localhost.pem"), self.ca("localhost.key"), crc,
                           port=self.port)

    def run(self, only):
        # The checksum speed runs natively and the size is read from the file: neither needs Wine.
        wine = bool(only - {"crc", "size"})
        if wine:
            self.prefix.create()
            self.restart_wineserver()
        try:
            with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as self.root:
                for concern in CONCERNS:
                    if only & set(concern.NAMES):
                        concern.run(self, only)
        finally:
            if wine:
                self.prefix.clean()
                self.prefix.stop()
        print()
        print(f"Medians of {self.runs} runs; a ratio is the median of the ratios within each "
              f"round. {wine_version()}, {os.cpu_count()} cores, load average "
              f"{os.getloadavg()[0]:.2f} at the end.")
        for concern in CONCERNS:
            rows = concern.table(self.results)
            if rows:
                print(f"\n{concern.TITLE}\n\n" + markdown(getattr(concern, "HEADER", HEADER), rows))


def wine_version():
    return subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--win", required=True, help="windows preset build directory")
    parser.add_argument("--host", required=True, help="host preset build directory")
    parser.add_argument("--release", help="the release executable (scripts/release.sh's dist)")
    parser.add_argument("--runs", type=int, default=5, help="runs per measurement (median)")
    parser.add_argument("--only", default=",".join(ALL),
                        help="comma-separated subset of: " + ",".join(ALL))
    parser.add_argument("--proxy-rounds", nargs=2, metavar=("PAYLOAD", "CRC"),
                        help=argparse.SUPPRESS)  # the proxy rows' own call, in their namespace
    args = parser.parse_args()
    if args.proxy_rounds:
        download.proxy_rounds(Bench(args), args.proxy_rounds[0], int(args.proxy_rounds[1]))
        return
    only = set(args.only.split(","))
    unknown = only - set(ALL)
    if unknown:
        parser.error("unknown measurement: " + ",".join(sorted(unknown)))
    Bench(args).run(only)


if __name__ == "__main__":
    main()
