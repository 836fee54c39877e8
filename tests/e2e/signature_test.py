"""Launchers signed, unsigned and mis-signed, served in turn to the program built with and without
publisher names: with them, only a launcher signed by a named publisher through a chain the prefix
trusts (and, built with a CA, from that CA) is installed; without them, whatever matches its
checksum is, as before.

Environment as for e2e_test.py, plus QUORVEL_SIGNED_EXE (the program built with PUBLISHERS),
QUORVEL_ISSUER_EXE (also with the CA QUORVEL_ISSUER_PLACEHOLDER) and QUORVEL_CHECK (a native build's
quorvel-check, which must judge each launcher as that program does).
"""

import datetime
import glob
import hashlib
import os
import re
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import EXE, FAKE_SETUP, PREFIX, EndToEnd, crc64_of_data, read

from code_signing import SigningMaterial, TimestampAuthority  # noqa: E402

SIGNED_EXE = os.environ.get("QUORVEL_SIGNED_EXE", "")
ISSUER_EXE = os.environ.get("QUORVEL_ISSUER_EXE", "")
PLACEHOLDER = os.environ.get("QUORVEL_ISSUER_PLACEHOLDER", "").encode()
CHECK = os.environ.get("QUORVEL_CHECK", "")
PUBLISHERS = ["Quorvel Test Publisher", "Quorvel Test Publisher 2"]
REFUSED = "启动器签名检查失败 / launcher signature check failed: "


def make_table(work):
    """[(name, bytes, CRC-64, why the program built with publishers refuses it, or None)]."""
    material = SigningMaterial(work, PREFIX.ca_dir)
    # Signs at once and has expired when it is served.
    expires = datetime.datetime.utcnow() + datetime.timedelta(seconds=3)
    expiring = material.issue("expiring", PUBLISHERS[0], not_after=expires)
    tsa = TimestampAuthority(material)

    def signed(cert, timestamp=False):
        path = os.path.join(work, "signed.exe")
        material.sign(FAKE_SETUP, path, cert, tsa.url if timestamp else None)
        data = read(path)
        os.remove(path)
        return data

    expired_ts, expired = signed(expiring, timestamp=True), signed(expiring)
    while datetime.datetime.utcnow() <= expires:
        time.sleep(0.2)
    # Timestamped after the expiry, the token's time then moved back into the validity.
    late = bytearray(signed(expiring, timestamp=True))
    gen_time = re.findall(rb"\x18\x0f\d{14}Z", late)
    assert len(gen_time) == 1, gen_time
    at = late.index(gen_time[0]) + 2
    late[at:at + 14] = (expires - datetime.timedelta(seconds=2)).strftime("%Y%m%d%H%M%S").encode()
    tsa.stop()
    renewed = signed(material.issue("renewed", PUBLISHERS[1]))
    changed = bytearray(renewed)
    changed[len(changed) // 2] ^= 0x01  # in the code, after signing
    rows = [
        ("unsigned", read(FAKE_SETUP), "no signature"),
        ("one byte changed after signing", bytes(changed), "digest mismatch"),
        ("the signature moved onto another program, its image digest patched",
         moved_signature(work, renewed), "digest mismatch"),
        ("bytes after the certificate table", renewed + b"MZ\x90\x00",
         "signature unreadable (bytes follow the certificate table)"),
        ("another name under the same CA", signed(material.issue("other", "Someone Else")),
         'wrong publisher: signed by "Someone Else"'),
        ("a configured name under an untrusted CA",
         signed(material.issue("untrusted", PUBLISHERS[0], issuer="unknown-ca")),
         "untrusted chain"),
        ("a configured name on a certificate without key usages",
         signed(material.issue("no-usage", PUBLISHERS[0], extension="no_eku")), "untrusted chain"),
        ("expired, no timestamp", expired, "expired without a timestamp"),
        ("expired, its timestamp's time rewritten", bytes(late), "expired without a timestamp"),
        ("expired, timestamped while valid", expired_ts, None),
        ("a configured name under the trusted CA", renewed, None),
    ]
    return [(name, data, crc64_of_data(data), why) for name, data, why in rows]


def moved_signature(work, signed_data):
    """`signed_data`'s signature on another program (the stand-in setup with code of its own
    appended), the signed image digest patched to that program's: every length stays, only
    messageDigest no longer covers the signed content."""
    names = ("a.exe", "a.der", "other.exe", "moved.exe")
    source, signature, other, target = (os.path.join(work, n) for n in names)
    for path, data in ((source, signed_data), (other, read(FAKE_SETUP) + b"\xCC" * 4096)):
        with open(path, "wb") as f:
            f.write(data)
    subprocess.run(["osslsigncode", "extract-signature", "-in", source, "-out", signature],
                   check=True, capture_output=True)
    # Attaching checks the result and fails, as it should; the file is written all the same.
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", signature, "-in", other,
                    "-out", target], capture_output=True)
    report = subprocess.run(["osslsigncode", "verify", "-in", target], capture_output=True,
                            text=True).stdout
    current, calculated = (bytes.fromhex(re.search(kind + r" message digest\s*: (\w+)",
                                                   report).group(1))
                           for kind in ("Current", "Calculated"))
    data = read(target)
    assert data.count(current) == 1
    return data.replace(current, calculated)


class Signatures(EndToEnd):
    @classmethod
    def setUpClass(cls):
        work = tempfile.TemporaryDirectory(prefix="quorvel-signatures-")
        cls.addClassCleanup(work.cleanup)
        cls.table = make_table(work.name)

    def run_exe(self, exe):
        run = harness.Run(exe, PREFIX)
        self.runs.append(run)
        return run

    def test_with_publishers_only_their_signed_launcher_is_installed(self):
        srv = self.server(self.table[0][1], self.table[0][2]).start()
        self.assert_only_accepted_installed(srv, SIGNED_EXE, self.table)

    def test_with_an_issuer_only_the_names_from_that_ca_are_installed(self):
        work = tempfile.TemporaryDirectory(prefix="quorvel-issuer-")
        self.addCleanup(work.cleanup)
        material, rows, path = SigningMaterial(work.name, PREFIX.ca_dir), [], work.name + "/s.exe"
        for ca, why in (("ca", 'wrong publisher: issued by "Quorvel Test Root"'),
                        ("intermediate", None)):  # the program's one CA
            material.sign(FAKE_SETUP, path, material.issue(ca, PUBLISHERS[0], issuer=ca),
                          extra=os.path.join(PREFIX.ca_dir, ca + ".pem"))
            data = read(path)
            os.remove(path)
            rows.append(("a configured name from " + ca, data, crc64_of_data(data), why))
        # The CA is made after the build: the program built with a placeholder gets its fingerprint.
        with open(os.path.join(PREFIX.ca_dir, "intermediate.pem")) as f:
            fingerprint = hashlib.sha256(ssl.PEM_cert_to_DER_cert(f.read())).hexdigest()
        program, exe = read(ISSUER_EXE), work.name + "/QuorvelSetup.exe"
        self.assertEqual(program.count(PLACEHOLDER), 1)
        with open(exe, "wb") as f:
            f.write(program.replace(PLACEHOLDER, fingerprint.encode()))
        srv = self.server(rows[1][1], rows[1][2]).start()
        for _, data, crc, why in reversed(rows):  # quorvel-check judges each as the program does
            srv.replace_payload(data, crc)
            line = self.check_signature(srv, ["--launcher-issuer", fingerprint.upper()])
            self.assertTrue(line.startswith(("FAIL      launcher signature: " + why) if why
                                            else "ok        launcher signature: "), line)
        self.assert_only_accepted_installed(srv, exe, rows)

    def assert_only_accepted_installed(self, srv, exe, table):
        """`exe` served by `srv` (serving the first) the refused launchers of `table` in turn,
        then each accepted one."""
        refused = [row for row in table if row[3]]
        accepted = [row for row in table if not row[3]]
        run = self.run_exe(exe)
        # One run gets each refused launcher in turn, retrying after each pause; the next one goes
        # up as soon as the last was refused, the first accepted one last.
        for i, (name, _, _, why) in enumerate(refused):
            with self.subTest(name):
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline and len(self.refusals(run)) <= i:
                    time.sleep(0.05)
                srv.replace_payload(*(refused + accepted)[i + 1][1:3])
                self.assertEqual(self.refusals(run)[i:], [REFUSED + why], run.transcript())
                time.sleep(0.5)  # deleted within the pause, never copied or started
                self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.bin")))
                self.assert_nothing_installed()
        with run.lock:
            at = [t for t, n, line in run.lines if n == "err" and line.startswith(REFUSED)]
        self.assertTrue(all(b - a >= 3 for a, b in zip(at, at[1:])), run.transcript())

        for i, (name, data, crc, _) in enumerate(accepted):
            with self.subTest(name):
                if i:
                    PREFIX.clean()
                    srv.replace_payload(data, crc)
                    run = self.run_exe(exe)
                self.assertEqual(self.finish(run), 0, run.transcript())
                self.assertEqual(len(self.refusals(run)), 0 if i else len(refused))
                self.assertIn("下载成功", run.out())
                self.assert_installed(data)

    def test_closing_the_window_while_the_signature_is_checked_ends_with_status_0(self):
        # Large enough that the check, which reads the file after the checksum pass did, takes
        # seconds; the window is closed as soon as that second read begins.
        work = tempfile.TemporaryDirectory(prefix="quorvel-big-")
        self.addCleanup(work.cleanup)
        work = work.name
        material = SigningMaterial(work, PREFIX.ca_dir)
        unsigned, signed = os.path.join(work, "big.exe"), os.path.join(work, "signed.exe")
        with open(unsigned, "wb") as f:
            f.write(read(FAKE_SETUP) + bytes(64 << 20))
        material.sign(unsigned, signed, material.issue("big", PUBLISHERS[0]))
        data = read(signed)
        self.server(data, crc64_of_data(data)).start()
        run = self.run_exe(SIGNED_EXE)
        window = harness.find_window(self.display)
        self.assertTrue(run.wait_for_line("下载完成！", 60), run.transcript())
        path = os.path.realpath(PREFIX.temp("QuorvelLauncher.bin"))
        opened, held, deadline = 0, False, time.monotonic() + 30
        while opened < 2 and time.monotonic() < deadline and run.proc.poll() is None:
            now = self.file_held(path)
            opened += now and not held
            held = now
            time.sleep(0.005)
        self.assertEqual(opened, 2, run.transcript())
        harness.close_window(self.display, window)
        self.assertEqual(self.finish(run, 30), 0, run.transcript())
        self.assertNotIn("下载成功", run.out())
        self.assertEqual(run.err(), [])
        self.assert_nothing_installed()

    @staticmethod
    def file_held(path):
        """Whether a program of this test has `path` open."""
        for proc in glob.glob("/proc/[0-9]*"):
            try:
                with open(proc + "/cmdline", "rb") as f:
                    if b"QuorvelSetup" not in f.read():
                        continue
            except OSError:
                continue
            for fd in glob.glob(proc + "/fd/*"):
                try:
                    if os.readlink(fd) == path:
                        return True
                except OSError:
                    pass
        return False

    def test_without_publishers_any_launcher_with_its_checksum_is_installed(self):
        srv = self.server(self.table[0][1], self.table[0][2]).start()
        for name, data, crc, why in self.table:
            with self.subTest(name):
                PREFIX.clean()
                srv.replace_payload(data, crc)
                line = self.check_signature(srv)
                self.assertTrue(line.startswith("FAIL      launcher signature: " + why if why
                                                else "ok        launcher signature: "), line)
                run = self.run_exe(EXE)
                self.assertEqual(self.finish(run), 0, run.transcript())
                self.assertEqual(run.err(), [])
                self.assert_installed(data)

    def check_signature(self, srv, more=()):
        """quorvel-check's signature line for the served launcher."""
        self.assertTrue(os.access(CHECK, os.X_OK), f"no quorvel-check at {CHECK!r}")
        args = [CHECK, "--ca-file", os.path.join(PREFIX.ca_dir, "ca.pem"), "--timeout", "10"]
        for name in PUBLISHERS:
            args += ["--launcher-publisher", name]
        out = subprocess.run(args + [*more, srv.url], capture_output=True, text=True,
                             timeout=60).stdout
        lines = [line for line in out.splitlines() if "launcher signature:" in line]
        self.assertEqual(len(lines), 1, out)
        return lines[0]

    @staticmethod
    def refusals(run):
        return [line for line in run.err() if line.startswith(REFUSED)]


if __name__ == "__main__":
    unittest.main()
