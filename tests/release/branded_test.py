#!/usr/bin/env python3
"""A release branded with a banner and an icon made here (scripts/release.sh --banner --icon).

    branded_test.py WORK URL POST_CLOSE

The branded release is built in the tree of release_build's first release, with the same version
and names, so only the resources and the link are redone. An unusable banner stops a release while
it is configured, with the reason. The branded program carries the icon file's images as its icon
group, byte for byte, and on a 1024x768 screen shows the largest banner allowed pixel for pixel at
the top left of its window, with the progress bar under it.
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.join(REPO, "tests", "main"), os.path.join(REPO, "tests", "support")]

import release_test  # noqa: E402
import window_test  # noqa: E402
from artwork import four_size_icon, icon_file_images, icon_group, png  # noqa: E402

WIDTH, HEIGHT = 1024, 672  # the largest banner the build takes
WORK = None


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)
    return path


def read(path):
    with open(path, "rb") as f:
        return f.read()


class BrandedRelease(unittest.TestCase):
    check_screen = window_test.WindowOnScreen.check_screen
    maxDiff = 2000

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
        good = read(self.banner)
        bad = write(os.path.join(self.dir, "bad.png"), good[:60] + bytes([good[60] ^ 1]) +
                    good[61:])
        dist = os.path.join(self.dir, "rejected-dist")
        with self.assertRaises(AssertionError) as failed:
            release_test.release(REPO, "--build-dir", os.path.join(self.dir, "rejected-build"),
                                 "--dist", dist, "--banner", bad, "--icon", self.icon)
        message = " ".join(str(failed.exception).split())
        self.assertIn(f'QUORVEL_BANNER_PNG "{bad}" cannot be used: chunk IDAT at byte 33 is '
                      "damaged (CRC mismatch)", message)
        self.assertFalse(os.path.exists(os.path.join(dist, "QuorvelSetup.exe")))

    def test_branded_program_shows_the_banner_and_carries_the_icon(self):
        dist = os.path.join(self.dir, "dist")
        result = release_test.release(REPO, "--build-dir", os.path.join(WORK, "a-build"),
                                      "--dist", dist, "--banner", self.banner, "--icon", self.icon)
        self.assertNotIn("CMake Warning", result.stderr)  # four icon sizes, an 8-bit opaque banner
        exe = os.path.join(dist, "QuorvelSetup.exe")
        self.assertEqual(icon_group(read(exe)), icon_file_images(read(self.icon)))
        # The first release, built with the defaults, carries the placeholder.
        self.assertEqual(icon_group(read(os.path.join(WORK, "a-dist", "QuorvelSetup.exe"))),
                         icon_file_images(read(os.path.join(REPO, "resources", "quorvel.ico"))))

        window_test.PROGRAM = exe
        window_test.BANNER_PNG = self.banner
        window_test.BANNER_W, window_test.BANNER_H = WIDTH, HEIGHT
        self.check_screen((1024, 768), "WM_CLOSE")


if __name__ == "__main__":
    WORK, release_test.URL, window_test.POST_CLOSE = sys.argv[1:4]
    del sys.argv[1:4]
    unittest.main(verbosity=2)
