"""quorvel-check against servers on loopback: nginx as documented, nginx with suites no Windows 7
offers, and the fault server's misbehaviours. Each case checks the exit status and the one line
that explains it.

Environment (set by CTest): QUORVEL_CHECK, QUORVEL_CRC64SUM, QUORVEL_CHECK_WORK.
"""

import os
import socket
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))

from fault_server import FaultServer  # noqa: E402
from nginx_server import NginxServer  # noqa: E402

CHECK = os.environ.get("QUORVEL_CHECK", "")
CRC64SUM = os.environ.get("QUORVEL_CRC64SUM", "")
WORK = os.environ.get("QUORVEL_CHECK_WORK", "/tmp/quorvel-check-test")
CA = os.path.join(WORK, "ca")
PAYLOAD = bytes((i * 31 + 7) & 0xFF for i in range(100_000))


def setUpModule():
    os.makedirs(WORK, exist_ok=True)
    subprocess.run(["bash", os.path.join(HERE, "..", "support", "make_test_ca.sh"), CA],
                   check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(WORK, "payload.bin"), "wb") as f:
        f.write(PAYLOAD)


def crc():
    out = subprocess.run([CRC64SUM, os.path.join(WORK, "payload.bin")], check=True,
                         capture_output=True, text=True).stdout
    return int(out.split()[0])


class CheckTool(unittest.TestCase):
    def check(self, port, *args):
        r = subprocess.run([CHECK, "--ca-file", os.path.join(CA, "ca.pem"), "--timeout", "2", *args,
                            f"https://localhost:{port}/Download/Micro/QuorvelLauncher.exe"],
                           capture_output=True, text=True, timeout=60)
        return r.returncode, r.stdout.splitlines(), r.stderr

    def line(self, lines, requirement):
        found = [l for l in lines if l[10:].startswith(requirement + ":")]
        self.assertEqual(len(found), 1, "\n".join(lines))
        return found[0]

    def nginx(self, ciphers=None, payload=PAYLOAD, checksum=None):
        srv = NginxServer(payload, os.path.join(CA, "localhost.pem"),
                          os.path.join(CA, "localhost.key"), checksum or crc(),
                          server_extra=f"ssl_ciphers {ciphers};" if ciphers else "").start()
        self.addCleanup(srv.stop)
        return srv

    def fault(self, fault):
        srv = FaultServer(PAYLOAD, os.path.join(CA, "localhost.pem"),
                          os.path.join(CA, "localhost.key"), crc(), fault, times=100).start()
        self.addCleanup(srv.stop)
        return srv

    def test_nginx_as_documented_meets_every_requirement(self):
        srv = self.nginx()
        code, lines, err = self.check(srv.port, "--file", os.path.join(WORK, "payload.bin"))
        self.assertEqual(code, 0, "\n".join(lines) + err)
        self.assertEqual(lines[-1], "verdict 0: every requirement met")
        self.assertTrue(all(l.startswith("ok") for l in lines[1:-1]), "\n".join(lines))
        self.assertIn("local copy: the served bytes are", self.line(lines, "local copy"))

    def test_only_ecdhe_rsa_gcm_locks_out_windows_7(self):
        srv = self.nginx("ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384")
        code, lines, _ = self.check(srv.port)
        self.assertEqual(code, 1, "\n".join(lines))
        self.assertTrue(self.line(lines, "TLS for Windows 7").startswith("FAIL"))
        self.assertTrue(self.line(lines, "TLS for Windows 10").startswith("ok"))
        self.assertTrue(self.line(lines, "checksum").startswith("ok"))

    def test_local_copy_that_differs_fails(self):
        srv = self.nginx()
        other = os.path.join(WORK, "other.bin")
        with open(other, "wb") as f:
            f.write(PAYLOAD[:500] + b"\0" + PAYLOAD[501:])
        code, lines, _ = self.check(srv.port, "--file", other)
        self.assertEqual(code, 1)
        self.assertIn("differs from %s at byte 500" % other, self.line(lines, "local copy"))

    def test_faults_and_their_verdicts(self):
        cases = [  # fault, exit status, requirement, expected start of its line
            ("head_lowercase", 2, "Content-Length",
             'DEGRADED  Content-Length: not recognised: the server spells it "content-length:"'),
            ("no_etag", 2, "ETag", "DEGRADED  ETag: missing; a cut download never resumes"),
            ("range_ignored", 2, "resume (Range: bytes=50000-)",
             'DEGRADED  resume (Range: bytes=50000-): answered "HTTP/1.1 200" with the whole file'),
            ("wrong_crc", 1, "checksum", "FAIL      checksum: the 100000 bytes served have"),
            ("no_crc", 1, "x-oss-hash-crc64ecma", "FAIL      x-oss-hash-crc64ecma: missing; the "
             "checksum reads as 0"),
            ("head_302", 1, "HEAD status",
             'FAIL      HEAD status: "HTTP/1.1 302 Found": the bootstrapper needs'),
            ("body_cut=half", 1, "checksum", "FAIL      checksum: the 50000 bytes served"),
            ("bad_utf8", 1, "HEAD reply",
             'FAIL      HEAD reply: line 2 ("Server: \\xFF\\xFE") is not UTF-8'),
            ("head_kept_open", 1, "HEAD reply",
             "FAIL      HEAD reply: the server kept the connection open after"),
            ("head_body", 1, "HEAD reply",
             "FAIL      HEAD reply: the server sent a body with its reply to HEAD, more than 65536"),
            ("etag_each_head", 2, "mirrors (4 HEAD requests on fresh connections)",
             'DEGRADED  mirrors (4 HEAD requests on fresh connections): the replies differ: '
             'entity tags "q-1", "q-2", "q-3", "q-4"'),
            ("get_bare_lf", 1, "GET head",
             "FAIL      GET head: the server ends its header lines with a bare line feed"),
            ("tls11_only", 1, "TLS 1.2", "FAIL      TLS 1.2: not offered"),
        ]
        for fault, status, requirement, start in cases:
            with self.subTest(fault=fault):
                srv = self.fault(fault)
                code, lines, err = self.check(srv.port)
                srv.stop()
                self.assertEqual(code, status, "\n".join(lines) + err)
                self.assertTrue(self.line(lines, requirement).startswith(start), "\n".join(lines))

    def test_the_whole_run_keeps_its_deadline(self):
        srv = self.fault("trickle_head")
        started = time.monotonic()
        code, lines, err = self.check(srv.port, "--deadline", "4")
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(code, 1, "\n".join(lines) + err)
        self.assertTrue(self.line(lines, "HEAD reply").startswith(
            "FAIL      HEAD reply: the check's 4 s ran out after"), "\n".join(lines))
        self.assertTrue(self.line(lines, "left unchecked").startswith(
            "--        left unchecked: mirrors, GET, checksum, resume, resume past the end (the "
            "check's 4 s ran out)"), "\n".join(lines))

        # A body slower than the run: judged as far as it came, its checksum not compared.
        slow = NginxServer(PAYLOAD, os.path.join(CA, "localhost.pem"),
                           os.path.join(CA, "localhost.key"), crc(), limit_rate="10k").start()
        self.addCleanup(slow.stop)
        code, lines, err = self.check(slow.port, "--deadline", "3")
        self.assertEqual(code, 1, "\n".join(lines) + err)
        self.assertRegex(self.line(lines, "GET body"), r"^FAIL      GET body: \d+ bytes by the "
                         r"end of the check's 3 s, the connection still open", "\n".join(lines))
        self.assertEqual(self.line(lines, "checksum"), "--        checksum: not compared: no "
                         "whole body", "\n".join(lines))
        self.assertEqual(self.line(lines, "left unchecked"), "--        left unchecked: resume, "
                         "resume past the end (the check's 3 s ran out)", "\n".join(lines))

        # A port that accepts and never speaks: one handshake's wait, not one per client.
        with socket.socket() as silent:
            silent.bind(("127.0.0.1", 0))
            silent.listen(8)
            started = time.monotonic()
            code, lines, err = self.check(silent.getsockname()[1])
            self.assertLess(time.monotonic() - started, 6)
        self.assertEqual(code, 1, "\n".join(lines) + err)
        self.assertEqual(self.line(lines, "TLS 1.2"), "FAIL      TLS 1.2: no answer to a "
                         "handshake: no answer from the server for 2 s", "\n".join(lines))
        self.assertTrue(self.line(lines, "TLS for Windows 7").startswith("--        TLS for "
                        "Windows 7: not tried"), "\n".join(lines))

    def test_mirrors_are_checked_and_compared_with_the_primary(self):
        primary, same = self.nginx(), self.nginx()
        other = self.nginx(payload=PAYLOAD[:-1], checksum=12345)  # another file, its own header
        urls = [srv.url for srv in (same, other)]
        code, lines, err = self.check(primary.port, "--mirror-url", urls[0], "--mirror-url",
                                      urls[1])
        self.assertEqual(code, 1, "\n".join(lines) + err)
        self.assertEqual([l for l in lines if l.startswith(("checking", "comparing"))],
                         ["checking %s as the bootstrapper fetches it" % u
                          for u in (primary.url, *urls)] + ["comparing the mirrors with " +
                                                            primary.url])
        # nginx tags by time and size: the same file written in another second has another tag.
        self.assertRegex(self.line(lines, "mirror " + urls[0]), r"^ok        mirror \S+: the same "
                         r'(length, entity tag and checksum$|file; its entity tag "[^"]+" differs)')
        self.assertEqual(self.line(lines, "mirror " + urls[1]),
                         "FAIL      mirror %s: serves another file: length 99999 and checksum "
                         "12345, the download URL 100000 and %d; players moved to it after a "
                         "failure install a different launcher, or none" % (urls[1], crc()))
        self.assertEqual(lines[-1], "verdict 1: some players can never complete a download")

    def test_no_server_and_bad_arguments_give_status_3(self):
        r = subprocess.run([CHECK, "https://localhost:1/Download/Micro/QuorvelLauncher.exe"],
                           capture_output=True, text=True, timeout=30)
        self.assertEqual(r.returncode, 3)
        self.assertIn("quorvel-check: cannot connect to localhost:1: Connection refused", r.stderr)
        empty = os.path.join(WORK, "empty.pem")
        open(empty, "w").close()
        url = "https://localhost:1/Download/Micro/QuorvelLauncher.exe"
        cases = [  # arguments, the start of the reason (nothing when only the usage is checked)
            ([], None), (["--timeout", "0", url], None), (["--deadline", "x", url], None),
            (["--bogus", url], None),
            (["http://localhost:1/Download/Micro/QuorvelLauncher.exe"],
             'the URL breaks a rule the build enforces: the URL must begin with "https://"'),
            (["https://localhost:1"], "the URL breaks a rule the build enforces: the URL names "
             "no file"),
            (["--ca-file", os.path.join(WORK, "missing.pem"), url],
             "--ca-file %s cannot be used" % os.path.join(WORK, "missing.pem")),
            (["--ca-file", empty, url], "--ca-file %s cannot be used" % empty),
            (["--file", WORK, url], "--file %s cannot be read: it is a directory" % WORK),
            (["--mirror-url", "https://localhost:1", url],
             "--mirror-url https://localhost:1 breaks a rule the build enforces: the URL names "
             "no file"),
            (["--launcher-publisher", "P", "--launcher-issuer", "0f" * 31 + "0g", url],
             "--launcher-issuer needs a CA certificate's SHA-256 fingerprint, 64 hex digits"),
            (["--launcher-issuer", "0F" * 32, url], "--launcher-issuer needs --launcher-publisher"),
        ]
        for args, reason in cases:
            r = subprocess.run([CHECK, *args], capture_output=True, text=True, timeout=30)
            self.assertEqual(r.returncode, 3, args)
            self.assertTrue(r.stderr.startswith("quorvel-check: " + (reason or "")), r.stderr)
            self.assertNotIn("cannot connect", r.stderr)  # judged before any connection


if __name__ == "__main__":
    unittest.main(verbosity=2)
