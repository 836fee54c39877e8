"""Another process holding the setup executable's path during the install, through the whole
program: a scanner holding the old or the fresh file without sharing, an old launcher still running
from it, a hold that outlasts the install's 30 s of waiting, and a close during the waits.

Environment as for e2e_test.py. Run one case: holder_test.py Holders.test_<name>.
"""

import os
import time
import unittest

import e2e_test
import harness
from e2e_test import FAKE_SETUP, PREFIX, payload, read

OLD = b"an older launcher"
STARTED = "Setup executable started successfully"


def step_lines(step, zh, en, given_up_after=None, code=32):
    """The failure line of a held step (sharing violation, or access denied for a running image)
    and the line that ends its waiting."""
    busy = r" .+ \(os error %d\)$" % code
    first = "^Failed to %s:%s" % (step, busy)
    if given_up_after is None:
        return [first], [r"^%s在第 \d+ 次尝试时成功 / %s succeeded on attempt \d+$" % (zh, en)]
    return [first, r"^%s在 %s 次尝试后放弃 / %s given up after %s attempts?:%s"
            % (zh, given_up_after, en, given_up_after, busy)], []


DELETE = ("delete existing file", "删除旧的安装程序", "deleting the existing file")
COPY = ("copy file", "复制文件", "copying the file")
START = ("start setup executable", "启动安装程序", "starting the setup executable")

# name: (what is held, whether the holder lets go once the program has met it, started, the
# standard error lines, the standard output lines besides the download's own: regular expressions,
# in order)
CASES = {
    "old_executable_held_from_before_the_run": ("old", True, True, *step_lines(*DELETE)),
    "new_executable_held_right_after_the_copy": ("new", True, True, *step_lines(*START)),
    # Windows and Wine refuse to delete a running image with access denied.
    "old_launcher_still_running_from_that_path": ("running", True, True,
                                                  *step_lines(*DELETE, code=5)),
    "hold_longer_than_thirty_seconds": (
        "old", False, False,
        step_lines(*DELETE, given_up_after=r"\d+")[0] + step_lines(*COPY, given_up_after=1)[0]
        + step_lines(*START, given_up_after=1)[0], []),
}


class Holders(e2e_test.EndToEnd):
    def windows_setup_path(self):
        return PREFIX.windows_temp + "\\QuorvelLauncher.exe"

    def holder(self, seconds=120):
        run = harness.Run(FAKE_SETUP, PREFIX, args=["--hold", self.windows_setup_path(),
                                                    str(seconds)])
        self.runs.append(run)
        return run

    def finish_releasing(self, run, holder, release):
        """The program's end; with `release`, the holder lets go (ends) a moment after the program
        has printed its first failure, so the wait, not the clock, decides what the program meets."""
        deadline = time.monotonic() + 120
        while release and run.proc.poll() is None and time.monotonic() < deadline:
            if run.err():
                time.sleep(0.5)
                holder.kill()
                break
            time.sleep(0.05)
        return self.finish(run, 120)

    def stage_slow_cleanup(self):
        """A dead marker and many files: the install takes a while between copy and start."""
        os.makedirs(PREFIX.game_dir)
        for i in range(300):
            with open(os.path.join(PREFIX.game_dir, "f%03d.dat" % i), "wb") as f:
                f.write(b"x")
        with open(os.path.join(PREFIX.game_dir, ".dead"), "wb"):
            pass

    def check(self, held, release, started, err, out):
        data = payload(64 * 1024)
        self.server(data).start()
        if held == "old":
            with open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as f:
                f.write(OLD)
            holder = self.holder()
            self.assertTrue(holder.wait_for_line("held", 20), holder.transcript())
        elif held == "running":
            with open(FAKE_SETUP, "rb") as src, \
                    open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as dst:
                dst.write(src.read())
            holder = harness.Run(PREFIX.temp("QuorvelLauncher.exe"), PREFIX,
                                 args=["--linger", "120"])
            self.runs.append(holder)
            self.assertTrue(holder.wait_for_line("lingering", 20), holder.transcript())
        else:
            holder = self.holder()  # waits for the copy to make the file
            self.stage_slow_cleanup()
        run = self.run_program()
        code = self.finish_releasing(run, holder, release)
        self.assertEqual(code, 0, run.transcript())
        self.assertEqual(len(run.err()), len(err), run.transcript())
        for line, pattern in zip(run.err(), err):
            self.assertRegex(line, pattern)
        extra = run.out()[run.out().index("下载成功") + 1:]
        if started:
            self.assertEqual(len(extra), len(out) + 2, run.transcript())
            for line, pattern in zip(extra, out):
                self.assertRegex(line, pattern)
            self.assertEqual(extra[-2:], [STARTED, "fake setup ran"])
            self.assert_installed(data)
        else:
            self.assertEqual(extra, [], run.transcript())
            self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), OLD)
            self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe.marker")))
        # The install's other steps ran in their order whatever the waits did.
        self.assertTrue(os.path.exists(os.path.join(PREFIX.game_dir, "force_compat_mode.txt")))
        holder.kill()

    def test_window_closed_during_the_waits_ends_the_program_at_once(self):
        data = payload(64 * 1024)
        self.server(data).start()
        with open(PREFIX.temp("QuorvelLauncher.exe"), "wb") as f:
            f.write(OLD)
        holder = self.holder()
        self.assertTrue(holder.wait_for_line("held", 20), holder.transcript())
        run = self.run_program()
        window = harness.find_window(self.display)
        self.assertTrue(run.wait_for_line("Failed to delete existing file: ", 60), run.transcript())
        asked = run.when("Failed to delete existing file: ")
        harness.close_window(self.display, window)
        self.assertEqual(self.finish(run, 10), 0, run.transcript())
        # Well inside the 30 s the waits would have lasted.
        self.assertLess(run.ended - asked, 15, run.transcript())
        self.assertEqual(len(run.err()), 1, run.transcript())
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), OLD)
        self.assertFalse(os.path.exists(PREFIX.game_dir))
        self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe.marker")))
        holder.kill()


def make_case(args):
    return lambda self: self.check(*args)


for name, args in CASES.items():
    setattr(Holders, "test_" + name, make_case(args))


if __name__ == "__main__":
    unittest.main(verbosity=2)
