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
import signal
import subprocess
import sys
import time

DISPLAYS = range(90, 110)  # the display numbers these tests may use (several build trees at once)
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(REPO, "scripts", "wine-run.sh")

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


def display_in_use(n):
    lock = f"/tmp/.X{n}-lock"
    if not os.path.exists(lock):
        return os.path.exists(f"/tmp/.X11-unix/X{n}")
    try:
        with open(lock, encoding="ascii") as f:
            pid = int(f.read().strip())
        os.kill(pid, 0)
        return True
    except (ValueError, ProcessLookupError, PermissionError, OSError):
        return False


def start_xvfb(width, height):
    """Starts Xvfb on the first free display of DISPLAYS; returns (process, ':N')."""
    for n in DISPLAYS:
        if display_in_use(n):
            continue
        read_fd, write_fd = os.pipe()
        proc = subprocess.Popen(
            ["Xvfb", f":{n}", "-screen", "0", f"{width}x{height}x24", "-nolisten", "tcp",
             "-displayfd", str(write_fd)],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd, "rb") as r:
            announced = r.readline().strip()  # empty when the server gave up
        if announced and proc.poll() is None:
            return proc, f":{announced.decode()}"
        proc.kill()
        proc.wait()
    raise RuntimeError("no free X display among :90 to :109")


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
        self.xvfb, self.display = start_xvfb(*self.size)
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=self.prefix,
                        WINEDEBUG=os.environ.get("WINEDEBUG", "-all"))
        return self

    def __exit__(self, *exc):
        wineserver(self.prefix, "-k")
        if self.xvfb is not None:
            self.xvfb.send_signal(signal.SIGTERM)
            try:
                self.xvfb.wait(5)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        return False

    def run(self, *args, **kwargs):
        return subprocess.run(args, env=self.env, **kwargs)

    def wine(self, exe, *args, **kwargs):
        """Starts exe under Wine (not waiting); returns the Popen."""
        return subprocess.Popen([WINE_RUN, exe, *args], env=self.env, **kwargs)

    def screenshot_rgb(self):
        """The whole screen as (width, height, bytes of R, G, B)."""
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                             capture_output=True, check=True).stdout
        rgb = subprocess.run(["/usr/bin/convert", "xwd:-", "-depth", "8", "rgb:-"], input=xwd,
                             capture_output=True, check=True).stdout
        w, h = self.size
        if len(rgb) != w * h * 3:
            raise RuntimeError(f"screenshot has {len(rgb)} bytes, expected {w * h * 3}")
        return w, h, rgb


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
