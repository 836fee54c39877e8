"""Chaos soak: the real program, run after run, through a proxy that breaks connections at random
(tests/support/chaos_proxy.py) in front of nginx.

  soak.py [--runs N] [--seed S] [--no-cut] [--only KIND]

The silent cut needs a network namespace of the soak's own (loopback only): the script runs itself
again in namespaces of its own (own_network.py under `unshare -m -n`, which restarts the Wine
prefix's wineserver inside: it creates the program's sockets), and restarts that wineserver outside
again at the end. --no-cut leaves the namespace and the silent cut out.

Each run either goes to its end or is killed (SIGKILL of its Wine process) at a random moment;
the next run starts from whatever files it left. Now and then the server gets a fresh file (new
bytes, so a new ETag and checksum) between runs. The proxy draws faults for a run's connections
until the run's fault budget (0-3) is spent; after that the network lets the program through, so
every run that is not killed must install within a bound printed with it. Checked after each run:
- a run that started the setup executable started a byte-for-byte copy of the file being served;
- a run that was not killed ended with exit status 0 after starting it, within its bound;
- the download file left behind is a prefix of a file the server has served.
Prints one line per run, then a table, then the seed. Environment as for e2e_test.py.
"""

import argparse
import collections
import os
import random
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import EXE, PORT, PREFIX, crc64_of_data, payload, read

import chaos_proxy

WEIGHTS = {"pass": 35, "reset": 12, "close": 12, "stall": 8, "trickle": 10, "refuse": 8, "cut": 5}
MAX_BUDGET = 3
KILL_SHARE = 0.35
FRESH_FILE_SHARE = 0.4
SIZES = (256 * 1024, 768 * 1024)  # random padding after the stand-in setup executable
LIMIT_RATE = "512k"  # a body takes about two seconds, so kills land inside it too
# What one fault may cost a run at most, in seconds, before the program is through it: the fault
# itself, then the 3 s retry pause. A silent cut lasts until keep-alive gives up on the connection.
FAULT_COST = {"reset": 5, "close": 5, "refuse": 10, "stall": chaos_proxy.MAX_STALL + 5,
              "trickle": chaos_proxy.MAX_TRICKLE + 5, "cut": 75}
CLEAN_RUN = 40  # start under Wine, HEAD, a throttled GET, install, the one-second wait
WHERE = ("handshake", "HEAD", "GET", "GET body", "request", "connect", "missed")


class SoakNginx(harness.NginxServer):
    """nginx whose access log also names the client port, so each proxied connection's request can
    be found."""

    def write_config(self):
        path = super().write_config()
        with open(path) as f:
            conf = f.read()
        with open(path, "w") as f:
            f.write(conf.replace('range="$http_range"', 'range="$http_range" port=$remote_port'))
        return path


def fresh_file(rng):
    data = payload(0) + rng.randbytes(rng.randrange(*SIZES))
    return bytes(data), crc64_of_data(data)


def where(conn, log_by_port):
    """Where a connection's fault hit: the TLS handshake, the HEAD, the GET before or in its body,
    a request nginx never logged, or nowhere (the connection ended before the offset)."""
    if conn.fired is None:
        return "missed"
    if conn.plan.kind == "refuse":
        return "connect"
    direction, _, phase, response_bytes = conn.fired
    if phase == "handshake":
        return "handshake"
    line = log_by_port.get(conn.upstream_port, "")
    if line.startswith("HEAD"):
        return "HEAD"
    if line.startswith("GET"):
        return "GET body" if direction == "down" and response_bytes > 400 else "GET"
    return "request"


class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.nginx = None
        self.cert = os.path.join(PREFIX.ca_dir, "localhost.pem")
        self.key = os.path.join(PREFIX.ca_dir, "localhost.key")
        self.served = []  # every file served so far, the current one last
        self.faults = collections.defaultdict(collections.Counter)  # kind -> where -> count
        self.count = collections.Counter()
        self.failures = []
        self.longest = 0.0
        self.refusals = []

    def serve_fresh_file(self):
        data, crc = fresh_file(self.rng)
        self.served.append(data)
        if self.nginx is None:
            self.nginx = SoakNginx(data, self.cert, self.key, crc, limit_rate=LIMIT_RATE,
                                   port=harness.free_port())
        else:
            self.nginx.replace_payload(data, crc)  # restarts nginx on the same port

    def run(self):
        PREFIX.clean()
        self.serve_fresh_file()
        self.nginx.start()
        weights = dict(WEIGHTS)
        if self.args.only:
            weights = {"pass": WEIGHTS["pass"], self.args.only: 100 - WEIGHTS["pass"]}
        dropper = None
        if self.args.no_cut:
            weights.pop("cut", None)
        else:
            dropper = chaos_proxy.LoopbackDrop()
        self.proxy = chaos_proxy.ChaosProxy(PORT, self.nginx.port, self.rng.getrandbits(64),
                                            weights, len(self.served[0]), dropper)
        self.proxy.start()
        try:
            for n in range(1, self.args.runs + 1):
                self.one_run(n)
        finally:
            self.proxy.stop()
            self.nginx.stop()
        return self.report()

    def one_run(self, n):
        fresh = n > 1 and self.rng.random() < FRESH_FILE_SHARE
        if fresh:
            self.serve_fresh_file()
            self.count["fresh served files"] += 1
        data = self.served[-1]
        marker = PREFIX.temp("QuorvelLauncher.exe.marker")
        if os.path.exists(marker):
            os.remove(marker)
        budget = self.rng.randint(0, MAX_BUDGET)
        bound = CLEAN_RUN + budget * max(FAULT_COST[k] for k in self.proxy.weights if k != "pass")
        kill_at = self.rng.uniform(3.0, 8.0) if self.rng.random() < KILL_SHARE else None
        log_before = len(self.nginx.access_log())
        conns_before = len(self.proxy.connections)
        self.proxy.budget = budget

        run = harness.Run(EXE, PREFIX)
        try:
            code = run.proc.wait(kill_at if kill_at is not None else bound)
            killed = False
        except subprocess.TimeoutExpired:
            run.kill()
            code, killed = None, kill_at is not None
        took = time.monotonic() - run.started
        for r in run.readers:
            r.join(5)
        self.proxy.budget = 0
        time.sleep(0.5)  # a setup executable started just before a kill writes its marker
        self.proxy.release_cuts()
        self.longest = max(self.longest, took) if not killed else self.longest

        problems = []
        launched = os.path.exists(marker)
        # Wine now and then fails a process start with "Internal error" (1359). The program reports
        # it and ends, as it does for any start failure; the file it meant to start is checked.
        start_refused = any(line.startswith("Failed to start setup executable") for line in
                            run.err())
        if launched or start_refused:
            self.count["starts Wine refused" if start_refused else "installs"] += 1
            if read(PREFIX.temp("QuorvelLauncher.exe")) != data:
                self.count["corrupt launches"] += 1
                problems.append("the setup executable it started is not the served file")
        if killed:
            self.count["killed"] += 1
        elif code is None:
            self.count["runs that did not end"] += 1
            problems.append(f"did not end within {bound} s")
        elif code != 0 or not (launched or start_refused):
            problems.append(f"ended with status {code} without starting the setup executable"
                            if not launched else f"ended with status {code}")
        partial_path = PREFIX.temp("QuorvelLauncher.bin")
        if os.path.exists(partial_path):
            partial = read(partial_path)
            if not any(d.startswith(partial) for d in self.served):
                problems.append(f"the download file ({len(partial)} bytes) is not a prefix of a "
                                "served file")

        log = self.nginx.access_log()[log_before:]
        log_by_port = {}
        for line in log:
            m = re.search(r" port=(\d+)$", line)
            if m:
                log_by_port[int(m.group(1))] = line
        ranges = [re.search(r'range="([^"]*)"', l).group(1) for l in log if l.startswith("GET")]
        resumed = [r for r in ranges if r != "-"]
        self.count["resumes with Range"] += len(resumed)
        drawn = []
        for conn in self.proxy.connections[conns_before:]:
            if conn.plan.kind != "pass":
                if conn.plan.kind == "refuse":  # counted at the end: it may hit the next run
                    self.refusals.append(conn)
                    drawn.append("refuse (the next attempt)")
                    continue
                self.faults[conn.plan.kind][where(conn, log_by_port)] += 1
                drawn.append(f"{conn.plan} {where(conn, log_by_port)}")
        self.count["connections"] += len(self.proxy.connections) - conns_before
        failed = ("下载失败", "下载文件CRC检查失败")  # each one is followed by another attempt
        restarts = sum(line.startswith(failed) for line in run.err())
        self.count["restarts"] += restarts

        end = (f"killed at {took:.1f} s" if killed else
               f"ended {code} in {took:.1f} s" if code is not None else "still running")
        print(f"run {n}: {'fresh file, ' if fresh else ''}{end} (bound {bound} s), {'installed' if launched else 'no install'}, "
              f"{restarts} restarts, GETs {ranges}, faults: {'; '.join(drawn) or 'none'}",
              flush=True)
        for p in problems:
            print(f"  FAILED: {p}\n{run.transcript()}", flush=True)
            self.failures.append(f"run {n}: {p}")

    def report(self):
        for conn in self.refusals:
            self.faults["refuse"][where(conn, {})] += 1
        runs = self.args.runs
        print()
        print(f"{'runs':<28}{runs}")
        print(f"{'  killed at random':<28}{self.count['killed']}")
        print(f"{'  ended by themselves':<28}{runs - self.count['killed']}")
        print(f"{'fresh served files':<28}{self.count['fresh served files']}")
        print(f"{'connections':<28}{self.count['connections']}")
        print("faults drawn, by where they hit:")
        print(f"  {'kind':<10}" + "".join(f"{w:>11}" for w in WHERE) + f"{'total':>8}")
        for kind in chaos_proxy.KINDS[1:]:
            row = self.faults[kind]
            print(f"  {kind:<10}" + "".join(f"{row[w]:>11}" for w in WHERE) +
                  f"{sum(row.values()):>8}")
        print("  (a refusal is drawn with a connection that passes and hits the next attempt, which "
              "may be the next run's first)")
        for name in ("restarts", "resumes with Range", "installs", "starts Wine refused",
                     "corrupt launches", "runs that did not end"):
            print(f"{name:<28}{self.count[name]}")
        print(f"{'longest run not killed':<28}{self.longest:.1f} s")
        print(f"{'seed':<28}{self.args.seed}")
        if self.failures:
            print(f"FAILED ({len(self.failures)}), seed {self.args.seed}:")
            for f in self.failures:
                print("  " + f)
            return 1
        return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    parser.add_argument("--no-cut", action="store_true", help="leave the silent cut out")
    parser.add_argument("--only", choices=chaos_proxy.KINDS[1:], help="draw this fault alone")
    args = parser.parse_args()
    if args.no_cut:
        print(f"seed {args.seed}, {args.runs} runs, proxy on port {PORT}, no silent cut",
              flush=True)
        return Soak(args).run()
    if os.environ.get("QUORVEL_E2E_NETNS") != "1":
        command = [sys.executable, os.path.abspath(__file__), "--runs", str(args.runs), "--seed",
                   str(args.seed)] + (["--only", args.only] if args.only else [])
        own_network = os.path.join(os.path.dirname(os.path.abspath(__file__)), "own_network.py")
        try:
            return subprocess.run(["unshare", "-m", "-n", sys.executable, own_network]
                                  + command).returncode
        finally:
            PREFIX.restart_server()
    print(f"seed {args.seed}, {args.runs} runs, proxy on port {PORT}, in a network namespace "
          "of its own", flush=True)
    return Soak(args).run()


if __name__ == "__main__":
    sys.exit(main())
