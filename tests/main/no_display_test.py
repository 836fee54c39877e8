#!/usr/bin/env python3
"""Without any display, or without DXGI, the program must not start: one diagnostic line, exit
status 101.

    no_display_test.py QuorvelSetup.exe
"""

import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from wine_output import program_lines  # noqa: E402
from xvfb_wine import WINE_RUN  # noqa: E402

PROGRAM = None


class NoDisplay(unittest.TestCase):
    def test_display_query_fails_with_connection_refused(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        result = subprocess.run([WINE_RUN, PROGRAM], env=env, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 101)
        errors = program_lines(result.stderr)
        self.assertEqual(len(errors), 1, errors)
        self.assertIn("find_primary_output", errors[0])
        self.assertIn("display", errors[0])
        self.assertTrue(errors[0].endswith(": connection refused"), errors[0])
        self.assertEqual(program_lines(result.stdout), [])

    def test_without_dxgi_the_display_query_fails_with_the_systems_error(self):
        # dxgi.dll is loaded by the program itself, so a system without it gets a diagnostic
        # instead of the loader's refusal to start the program.
        env = dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml=;dxgi=")
        result = subprocess.run([WINE_RUN, PROGRAM], env=env, capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 101)
        errors = program_lines(result.stderr)
        self.assertEqual(len(errors), 1, errors)
        self.assertIn("find_primary_output", errors[0])
        self.assertTrue(errors[0].endswith("(os error 126)"), errors[0])  # module not found
        self.assertEqual(program_lines(result.stdout), [])


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    unittest.main(verbosity=2)
