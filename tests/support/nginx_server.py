"""A real nginx on loopback that serves the launcher the way the download host does.

HEAD and GET of /Download/Micro/QuorvelLauncher.exe over TLS, with nginx's own ETag, Range and 416
handling, plus the checksum header the bootstrapper verifies: the configuration docs/serving.md
gives (web_servers.nginx_config). Runs in the foreground as one process (no master, no daemon) so
the tests own it completely.
"""

import os
import socket
import subprocess
import tempfile
import time

from web_servers import LAUNCHER_PATH, free_port, nginx_config  # noqa: F401


class NginxServer:
    """Serves `payload` (bytes) as the launcher. crc=None leaves the checksum header out."""

    def __init__(self, payload, cert, key, crc, limit_rate=None, port=None, server_extra=""):
        self.dir = tempfile.mkdtemp(prefix="quorvel-nginx-")
        self.port = port or free_port()
        os.makedirs(os.path.join(self.dir, "tmp"))
        self.root = os.path.join(self.dir, "root")
        self.file = os.path.join(self.root, LAUNCHER_PATH.lstrip("/"))
        os.makedirs(os.path.dirname(self.file))
        with open(self.file, "wb") as f:
            f.write(payload)
        self.cert, self.key = cert, key
        self.crc, self.limit_rate = crc, limit_rate
        self.server_extra = server_extra  # more directives in the server block
        self.proc = None

    @property
    def url(self):
        return f"https://localhost:{self.port}{LAUNCHER_PATH}"

    def write_config(self):
        values = dict(dir=self.dir, port=self.port, cert=self.cert, key=self.key, crc=self.crc,
                      root=self.root)
        conf = nginx_config(values, server_extra=self.server_extra,
                            location_extra=f"limit_rate {self.limit_rate};" if self.limit_rate else "",
                            crc_header=self.crc is not None)
        path = os.path.join(self.dir, "nginx.conf")
        with open(path, "w") as f:
            f.write(conf)
        return path

    def start(self):
        conf = self.write_config()
        self.proc = subprocess.Popen(["nginx", "-p", self.dir, "-c", conf, "-e",
                                      os.path.join(self.dir, "error.log")])
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return self
            except OSError:
                if self.proc.poll() is not None:
                    raise RuntimeError(self.error_log())
                time.sleep(0.05)
        raise RuntimeError("nginx did not start: " + self.error_log())

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None

    def replace_payload(self, payload, crc):
        """A new launcher on the server: new bytes, new mtime (so a new ETag), new checksum."""
        with open(self.file, "wb") as f:
            f.write(payload)
        st = os.stat(self.file)
        os.utime(self.file, (st.st_atime + 10, st.st_mtime + 10))
        self.crc = crc
        if self.proc:
            self.stop()
            self.start()

    def access_log(self):
        try:
            with open(os.path.join(self.dir, "access.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def error_log(self):
        try:
            with open(os.path.join(self.dir, "error.log")) as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
