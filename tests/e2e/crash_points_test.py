"""Crash at every file-system step of one download and one install, then run again to the end.

The run replaces an older version's partial download (other bytes, other entity tag) and an older
launcher, downloads the served file, installs and starts it. A first run under strace lists its
file-system steps on the program's files, in order: those the program makes itself (writes, file
times) and those its wineserver makes for it (creates, truncations, deletions, renames, folders).
Then, for each step, the program runs again from the same start with the chosen step (and the
wineserver's steps) held for a moment after it completes, and is killed (SIGKILL) while the chosen
one is held; the next run must
start the file served, byte for byte, must never resume one version's bytes under another's tag,
and may fetch again only the bytes of the served version that had not reached the disk.

Of a run of writes to one file the first and the last are crash points: the ones between leave
the same kind of state, and the kill trials cover them at random.

  crash_points_test.py [-v]     prints the table of crash points (docs/reliability.md)

Environment as for e2e_test.py; needs strace and root (the wineserver is traced too).
"""

import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import EXE, PORT, PREFIX, crc64_of_data, payload, read

HOLD = 0.15  # seconds each traced step is held after it completes, for the kill to land first
STEPS = ("openat,open,creat,ftruncate,truncate,fsync,fdatasync,unlink,unlinkat,rename,renameat,"
         "renameat2,mkdir,mkdirat,rmdir,fchmod,fchmodat,chmod,fsetxattr,setxattr,utimensat")
WRITES = "write,pwrite64,writev,pwritev"  # by the program; the wineserver's are parts of a step
OLD_TAG = b'"old-version-tag"'
LINE = re.compile(r"^(\d+)\s+([\d.]+) (\w+)\((.*)\)\s+= (-?\d+)")


def step_of(name, args, ret):
    """(kind, file) for a traced system call that changes the disk, else None."""
    if int(ret) < 0:
        return None
    named = re.findall(r'"([^"]*)"', args)  # a call on a path names it in quotes
    fds = re.findall(r"<([^>]*)>", args)  # a call on a descriptor: strace -y shows its file
    on_fd = name.startswith(("write", "pwrite", "f")) or (name == "utimensat" and not named)
    file = os.path.basename(((fds if on_fd else named) or [""])[0])
    if name in ("openat", "open", "creat"):
        return ("create", file) if name == "creat" or re.search(r"O_CREAT|O_TRUNC", args) else None
    kinds = {"ftruncate": "truncate", "truncate": "truncate", "fsync": "flush",
             "fdatasync": "flush", "unlink": "delete", "unlinkat": "delete", "rmdir": "delete",
             "mkdir": "create folder", "mkdirat": "create folder", "utimensat": "set times",
             "fchmod": "set attributes", "fchmodat": "set attributes", "chmod": "set attributes",
             "fsetxattr": "set attributes", "setxattr": "set attributes", "write": "write",
             "pwrite64": "write", "writev": "write", "pwritev": "write"}
    if name.startswith("rename"):
        return ("rename", file + " -> " + os.path.basename(named[-1]))
    return (kinds[name], file) if name in kinds else None


class Tracer:
    """strace on the program and on the prefix's wineserver, both feeding one ordered list of
    steps; `on_step` is called with each step as its trace line arrives (while it is held)."""

    def __init__(self, hold_server=False, hold_program=None, on_step=lambda step: None):
        """hold_program: (system call, n) holds the n-th such call of each of the program's threads
        (strace counts per thread), so only the chosen step and its like in other threads wait."""
        self.arrived = []  # (kind, file, by, thread, system call, time) as the traces came in
        self.lock = threading.Lock()
        self.on_step = on_step
        self.dir = tempfile.mkdtemp(prefix="crash-points-")
        files = [PREFIX.temp(n) for n in ("QuorvelLauncher.bin", "QuorvelLauncher.bin.etag",
                                          "QuorvelLauncher.exe")]
        game = PREFIX.game_dir
        files += [os.path.dirname(game), game, os.path.join(game, "force_compat_mode.txt"),
                  os.path.join(game, ".dead")]
        self.filter = [a for f in files for s in PREFIX.unix_spellings(f) for a in ("-P", s)]
        self.hold = {"server": hold_server, "program": hold_program}
        self.procs = {}
        self.readers = []

    def _strace(self, by, syscalls, target):
        fifo = os.path.join(self.dir, by)
        os.mkfifo(fifo)
        cmd = ["strace", "-f", "-y", "-ttt", "-qq", "-e", "signal=none", "-o", fifo,
               "-e", "trace=" + syscalls] + self.filter
        if by == "server" and self.hold[by]:
            cmd += ["-e", "inject=%s:delay_exit=%d" % (syscalls, HOLD * 1e6)]
        elif by == "program" and self.hold[by]:
            call, nth = self.hold[by]
            cmd += ["-e", "inject=%s:delay_exit=%d:when=%d" % (call, HOLD * 1e6, nth)]
        reader = threading.Thread(target=self._read, args=(fifo, by), daemon=True)
        reader.start()
        self.readers.append(reader)
        self.procs[by] = subprocess.Popen(
            cmd + target, env=PREFIX.env(), cwd=PREFIX.temp_dir, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)

    def _read(self, fifo, by):
        pending = {}
        with open(fifo, errors="replace") as f:
            for raw in f:
                pid = raw.split(None, 1)[0]
                if "<unfinished ...>" in raw:
                    pending[pid] = raw.split(" <unfinished")[0]
                    continue
                m = re.search(r"<\.\.\. \w+ resumed>(.*)", raw)
                if m:
                    raw = pending.pop(pid, "") + m.group(1)
                m = LINE.match(raw)
                step = m and step_of(m.group(3), m.group(4), m.group(5))
                if step:
                    step += (by, pid, m.group(3), float(m.group(2)))
                    with self.lock:
                        self.arrived.append(step)
                    self.on_step(step)

    def start(self):
        server = PREFIX.wineserver_pid()
        assert server is not None, "the prefix has no running wineserver"
        self._strace("server", STEPS, ["-p", str(server)])
        time.sleep(0.5)  # attached: strace stops the server while it attaches
        self._strace("program", STEPS + "," + WRITES, ["--seccomp-bpf", harness.WINE_RUN, EXE])
        return self

    @property
    def steps(self):
        """The steps in the order they completed: the two traces arrive each at its own pace."""
        with self.lock:
            return sorted(self.arrived, key=lambda step: step[5])

    def kill_program(self):
        os.killpg(self.procs["program"].pid, signal.SIGKILL)

    def finish(self, timeout):
        """Waits for the program to end, then lets the wineserver go."""
        try:
            code = self.procs["program"].wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill_program()
            raise
        finally:
            self.procs["server"].send_signal(signal.SIGINT)  # detaches
            self.procs["server"].wait(10)
            for reader in self.readers:
                reader.join(5)
        return code


def describe(steps):
    """'write QuorvelLauncher.bin (1 of 85)' for each step; runs of writes to one file counted."""
    names = []
    i = 0
    while i < len(steps):
        j = i
        while j + 1 < len(steps) and steps[j + 1][:2] == steps[i][:2] and steps[i][0] == "write":
            j += 1
        for k in range(i, j + 1):
            run = " (%d of %d)" % (k - i + 1, j - i + 1) if j > i else ""
            names.append((k in (i, j), "%s %s%s" % (steps[k][0], steps[k][1], run)))
        i = j + 1
    return names


class CrashPoints(unittest.TestCase):
    def setUp(self):
        self.data = payload(256 * 1024)
        self.srv = harness.NginxServer(
            self.data, os.path.join(PREFIX.ca_dir, "localhost.pem"),
            os.path.join(PREFIX.ca_dir, "localhost.key"), crc64_of_data(self.data),
            port=PORT).start()
        self.addCleanup(self.srv.stop)

    def start_state(self):
        """An older version's partial download under its own tag, and an older launcher."""
        PREFIX.clean()
        with open(PREFIX.temp("QuorvelLauncher.bin"), "wb") as f:
            f.write(b"older version " * 5000)
        with open(PREFIX.temp("QuorvelLauncher.bin.etag"), "wb") as f:
            f.write(OLD_TAG)
        with open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as f:
            f.write(b"older launcher")

    def on_disk(self):
        def get(name):
            path = PREFIX.temp(name)
            return read(path) if os.path.exists(path) else None
        return get("QuorvelLauncher.bin"), get("QuorvelLauncher.bin.etag")

    def test_every_file_system_step_of_a_download_and_an_install(self):
        self.start_state()
        reference = Tracer().start()
        self.assertEqual(reference.finish(60), 0)
        steps = reference.steps
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), self.data)
        names = describe(steps)
        kinds = {s[0] for s in steps}
        self.assertLessEqual({"create", "truncate", "write", "delete", "create folder"}, kinds,
                             steps)
        tag = read(PREFIX.temp("QuorvelLauncher.bin.etag"))

        table = []
        for index, (chosen, name) in enumerate(names):
            if not chosen:
                continue
            with self.subTest(step=index, name=name):
                table.append(self.crash_at(index, steps, name, tag))
        print("\n| # | crash after | on disk: download file, tag | next run | bytes fetched again |")
        print("|---|---|---|---|---|")
        for row in table:
            print("| %s |" % " | ".join(map(str, row)))

    def crash_at(self, index, steps, name, tag):
        self.start_state()
        kind, file, by, thread, call, _ = steps[index]
        same = lambda step: step[:3] == (kind, file, by) and step[4] == call  # noqa: E731
        nth = sum(1 for s in steps[:index + 1] if same(s))
        nth_in_thread = sum(1 for s in steps[:index + 1] if s[3] == thread and s[4] == call)
        killed = threading.Event()
        count = [0]

        def on_step(step):
            if same(step):
                count[0] += 1
                if count[0] == nth and not killed.is_set():
                    killed.set()
                    tracer.kill_program()

        tracer = Tracer(hold_server=True,
                        hold_program=(call, nth_in_thread) if by == "program" else None,
                        on_step=on_step).start()
        tracer.finish(90)
        self.assertTrue(killed.is_set(), "never reached: %s" % name)
        seen = tracer.steps
        self.assertEqual([s[:2] for s in seen[:index + 1]], [s[:2] for s in steps[:index + 1]],
                         "the run took other steps than the first")
        late = [s for s in seen[index + 1:] if s[2] == "program" and s[5] > seen[index][5]]
        self.assertEqual(late, [], "the program went on after the step it was killed at")

        bin_at_crash, tag_at_crash = self.on_disk()
        before = len(self.srv.access_log())
        for _ in range(10):
            run = harness.Run(EXE, PREFIX)
            code = run.wait(60)
            # The wineserver, held by the tracer until a moment ago, may not have seen the killed
            # copy go yet: the new one then takes it for a running copy and ends at once, silently.
            if run.lines or code != 0:
                break
            time.sleep(0.5)
        self.assertEqual(code, 0, run.transcript())
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), self.data)
        self.assertIn("Setup executable started successfully", run.out(), run.transcript())
        self.assertTrue(os.path.exists(PREFIX.temp("QuorvelLauncher.exe.marker")))

        gets = [line for line in self.srv.access_log()[before:] if line.startswith("GET")]
        fetched = sum(int(line.split()[3]) for line in gets)
        on_disk = bin_at_crash or b""
        kept = len(on_disk) if self.data.startswith(on_disk) else 0
        for line in gets:
            m = re.search(r'range="bytes=(\d+)-"', line)
            if m:  # what the range skips must be the served version's own bytes
                self.assertLessEqual(int(m.group(1)), kept, (name, line))
        self.assertLessEqual(fetched, len(self.data) - kept, (name, gets))

        state = "%s, %s" % (
            "none" if bin_at_crash is None else
            "%d bytes %s" % (len(on_disk), "of it" if kept == len(on_disk) else "of the older one"),
            {None: "none", OLD_TAG: "old", tag: "new", b"": "empty"}.get(tag_at_crash, "?"))
        did = ("no GET" if not gets else
               "; ".join(re.sub(r'.* (\d+) \d+ range="(.*)"', r"GET \1 \2", g) for g in gets))
        return index + 1, name, state, did, fetched


if __name__ == "__main__":
    unittest.main(verbosity=2)
