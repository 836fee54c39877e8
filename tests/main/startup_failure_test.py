#!/usr/bin/env python3
"""Fatal start-up errors: the program built without some of its resources ends with status 101 and
one stderr line naming the step that failed and why, before any window appears.

    startup_failure_test.py NO_RESOURCES_EXE NO_ICON_EXE
"""

import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))

from wine_folders import prefix_folders  # noqa: E402
from wine_output import program_lines  # noqa: E402
from xvfb_wine import WINE_RUN, XvfbWine  # noqa: E402

NO_RESOURCES = NO_ICON = None


class StartupFailure(unittest.TestCase):
    def test_missing_banner_fails_decoding_first(self):
        # Without a display too: decoding comes before the display query.
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        result = subprocess.run([WINE_RUN, NO_RESOURCES], env=env, capture_output=True,
                                timeout=60)
        self.assertEqual(result.returncode, 101)
        errors = program_lines(result.stderr)
        self.assertEqual(len(errors), 1, errors)
        self.assertIn("decoding the banner (decode_banner): ", errors[0])
        self.assertEqual(program_lines(result.stdout), [])
        # The support log keeps it too, after the run's header line.
        log = os.path.join(prefix_folders(os.environ["WINEPREFIX"]).temp, "QuorvelSetup.log")
        with open(log, "rb") as f:
            tail = f.read().decode("utf-8").splitlines()[-2:]
        self.assertRegex(tail[0], r"^[-0-9]{10} [:.0-9]{12} run QuorvelSetup ")
        self.assertEqual(tail[1][24:], "err " + errors[0])

    def test_missing_icon_fails_the_toolkit_start_without_a_window(self):
        with XvfbWine((1920, 1080)) as x:
            result = x.run(WINE_RUN, NO_ICON, capture_output=True, timeout=60)
            windows = x.run("xdotool", "search", "--name", "^Downloader$", capture_output=True,
                            text=True).stdout.split()
        self.assertEqual(result.returncode, 101)
        errors = program_lines(result.stderr)
        self.assertEqual(len(errors), 1, errors)
        self.assertIn("initializing the GUI toolkit (uiInit): "
                      "loading default icon for window classes: ", errors[0])
        self.assertEqual(windows, [])


if __name__ == "__main__":
    NO_RESOURCES, NO_ICON = sys.argv[1:3]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
