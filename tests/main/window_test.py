#!/usr/bin/env python3
"""The program's window on virtual screens: where it lands, what it shows, how it closes.

    window_test.py QuorvelSetup.exe post_close.exe banner_test.exe planted_marker.dll

The banner is compared pixel for pixel with the committed PNG decoded by ImageMagick, and the
program's own decoder output (dumped by banner_test.exe) is compared with the same reference.

The program starts its download at once. So that it neither leaves the machine nor fails (a failed
download blocks the main loop for its 3-second retry wait, which would delay the close), the build's
download URL names a loopback port (QUORVEL_TEST_PORT) on which this test accepts connections and
never answers: the download stays in progress for the whole test.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "support"))

import harness  # noqa: E402
from silent_server import SilentServer, client_sent_bytes  # noqa: E402
from xvfb_wine import WINE_RUN, XvfbWine  # noqa: E402

# The banner the program under test carries (a branded release's test sets its own).
BANNER_PNG = os.path.join(REPO, "resources", "banner.png")
BANNER_W, BANNER_H = 300, 169
PROGRAM = POST_CLOSE = BANNER_TEST = PLANTED_MARKER = None


def reference_rgba():
    """The banner decoded independently of the program (ImageMagick's own PNG decoder)."""
    return subprocess.run(["/usr/bin/convert", BANNER_PNG, "-depth", "8", "rgba:-"],
                          capture_output=True, check=True).stdout


def reference_rows():
    rgba = reference_rgba()
    assert len(rgba) == BANNER_W * BANNER_H * 4
    rows = []
    for y in range(BANNER_H):
        row = rgba[y * BANNER_W * 4:(y + 1) * BANNER_W * 4]
        rows.append(bytes(b for i in range(0, len(row), 4) for b in row[i:i + 3]))
    return rows


def expected_position(screen_w, screen_h):
    def trunc_div2(v):
        return int(v / 2)
    return trunc_div2(screen_w - BANNER_W), trunc_div2(screen_h - BANNER_H)


def screen_row(shot, left, top, row, width=None):
    w, _, rgb = shot
    width = width or BANNER_W
    start = ((top + row) * w + left) * 3
    return rgb[start:start + width * 3]


class WindowOnScreen(unittest.TestCase):
    maxDiff = 2000

    def check_screen(self, size, close_with):
        rows = reference_rows()
        with SilentServer(int(os.environ["QUORVEL_TEST_PORT"])) as server, XvfbWine(size) as x:
            proc = x.wine(PROGRAM, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                window_id = harness.find_window(x.display, timeout=30)
                self.assertIsNotNone(window_id, "the window did not appear")
                ex, ey = expected_position(*size)
                # The window is mapped first, painted right after: wait for the first banner row.
                deadline = time.monotonic() + 20
                while True:
                    shot = x.screenshot_rgb()
                    if screen_row(shot, ex, ey, 0) == rows[0] or time.monotonic() > deadline:
                        break
                    time.sleep(0.2)

                left, top, width, height = harness.window_geometry(x.display, window_id)
                self.assertEqual((left, top), (ex, ey), "window top-left")
                # No frame, no title bar: the whole window is the banner-sized content.
                self.assertEqual((width, height), (BANNER_W, BANNER_H), "window size")

                # Every row from the top matches the banner until the progress bar starts.
                bar_top = next((r for r in range(BANNER_H)
                                if screen_row(shot, left, top, r) != rows[r]), BANNER_H)
                self.assertGreaterEqual(bar_top, BANNER_H - 40, "banner rows differ early")
                self.assertLessEqual(bar_top, BANNER_H - 8, "no progress bar under the banner")
                # Below: the bar, drawn by the system (not the banner, not an empty screen).
                bar_rows = [screen_row(shot, left, top, r) for r in range(bar_top, BANNER_H)]
                for r, row in zip(range(bar_top, BANNER_H), bar_rows):
                    self.assertNotEqual(row, rows[r], f"row {r} still shows the banner")
                bar_pixels = {row[i:i + 3] for row in bar_rows for i in range(0, len(row), 3)}
                self.assertNotEqual(bar_pixels, {b"\0\0\0"}, "the progress bar was not drawn")
                # Outside the window the screen stays untouched (nothing drawn around it).
                if top > 0:
                    self.assertEqual(set(screen_row(shot, left, top - 1, 0)), {0})

                # The close comes while the download is in progress (connected, waiting). The
                # connection is made beside the first paint, so a loaded machine may still be on it.
                deadline = time.monotonic() + 10
                while not server.accepted and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertTrue(server.accepted, "the program never connected for its download")
                start = time.monotonic()
                if close_with == "alt+F4":
                    x.run("xdotool", "windowfocus", "--sync", window_id, check=True)
                    x.run("xdotool", "key", "alt+F4", check=True)
                    start = time.monotonic()
                else:
                    posted = x.run(WINE_RUN, POST_CLOSE, capture_output=True)
                    start = time.monotonic()
                    self.assertEqual(posted.returncode, 0, "WM_CLOSE could not be posted")
                status = proc.wait(timeout=10)
                elapsed = time.monotonic() - start
                self.assertEqual(status, 0)
                print(f"[window_test] {close_with}: exit {elapsed:.3f} s after the close",
                      file=sys.stderr)
                # The silent server keeps the job waiting for good: a close that waited for it
                # would never end. The bound leaves room for a loaded machine's key delivery.
                self.assertLess(elapsed, 5.0, f"exit took {elapsed:.2f} s after the close")
            finally:
                if proc.poll() is None:
                    proc.kill()
                proc.communicate()

    def test_full_hd_screen_alt_f4(self):
        self.check_screen((1920, 1080), "alt+F4")

    def test_sxga_screen_wm_close(self):
        self.check_screen((1280, 1024), "WM_CLOSE")

    def test_dlls_planted_beside_the_program_are_not_loaded(self):
        """Started from a folder that holds stand-ins for the system DLLs the program and Direct2D
        load, the program takes none of them: it shows its banner and begins its TLS handshake
        with the system's own. Wine is told to prefer such DLLs (native first), as Windows
        would for any DLL that is neither a known DLL nor loaded by full path.

        Not planted, because Wine 8 itself takes them from the program's folder whatever the
        program asks: uxtheme.dll (its user32 loads it before main) and the delay-loaded imports
        of its own DLLs (setupapi.dll of gdi32, dwrite.dll of d2d1), which ignore the process's
        DLL directories. Windows applies those directories to delay loads."""
        planted = ["d2d1", "dxgi", "windowscodecs", "d3d11", "d3d10_1", "d3d10core", "crypt32",
                   "secur32", "schannel", "bcrypt", "dnsapi", "iphlpapi", "mswsock", "propsys",
                   "wined3d", "opengl32"]
        rows = reference_rows()
        with tempfile.TemporaryDirectory() as folder, \
                SilentServer(int(os.environ["QUORVEL_TEST_PORT"])) as server, \
                XvfbWine((1920, 1080)) as x:
            program = os.path.join(folder, "QuorvelSetup.exe")
            shutil.copyfile(PROGRAM, program)
            for name in planted:
                shutil.copyfile(PLANTED_MARKER, os.path.join(folder, name + ".dll"))
            env = dict(x.env, WINEDLLOVERRIDES="mscoree,mshtml=;" + ",".join(planted) + "=n,b")
            # Started the way a double click in the folder starts it: the folder is the current
            # directory too.
            proc = subprocess.Popen([WINE_RUN, program], env=env, cwd=folder,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                ex, ey = expected_position(1920, 1080)
                # Bounds a hang; a start from a fresh folder on a loaded machine takes a while.
                deadline = time.monotonic() + 90
                painted = hello = False
                while not (painted and hello) and time.monotonic() < deadline:
                    painted = painted or screen_row(x.screenshot_rgb(), ex, ey, 0) == rows[0]
                    hello = hello or any(client_sent_bytes(c) for c in list(server.accepted))
                    time.sleep(0.2)
                markers = sorted(n for n in os.listdir(folder) if ".loaded-by-" in n)
                self.assertEqual([m for m in markers if m.endswith("QuorvelSetup.exe")], [],
                                 "planted DLLs taken by the program")
                self.assertTrue(painted, "the banner never appeared")
                self.assertTrue(hello, "no TLS handshake began on the download connection")
                self.assertIsNone(proc.poll(), "the program ended early")
            finally:
                if proc.poll() is None:
                    proc.kill()
                proc.communicate()

    def test_decoder_matches_an_independent_decoder(self):
        with tempfile.TemporaryDirectory() as tmp, XvfbWine((1920, 1080)) as x:
            dump = os.path.join(tmp, "banner.rgba")
            env = dict(x.env, QUORVEL_BANNER_DUMP=dump)
            result = subprocess.run(
                [os.path.join(REPO, "scripts", "wine-run.sh"), BANNER_TEST,
                 "--gtest_filter=*DumpForIndependentComparison"], env=env, capture_output=True)
            self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))
            with open(dump, "rb") as f:
                decoded = f.read()
        reference = reference_rgba()
        self.assertEqual(len(decoded), 202800)
        self.assertEqual(decoded[:4], reference[:4], "first pixel")
        self.assertTrue(decoded == reference, "decoded pixels differ from ImageMagick's")


if __name__ == "__main__":
    PROGRAM, POST_CLOSE, BANNER_TEST, PLANTED_MARKER = sys.argv[1:5]
    del sys.argv[1:5]
    unittest.main(verbosity=2)
