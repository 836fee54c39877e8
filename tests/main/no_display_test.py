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
WINE_RUN = os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts", "wine-run.sh")
PROGRAM = None

# Lines that Debian's wine launcher itself prints on a machine without 32-bit Wine.
LAUNCHER_NOISE = ("it looks like wine32 is missing", "multiarch needs to be enabled",
                  'execute "dpkg --add-architecture', "apt-get install wine32")


def program_lines(data):
    text = data.decode("utf-8")  # the program writes UTF-8
    return [line for line in text.splitlines()
            if line and not any(noise in line for noise in LAUNCHER_NOISE)]


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
