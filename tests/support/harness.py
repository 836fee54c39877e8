"""Runs the real QuorvelSetup.exe under Wine in a virtual display against servers on loopback.

Shared by the end-to-end tests and by the demo (scripts/demo.py). Each lane of the end-to-end runs
has a Wine prefix of its own in the build tree; the tests on one take its CTest resource lock, so
they never overlap there. As a command, `harness.py create|stop PREFIX CA_DIR` makes such a prefix,
trusting the test CA, or stops it.
"""

import os
import pwd
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))

from nginx_server import NginxServer, free_port  # noqa: F401
from wine_folders import prefix_folders
from xvfb_wine import CONVERT, Xvfb, screen_rgb, screenshot  # noqa: F401

WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")
WINE_PREFIX_SCRIPT = os.path.join(SOURCE_DIR, "scripts", "wine-prefix.sh")
MAKE_TEST_CA = os.path.join(SOURCE_DIR, "tests", "support", "make_test_ca.sh")
SETUP_RAN = "fake setup ran"  # what the fake setup program prints on the stream it was given


class Prefix:
    """A Wine prefix that trusts the test CA, with the program's temp and game folders."""

    def __init__(self, path, ca_dir):
        self.path = os.path.abspath(path)
        self.ca_dir = os.path.abspath(ca_dir)
        self.display_file = os.path.join(self.path, "quorvel-display")

    # The prefix's own folders, known once create() has made it.
    @property
    def temp_dir(self):
        return prefix_folders(self.path).temp

    @property
    def windows_temp(self):
        return prefix_folders(self.path).windows_temp

    @property
    def game_dir(self):
        return os.path.join(prefix_folders(self.path).local_app_data, "Brisko",
                            "Quorvel-Survival Game")

    @property
    def display(self):
        """The prefix's own X display (see create); None when it has none."""
        try:
            with open(self.display_file) as f:
                return f.read().strip() or None
        except FileNotFoundError:
            return None

    def env(self, display=None):
        """Every Wine process of a prefix must see the same display: Wine's desktop process is
        shared by all of them and keeps the display it was started with."""
        env = dict(os.environ)
        env["WINEPREFIX"] = self.path
        env["WINEDEBUG"] = "-all"
        display = display or self.display
        if display is None:
            env.pop("DISPLAY", None)
        else:
            env["DISPLAY"] = display
        return env

    def create(self, display=None):
        """Makes the prefix, trusts the test CA in it and gives it a display: `display` when given,
        else an Xvfb of its own that lives until stop()."""
        subprocess.run(["bash", WINE_PREFIX_SCRIPT, "create", self.path], check=True)
        # Checksums kept by an earlier run came from an earlier build's crc64sum.
        shutil.rmtree(os.path.join(self.path, "quorvel-crc64"), ignore_errors=True)
        subprocess.run(["bash", MAKE_TEST_CA, self.ca_dir, self.path], check=True,
                       stdout=subprocess.DEVNULL)
        os.makedirs(self.temp_dir, exist_ok=True)
        if display is None:
            xvfb = Xvfb(detached=True).start()
            display = xvfb.display
            with open(os.path.join(self.path, "quorvel-xvfb.pid"), "w") as f:
                f.write(str(xvfb.proc.pid))
        with open(self.display_file, "w") as f:
            f.write(display)
        # Restart the wineserver so that no desktop process started without this display lingers.
        self.restart_server()

    def restart_server(self):
        """A fresh persistent wineserver for the prefix. It also creates every socket of the
        prefix's programs, so a test that moves them into a network namespace restarts it there."""
        self.stop_wineserver()
        self.start_wineserver()

    def stop_wineserver(self):
        env = self.env()
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        subprocess.run(["wineserver", "-w"], env=env, check=False)

    def start_wineserver(self):
        """A persistent wineserver, and Wine's background processes started with it. The
        wineserver creates every socket of its programs, in its own network namespace."""
        env = self.env()
        subprocess.run(["wineserver", "-p"], env=env, check=False, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The first program of a fresh wineserver starts Wine's background processes, which keep
        # its standard handles open; let them inherit nothing a test reads to the end.
        subprocess.run([WINE_RUN, "cmd", "/c", "exit"], env=env, check=False,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)

    def stop(self):
        subprocess.run(["bash", WINE_PREFIX_SCRIPT, "stop", self.path], check=False)
        pid_file = os.path.join(self.path, "quorvel-xvfb.pid")
        try:
            with open(pid_file) as f:
                os.kill(int(f.read()), 15)
            os.remove(pid_file)
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        try:
            os.remove(self.display_file)
        except FileNotFoundError:
            pass

    def wineserver_pid(self):
        """The process id of the prefix's running wineserver, or None. Its working directory is
        named after the prefix's device and inode numbers."""
        st = os.stat(self.path)
        name = "server-%x-%x" % (st.st_dev, st.st_ino)
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/cwd")) == name:
                    return int(pid)
            except OSError:
                pass
        return None

    def unix_spellings(self, path):
        """`path` (under drive_c) as Wine's processes name it in system calls: through
        dosdevices/c: as well as directly."""
        drive_c = os.path.join(self.path, "drive_c")
        rel = os.path.relpath(path, drive_c)
        return [path, os.path.join(self.path, "dosdevices", "c:", rel)]

    def temp(self, name):
        return os.path.join(self.temp_dir, name)

    def clean(self):
        """Forgets every earlier run: download files, setup executable, marker, game directory."""
        for name in ("QuorvelLauncher.bin", "QuorvelLauncher.bin.etag", "QuorvelLauncher.exe",
                     "QuorvelLauncher.exe.marker", "QuorvelSetup.log", "QuorvelSetup.log.old"):
            if name == "QuorvelSetup.log" and os.path.exists(self.temp(name)):
                set_read_only(self.temp(name), False)  # left read-only by an interrupted test
            try:
                os.remove(self.temp(name))
            except FileNotFoundError:
                pass
        shutil.rmtree(os.path.dirname(self.game_dir), ignore_errors=True)

    def own_hosts_file(self, text):
        """In a mount namespace of the caller's own: name lookup from a hosts file holding `text`
        only, bound over /etc/hosts (with an nsswitch.conf that asks nothing else). Yields the
        file's path; what is written to it later counts at once."""
        names = tempfile.mkdtemp(dir=self.path)
        for name, content in (("hosts", text), ("nsswitch.conf", "hosts: files\n")):
            with open(os.path.join(names, name), "w") as f:
                f.write(content)
            subprocess.run(["mount", "--bind", os.path.join(names, name), "/etc/" + name],
                           check=True)
        return os.path.join(names, "hosts")

    def own_windows_logon(self, domain, password):
        """In a mount namespace of the caller's own: the Windows logon of the user this runs as,
        where Wine's NTLM package finds it (Samba's ntlm_auth asks winbindd for the logged-on
        user's cached credentials): a winbindd of its own for `domain` holding `password`, its
        files and sockets in the prefix. Yields the winbindd process, for the caller to end."""
        state = tempfile.mkdtemp(dir=self.path)
        places = ("state directory", "cache directory", "lock directory", "private dir",
                  "pid directory")
        with open(os.path.join(state, "smb.conf"), "w") as f:
            f.write("[global]\nworkgroup = %s\nserver role = standalone server\n" % domain +
                    "log file = %s/log\n" % state +
                    "".join("%s = %s\n" % (place, state) for place in places))
        os.makedirs("/run/samba", exist_ok=True)  # the socket's place is built into libwbclient
        for source, target in (("smb.conf", "/etc/samba/smb.conf"), ("", "/run/samba")):
            subprocess.run(["mount", "--bind", os.path.join(state, source), target], check=True)
        winbindd = subprocess.Popen(["winbindd", "--foreground", "--no-process-group"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        user = "%s\\%s%%%s" % (domain, pwd.getpwuid(os.getuid()).pw_name, password)
        for _ in range(100):
            if subprocess.run(["wbinfo", "--ccache-save=" + user], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                return winbindd
            time.sleep(0.2)
        winbindd.kill()
        raise RuntimeError("winbindd took no credentials")

    def set_internet_options(self, settings):
        """The user's proxy settings in Internet Options, as Windows keeps them: (flags, proxy,
        bypass, script URL) with the flags 1 direct, 2 fixed proxy, 4 auto-config script and
        8 automatic detection; None removes them (Windows' default: automatic detection)."""
        key = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
        cmd = ["reg", "delete", key, "/v", "DefaultConnectionSettings", "/f"]
        if settings is not None:
            # Version, counter, flags, then the proxy, the bypass list and the script's URL, each
            # as a length and its bytes.
            flags, *texts = settings
            value = struct.pack("<III", 0x46, 1, flags)
            for text in texts:
                value += struct.pack("<I", len(text)) + text.encode()
            cmd = ["reg", "add", key, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
                   (value + bytes(32)).hex(), "/f"]
        subprocess.run([WINE_RUN] + cmd, env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)

    def set_windows_version(self, program, version):
        """win7 / win10 for one program name only; None removes the override."""
        key = "HKCU\\Software\\Wine\\AppDefaults\\" + program
        if version is None:
            cmd = ["reg", "delete", key, "/f"]
        else:
            cmd = ["reg", "add", key, "/v", "Version", "/d", version, "/f"]
        subprocess.run([WINE_RUN] + cmd, env=self.env(), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)


def set_read_only(path, on):
    """A file no Wine program can open for writing, even when the tests run as root: read-only
    attribute and immutable."""
    if on:
        os.chmod(path, 0o444)
        subprocess.run(["chattr", "+i", path], check=True)
    else:
        subprocess.run(["chattr", "-i", path], check=True)
        os.chmod(path, 0o644)


class Run:
    """One run of a program under Wine; every line it prints is kept with the time it arrived and
    with what sample() returned at that moment."""

    def __init__(self, exe, prefix, display=None, extra_env=None, args=()):
        env = prefix.env(display)
        env.update(extra_env or {})
        self.started = time.monotonic()
        self.proc = subprocess.Popen([WINE_RUN, exe, *args], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     cwd=prefix.temp_dir)
        self.lines = []  # (seconds since start, "out" | "err", text)
        self.samples = []  # sample() as each line arrived, index for index with lines
        self.lock = threading.Lock()
        self.readers = [threading.Thread(target=self._read, args=(self.proc.stdout, "out")),
                        threading.Thread(target=self._read, args=(self.proc.stderr, "err"))]
        for r in self.readers:
            r.daemon = True
            r.start()
        self.ended = None

    def sample(self):
        """Taken on the reader thread as each line arrives; the benchmarks read CPU counters here."""
        return None

    def _read(self, stream, name):
        for raw in iter(stream.readline, b""):
            extra = self.sample()
            at = time.monotonic() - self.started
            text = raw.decode("utf-8", errors="replace").rstrip("\r\n")
            with self.lock:
                self.lines.append((at, name, text))
                self.samples.append(extra)

    def out(self):
        with self.lock:
            return [t for _, n, t in self.lines if n == "out"]

    def out_setup_last(self):
        """out(), with the started setup program's line moved to the end: the two processes share
        the stream, so which of its line and the program's last line comes first is the scheduler's
        choice."""
        out = self.out()
        return [t for t in out if t != SETUP_RAN] + [t for t in out if t == SETUP_RAN]

    def err(self):
        with self.lock:
            return [t for _, n, t in self.lines if n == "err"]

    def when(self, text):
        """Seconds after the start at which `text` was printed (first time), or None."""
        with self.lock:
            for at, _, t in self.lines:
                if t == text or t.startswith(text):
                    return at
        return None

    def wait_for_line(self, text, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.when(text) is not None:
                return True
            if self.proc.poll() is not None:
                time.sleep(0.2)
                return self.when(text) is not None
            time.sleep(0.05)
        return False

    def wait(self, timeout):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise
        self.ended = time.monotonic() - self.started
        for r in self.readers:
            r.join(5)
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def transcript(self):
        with self.lock:
            return "\n".join(f"{at:7.2f} {n}: {t}" for at, n, t in self.lines)


def find_window(display, name="Downloader", timeout=20):
    """The X window id of the program's window, once it is mapped."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % name],
                           env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
        ids = r.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.1)
    return None


def window_geometry(display, window):
    r = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                       env=dict(os.environ, DISPLAY=display), capture_output=True, text=True,
                       check=True)
    values = dict(line.split("=", 1) for line in r.stdout.split())
    return int(values["X"]), int(values["Y"]), int(values["WIDTH"]), int(values["HEIGHT"])


def close_window(display, window):
    """The user's close: focus the window and press alt+F4."""
    env = dict(os.environ, DISPLAY=display)
    subprocess.run(["xdotool", "windowfocus", "--sync", window], env=env, check=False)
    subprocess.run(["xdotool", "key", "--window", window, "alt+F4"], env=env, check=False)


def crc64_of(crc64sum_cmd, path, env=None):
    """The publisher's own checksum tool, as the server's header carries it."""
    # A file rather than a pipe: a Wine background process may inherit the tool's output handle.
    with tempfile.TemporaryFile() as out:
        subprocess.run(crc64sum_cmd + [path], check=True, stdout=out, env=env,
                       stdin=subprocess.DEVNULL)
        out.seek(0)
        return int(out.read().split()[0])


if __name__ == "__main__":
    action, path, ca_dir = sys.argv[1:4]
    getattr(Prefix(path, ca_dir), "create" if action == "create" else "stop")()
