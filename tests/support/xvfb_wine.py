#!/usr/bin/env python3
"""Runs Windows programs under Wine on a private virtual X display (Xvfb).

Wine's desktop process decides the display geometry that every program of a prefix sees (DXGI
outputs, monitor rectangles) when it starts, from the X display it starts on. The shared test
prefix's desktop may already run without a display, so GUI tests use their own prefix
(`gui_prefix`), which shares drive_c with the base prefix, and restart its wineserver for every
display. Tests that use it must not run at the same time (CTest RESOURCE_LOCK).

As a command:  xvfb_wine.py [--size WxH] [--gui-prefix DIR] -- COMMAND...
runs COMMAND with DISPLAY and WINEPREFIX set and returns its exit status.
As a module:   with XvfbWine(size=(1920, 1080), prefix=...) as x: x.env, x.display, ...
"""

import argparse
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")
CONVERT = "/usr/bin/convert"  # ImageMagick's own, not a stand-in that may come first on PATH

USER_REG_SETTINGS = """
[Software\\\\Wine\\\\X11 Driver] 1700000000
"Managed"="N"

[Software\\\\Wine\\\\WineDbg] 1700000000
"ShowCrashDialog"=dword:00000000
"""


def make_gui_prefix(base, prefix):
    """A prefix of its own that shares the base prefix's drive_c. Idempotent."""
    if os.path.exists(os.path.join(prefix, "system.reg")):
        return
    if not os.path.exists(os.path.join(base, "system.reg")):
        raise RuntimeError(f"base Wine prefix {base} does not exist")
    os.makedirs(prefix, exist_ok=True)
    for name in ("user.reg", "userdef.reg", ".update-timestamp"):
        src = os.path.join(base, name)
        if os.path.exists(src):
            shutil.copyfile(src, os.path.join(prefix, name))
    with open(os.path.join(prefix, "user.reg"), "a", encoding="utf-8") as f:
        f.write(USER_REG_SETTINGS)
    if not os.path.lexists(os.path.join(prefix, "drive_c")):
        os.symlink(os.path.join(os.path.abspath(base), "drive_c"), os.path.join(prefix, "drive_c"))
    dosdevices = os.path.join(prefix, "dosdevices")
    os.makedirs(dosdevices, exist_ok=True)
    for name, target in (("c:", "../drive_c"), ("z:", "/")):
        if not os.path.lexists(os.path.join(dosdevices, name)):
            os.symlink(target, os.path.join(dosdevices, name))
    # system.reg last: its presence marks the prefix as complete.
    shutil.copyfile(os.path.join(base, "system.reg"), os.path.join(prefix, "system.reg.tmp"))
    os.replace(os.path.join(prefix, "system.reg.tmp"), os.path.join(prefix, "system.reg"))


def wineserver(prefix, *args):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run(["wineserver", *args], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


class Xvfb:
    """A virtual X display of its own, on a free display number it reports (-displayfd). It never
    resets (-noreset): a reset whenever the last client leaves, as Wine's programs and desktop come
    and go, would pull the screen away from a screenshot under way."""

    def __init__(self, size="1920x1080x24", detached=False):
        self.size = size
        self.detached = detached  # outlives this Python process (a CTest fixture's display)
        self.proc = None
        self.display = None

    def start(self):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.size, "-nolisten", "tcp",
             "-noreset"], pass_fds=(write_fd,), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=self.detached)
        os.close(write_fd)
        with os.fdopen(read_fd) as f:
            number = f.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None

    def screenshot(self, path):
        return screenshot(self.display, path)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def grab_screen(display, tries=10):
    """The whole screen of an X display as an xwd dump. xwd walks the windows on the screen and
    fails when one of them goes away meanwhile, as Wine's own do while a program starts or ends:
    a failed read is tried again."""
    for _ in range(tries):
        r = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True)
        if r.returncode == 0 and r.stdout:
            return r.stdout
        time.sleep(0.1)
    raise RuntimeError(f"xwd could not read the screen of {display}: "
                       + r.stderr.decode("utf-8", errors="replace"))


def screen_rgb(display, x, y, w, h):
    """Bytes of R, G, B, row by row, of a rectangle of the screen."""
    rgb = subprocess.run([CONVERT, "xwd:-", "-crop", f"{w}x{h}+{x}+{y}", "+repage", "-depth", "8",
                          "rgb:-"], input=grab_screen(display), capture_output=True, check=True).stdout
    if len(rgb) != w * h * 3:
        raise RuntimeError(f"a {w}x{h} piece of the screen of {display} gave {len(rgb)} bytes")
    return rgb


def screenshot(display, path):
    """The whole screen saved as an image file (the format named by its extension)."""
    subprocess.run([CONVERT, "xwd:-", path], input=grab_screen(display), check=True)
    return path


class XvfbWine:
    """A virtual screen of the given size and a fresh wineserver for the GUI prefix."""

    def __init__(self, size=(1920, 1080), prefix=None, base_prefix=None):
        self.size = size
        self.prefix = prefix or os.environ["QUORVEL_GUI_WINEPREFIX"]
        self.base_prefix = base_prefix or os.environ.get("WINEPREFIX")
        self.xvfb = None
        self.display = None
        self.env = None

    def __enter__(self):
        if self.base_prefix:
            make_gui_prefix(self.base_prefix, self.prefix)
        # A desktop process left from another display would report that display's geometry.
        wineserver(self.prefix, "-k")
        self.xvfb = Xvfb("%dx%dx24" % self.size).start()
        self.display = self.xvfb.display
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=self.prefix,
                        WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
        return self

    def __exit__(self, *exc):
        wineserver(self.prefix, "-k")
        if self.xvfb is not None:
            self.xvfb.stop()
        return False

    def run(self, *args, **kwargs):
        return subprocess.run(args, env=self.env, **kwargs)

    def wine(self, exe, *args, **kwargs):
        """Starts exe under Wine (not waiting); returns the Popen."""
        return subprocess.Popen([WINE_RUN, exe, *args], env=self.env, **kwargs)

    def screenshot_rgb(self):
        """The whole screen as (width, height, bytes of R, G, B)."""
        w, h = self.size
        return w, h, screen_rgb(self.display, 0, 0, w, h)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--gui-prefix", default=os.environ.get("QUORVEL_GUI_WINEPREFIX"))
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    width, height = (int(v) for v in args.size.split("x"))
    with XvfbWine((width, height), prefix=args.gui_prefix) as x:
        start = time.monotonic()
        status = x.run(*command).returncode
        print(f"[xvfb_wine] {' '.join(command)} ended with {status} after "
              f"{time.monotonic() - start:.1f} s on {x.display}", file=sys.stderr)
    return status


if __name__ == "__main__":
    sys.exit(main())
