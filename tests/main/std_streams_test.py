#!/usr/bin/env python3
"""A GUI-subsystem program's lines reach the pipes it inherited, byte for byte (UTF-8, bare line
feeds), under Wine from a shell.

    std_streams_test.py std_streams_probe.exe
"""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from wine_output import without_noise  # noqa: E402
from xvfb_wine import WINE_RUN  # noqa: E402

PROBE = None


class StdStreams(unittest.TestCase):
    def test_lines_arrive_on_pipes(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        result = subprocess.run([WINE_RUN, PROBE], env=env, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, "下载 stdout line\npercent 42%\n".encode())
        self.assertEqual(without_noise(result.stderr), "错误 stderr line\n".encode())

    def test_lines_arrive_in_files(self):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            status = subprocess.run([WINE_RUN, PROBE], env=env, stdout=out, stderr=err,
                                    timeout=60).returncode
            out.seek(0)
            err.seek(0)
            self.assertEqual(status, 0)
            self.assertEqual(out.read(), "下载 stdout line\npercent 42%\n".encode())
            self.assertEqual(without_noise(err.read()), "错误 stderr line\n".encode())


if __name__ == "__main__":
    PROBE = sys.argv.pop(1)
    unittest.main(verbosity=2)
