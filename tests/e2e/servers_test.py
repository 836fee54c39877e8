"""The servers publishers use, each with its configuration from docs/serving.md, through the whole
program: a first run that installs, then a resume after a cut (the download file shortened, the
program's ETag file kept) that sends Range and installs again. quorvel-check runs against each one
too, and its verdict must match what the program did: 0 where both runs succeed, 1 where the
program can never complete a download (Caddy rewrites header names).

Environment as for e2e_test.py, plus QUORVEL_CHECK (a native build's quorvel-check).
Run one server: servers_test.py Servers.test_<nginx|apache|lighttpd|caddy|haproxy>.
"""

import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import EXE, PORT, PREFIX, crc64_of_data, payload, read

import web_servers  # noqa: E402

CHECK = os.environ.get("QUORVEL_CHECK", "")
SIZE = 256 * 1024
# Verdicts: every server but Caddy serves the bootstrapper as documented.
EXPECTED = {"nginx": 0, "apache": 0, "lighttpd": 0, "haproxy": 0, "caddy": 1}


class Servers(unittest.TestCase):
    def setUp(self):
        self.assertTrue(os.access(CHECK, os.X_OK),
                        f"quorvel-check not built at {CHECK!r} (build the host preset first)")
        PREFIX.clean()
        self.data = payload(SIZE)
        self.crc = crc64_of_data(self.data)

    def program(self):
        run = harness.Run(EXE, PREFIX)
        self.addCleanup(run.kill)
        return run

    def quorvel_check(self, srv):
        r = subprocess.run([CHECK, "--ca-file", os.path.join(PREFIX.ca_dir, "ca.pem"),
                            "--timeout", "10", srv.url], capture_output=True, text=True,
                           timeout=120)
        return r.returncode, r.stdout + r.stderr

    def assert_installed(self):
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.bin")), self.data)
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), self.data)

    def serve(self, name):
        srv = web_servers.SERVERS[name](self.data, os.path.join(PREFIX.ca_dir, "localhost.pem"),
                                        os.path.join(PREFIX.ca_dir, "localhost.key"), self.crc,
                                        port=PORT)
        self.addCleanup(srv.stop)
        return srv.start()

    def installs_and_resumes(self, srv):
        first = self.program()
        self.assertEqual(first.wait(90), 0, first.transcript())
        self.assertIn("ETag 不匹配，重新下载文件", first.out(), first.transcript())
        self.assertIn("下载成功", first.out(), first.transcript())
        self.assert_installed()

        # The cut: half the download file left, the program's ETag file kept, nothing installed.
        half = SIZE // 2
        os.truncate(PREFIX.temp("QuorvelLauncher.bin"), half)
        for name in ("QuorvelLauncher.exe", "QuorvelLauncher.exe.marker"):
            os.remove(PREFIX.temp(name))
        second = self.program()
        self.assertEqual(second.wait(90), 0, second.transcript())
        out = second.out()
        self.assertIn("ETag 匹配，继续下载文件", out, second.transcript())
        self.assertIn("当前文件大小: %d 字节" % half, out, second.transcript())
        self.assertIn("下载成功", out, second.transcript())
        self.assert_installed()
        srv.stop()  # some servers write their access log only as they stop
        self.assertEqual(srv.ranges()[-1], "bytes=%d-" % half, srv.ranges())

    def never_completes(self):
        run = self.program()
        # Checksum 0 against a file whose checksum is not: thrown away at once, again and again.
        deadline = time.monotonic() + 60
        mismatch = "下载文件CRC检查失败: 远端CRC : 0"
        while time.monotonic() < deadline and run.err().count(mismatch) < 2:
            self.assertIsNone(run.proc.poll(), run.transcript())
            time.sleep(0.1)
        run.kill()
        self.assertGreaterEqual(run.err().count(mismatch), 2, run.transcript())
        self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe")))

    def check_server(self, name):
        srv = self.serve(name)
        code, report = self.quorvel_check(srv)
        self.assertEqual(code, EXPECTED[name], report)
        if EXPECTED[name] == 0:
            self.installs_and_resumes(srv)
        else:
            self.assertIn('the server spells it "X-Oss-Hash-Crc64ecma:"', report)
            self.never_completes()


def make_case(name):
    return lambda self: self.check_server(name)


for server in EXPECTED:
    setattr(Servers, "test_" + server, make_case(server))


if __name__ == "__main__":
    unittest.main(verbosity=2)
