#!/usr/bin/env python3
"""A release branded with a banner and an icon made here (scripts/release.sh --banner --icon).

    branded_test.py WORK URL POST_CLOSE

Built in release_build's first tree with its version and names: only the resources and the link
are redone. A damaged banner stops a release while it is configured; the branded program's icon
group is the icon file, and on a 1024x768 screen its window shows the largest banner allowed.
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.join(REPO, "tests", "main"), os.path.join(REPO, "tests", "support")]

import release_test  # noqa: E402
import window_test  # noqa: E402
from artwork import four_size_icon, icon_group, png  # noqa: E402
from release_test import read  # noqa: E402

WIDTH, HEIGHT = 1024, 672  # the largest banner the build takes
WORK = None


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


class BrandedRelease(unittest.TestCase):
    check_screen = window_test.WindowOnScreen.check_screen

    @classmethod
    def setUpClass(cls):
        cls.dir = os.path.join(WORK, "branded")
        os.makedirs(cls.dir, exist_ok=True)
        # Interlaced 8-bit RGB: not the placeholder's layout, so the decoder's other path shows.
        cls.banner = write(os.path.join(cls.dir, "banner.png"), png(
            WIDTH, HEIGHT, lambda x, y: (x & 255, y & 255, (x // 4 ^ y) & 255), colour=2,
            interlace=1))
        cls.icon = write(os.path.join(cls.dir, "icon.ico"), four_size_icon())

    def test_an_unusable_banner_stops_the_release_with_the_reason(self):
        bad = write(os.path.join(self.dir, "bad.png"), read(self.banner).replace(b"IDAT", b"IDAU"))
        dist = os.path.join(self.dir, "rejected-dist")
        with self.assertRaises(AssertionError) as failed:
            release_test.release(REPO, "--build-dir", os.path.join(self.dir, "rejected-build"),
                                 "--dist", dist, "--banner", bad, "--icon", self.icon)
        message = " ".join(str(failed.exception).split())
        self.assertIn(f'QUORVEL_BANNER_PNG "{bad}" cannot be used: chunk IDAU at byte 33 is '
                      "damaged (CRC mismatch)", message)
        self.assertFalse(os.path.exists(os.path.join(dist, "QuorvelSetup.exe")))

    def test_branded_program_shows_the_banner_and_carries_the_icon(self):
        dist = os.path.join(self.dir, "dist")
        result = release_test.release(REPO, "--build-dir", os.path.join(WORK, "a-build"),
                                      "--dist", dist, "--banner", self.banner, "--icon", self.icon)
        self.assertNotIn("CMake Warning", result.stderr)  # four icon sizes, an 8-bit opaque banner
        exe = os.path.join(dist, "QuorvelSetup.exe")
        self.assertTrue(icon_group(exe) == read(self.icon), "the icon group differs")
        # The first release, built with the defaults, carries the placeholder.
        self.assertTrue(icon_group(os.path.join(WORK, "a-dist", "QuorvelSetup.exe")) ==
                        read(os.path.join(REPO, "resources", "quorvel.ico")))

        window_test.PROGRAM = exe
        window_test.BANNER_PNG = self.banner
        window_test.BANNER_W, window_test.BANNER_H = WIDTH, HEIGHT
        self.check_screen((1024, 768), "WM_CLOSE")


if __name__ == "__main__":
    WORK, release_test.URL, window_test.POST_CLOSE = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
