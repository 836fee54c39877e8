"""Another process holding the setup executable's path during the install, through the whole
program (holders: tests/support/fake_setup --hold). Environment as for e2e_test.py; one case:
holder_test.py Holders.test_<name>.
"""

import os
import time
import unittest

import e2e_test
import harness
from e2e_test import FAKE_SETUP, PREFIX, payload, read

OLD = b"an older launcher"
OLD_LAUNCHER = read(FAKE_SETUP) + OLD if FAKE_SETUP else b""  # one that runs (an overlay)
DELETE = ("delete existing file", "删除旧的安装程序", "deleting the existing file")
COPY = ("copy file", "复制文件", "copying the file")
START = ("start setup executable", "启动安装程序", "starting the setup executable")


def held(step, zh, en, given_up_after=None, code=32):
    """The step's failure line, then (None) its success on a later attempt or its giving up."""
    busy = r" .+ \(os error %d\)$" % code
    if given_up_after is None:
        return ["^Failed to %s:%s" % (step, busy),
                r"^%s在第 \d+ 次尝试时成功 / %s succeeded on attempt \d+$" % (zh, en)]
    return ["^Failed to %s:%s" % (step, busy), r"^%s在 %s 次尝试后放弃 / %s given up after %s "
            r"attempts?:%s" % (zh, given_up_after, en, given_up_after, busy)]


# name: (what holds the path, whether it lets go once the program has met it, the lines after
# "下载成功" in order, as regular expressions, and whether the new launcher starts)
CASES = {
    "old_executable_held_from_before_the_run": ("scanner", True, held(*DELETE), True),
    "new_executable_held_right_after_the_copy": ("late scanner", True, held(*START), True),
    # Windows and Wine refuse to delete a running image with access denied.
    "old_launcher_still_running_from_that_path": ("launcher", True, held(*DELETE, code=5), True),
    # Readers let in: the old launcher could be started, but it is not the verified download.
    "hold_longer_than_thirty_seconds": (
        "reading scanner", False, held(*DELETE, r"\d+") + held(*COPY, 1)
        + ["^Setup executable is not the verified download; not started$"], False),
}


class Holders(e2e_test.EndToEnd):
    def hold(self, holder):
        """Starts the holder; a scanner waits for the file, a launcher runs from it."""
        target = PREFIX.windows_temp + "\\QuorvelLauncher.exe"
        exe = FAKE_SETUP
        if holder in ("launcher", "reading scanner"):  # over an older launcher that runs
            with open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as f:
                f.write(OLD_LAUNCHER)
        if holder == "launcher":
            exe, target = PREFIX.temp("QuorvelLauncher.exe"), PREFIX.windows_temp + "\\dummy"
            open(PREFIX.temp("dummy"), "wb").close()
        elif holder == "scanner":
            with open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as f:
                f.write(OLD)
        elif holder == "late scanner":  # a dead marker, many files: a while from copy to start
            os.makedirs(PREFIX.game_dir)
            for name in [".dead"] + ["f%03d.dat" % i for i in range(300)]:
                open(os.path.join(PREFIX.game_dir, name), "wb").close()
        run = harness.Run(exe, PREFIX, args=["--hold", target, "120"]
                          + (["read"] if holder == "reading scanner" else []))
        self.runs.append(run)
        if holder != "late scanner":
            self.assertTrue(run.wait_for_line("held", 20), run.transcript())
        return run

    def check(self, holder, release, lines, started):
        data = payload(64 * 1024)
        self.server(data).start()
        holding = self.hold(holder)
        run = self.run_program()
        # A moment after the program has met the holder, the holder lets go (ends), so the
        # program's waiting, not the machine's speed, decides what it meets.
        deadline = time.monotonic() + 120
        while release and run.proc.poll() is None and time.monotonic() < deadline:
            if run.err():
                time.sleep(0.5)
                holding.kill()
                break
            time.sleep(0.05)
        self.assertEqual(self.finish(run, 120), 0, run.transcript())
        # Each stream in its order (the two are read apart): failures on standard error, the rest
        # after the download's last line on standard output.
        ran = ["Setup executable started successfully", harness.SETUP_RAN] if started else []
        err = [p for p in lines if p.startswith(("^Failed", "^Setup executable is not")) or "given up" in p]
        out = [p for p in lines if p not in err] + ran
        for printed, patterns in ((run.err(), err),
                                  (run.out_setup_last()[run.out().index("下载成功") + 1:], out)):
            self.assertEqual(len(printed), len(patterns), run.transcript())
            for line, pattern in zip(printed, patterns):
                self.assertRegex(line, pattern)
        if started:
            self.assert_installed(data)
        else:
            self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), OLD_LAUNCHER)
            self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe.marker")))
        # The install's other steps ran whatever the waits did.
        self.assertTrue(os.path.exists(os.path.join(PREFIX.game_dir, "force_compat_mode.txt")))

    def test_window_closed_during_the_waits_ends_the_program_at_once(self):
        self.server(payload(64 * 1024)).start()
        self.hold("scanner")
        run = self.run_program()
        window = harness.find_window(self.display)
        self.assertTrue(run.wait_for_line("Failed to delete existing file: ", 60), run.transcript())
        harness.close_window(self.display, window)
        # Well inside the 30 s the waits would last; nothing after the delete was done.
        self.assertEqual(self.finish(run, 20), 0, run.transcript())
        self.assertEqual(len(run.err()), 1, run.transcript())
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), OLD)
        self.assertFalse(os.path.exists(PREFIX.game_dir))


for name, args in CASES.items():
    setattr(Holders, "test_" + name, lambda self, args=args: self.check(*args))


if __name__ == "__main__":
    unittest.main(verbosity=2)
