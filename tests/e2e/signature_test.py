"""Launchers signed, unsigned and mis-signed, served in turn to the program built with and without
publisher names: with them, only a launcher signed by a named publisher through a chain the prefix
trusts is installed; without them, whatever matches its checksum is, as before.

Environment as for e2e_test.py, plus QUORVEL_SIGNED_EXE: the program built with the publishers
"Quorvel Test Publisher" and "Quorvel Test Publisher 2", and QUORVEL_CHECK: the host build's
quorvel-check, which must judge each served launcher as that program does.
"""

import datetime
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

import harness
from e2e_test import EXE, FAKE_SETUP, PREFIX, EndToEnd, crc64_of_data, read

sys.path.insert(0, os.path.join(harness.SOURCE_DIR, "tests", "support"))
from code_signing import SigningMaterial, TimestampAuthority  # noqa: E402

SIGNED_EXE = os.environ.get("QUORVEL_SIGNED_EXE", "")
CHECK = os.environ.get("QUORVEL_CHECK", "")
PUBLISHERS = ["Quorvel Test Publisher", "Quorvel Test Publisher 2"]
FAILED = "启动器签名检查失败 / launcher signature check failed: "
EXPIRY_SECONDS = 4  # the expiring certificate signs at once and has expired when it is served


def make_table(work):
    """[(name, bytes, why the program built with publishers refuses it, or None)]."""
    material = SigningMaterial(os.path.join(work, "certs"), PREFIX.ca_dir)
    expires = datetime.datetime.utcnow() + datetime.timedelta(seconds=EXPIRY_SECONDS)
    expiring = material.issue("expiring", "Quorvel Test Publisher", not_after=expires)[0]
    tsa = TimestampAuthority(material)
    try:
        def signed(name, cert, timestamp=False):
            path = os.path.join(work, name + ".exe")
            material.sign(FAKE_SETUP, path, cert, tsa.url if timestamp else None)
            return read(path)

        expired_ts = signed("expired-ts", expiring, timestamp=True)
        expired = signed("expired", expiring)
    finally:
        tsa.stop()
    renewed = material.issue("renewed", "Quorvel Test Publisher 2")[0]
    other = material.issue("other", "Someone Else")[0]
    untrusted = material.issue("untrusted", "Quorvel Test Publisher", issuer="unknown-ca")[0]
    changed = bytearray(signed("changed", renewed))
    changed[len(changed) // 2] ^= 0x01  # in the code, after signing
    while datetime.datetime.utcnow() <= expires:
        time.sleep(0.2)
    return [
        ("unsigned", read(FAKE_SETUP), "no signature"),
        ("one byte changed after signing", bytes(changed), "digest mismatch"),
        ("another name under the same CA", signed("other", other),
         'wrong publisher: signed by "Someone Else"'),
        ("a configured name under an untrusted CA", signed("untrusted", untrusted),
         "untrusted chain"),
        ("expired, no timestamp", expired, "expired without a timestamp"),
        ("expired, timestamped while valid", expired_ts, None),
        ("a configured name under the trusted CA", signed("renewed", renewed), None),
    ]


class Signatures(EndToEnd):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quorvel-signatures-")
        cls.table = make_table(cls.work)
        cls.crc = {name: crc64_of_data(data) for name, data, _ in cls.table}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_exe(self, exe):
        run = harness.Run(exe, PREFIX)
        self.runs.append(run)
        return run

    def test_with_publishers_only_their_signed_launcher_is_installed(self):
        refused = [(name, data, why) for name, data, why in self.table if why]
        accepted = [(name, data) for name, data, why in self.table if not why]
        served = refused + accepted[:1]
        srv = self.server(served[0][1], self.crc[served[0][0]]).start()
        run = self.run_exe(SIGNED_EXE)
        # Each refused launcher is served in turn to the same run, which retries after its pause;
        # the next one goes up as soon as the program has refused the last.
        for i, (name, _, why) in enumerate(refused):
            with self.subTest(name):
                deadline = time.monotonic() + 30
                while time.monotonic() < deadline and len(self.failures(run)) <= i:
                    time.sleep(0.05)
                self.serve(srv, served[i + 1])
                lines = self.failures(run)
                self.assertEqual(len(lines), i + 1, run.transcript())
                self.assertEqual(lines[i], FAILED + why, run.transcript())
                # Never copied or started; deleted within the pause.
                time.sleep(0.5)
                self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.bin")))
                self.assert_nothing_installed()
        self.assertNotIn("下载成功", run.out())
        at = [run.when(line) for line in self.failures(run)]
        self.assertTrue(all(b - a >= 3 for a, b in zip(at, at[1:])), run.transcript())

        for i, (name, data) in enumerate(accepted):
            with self.subTest(name):
                refusals = len(self.failures(run)) if i == 0 else 0
                if i:
                    PREFIX.clean()
                    self.serve(srv, accepted[i])
                    run = self.run_exe(SIGNED_EXE)
                self.assertEqual(self.finish(run), 0, run.transcript())
                self.assertIn("下载成功", run.out())
                self.assertEqual(len(self.failures(run)), refusals, run.transcript())
                self.assert_installed(data)

    def test_without_publishers_any_launcher_with_its_checksum_is_installed(self):
        srv = self.server(self.table[0][1], self.crc[self.table[0][0]]).start()
        for name, data, why in self.table:
            with self.subTest(name):
                PREFIX.clean()
                self.serve(srv, (name, data))
                line = self.check_signature(srv)
                expected = "FAIL      launcher signature: " + why if why else "ok        "
                self.assertTrue(line.startswith(expected), line)
                run = self.run_exe(EXE)
                self.assertEqual(self.finish(run), 0, run.transcript())
                self.assertEqual(run.err(), [])
                self.assert_installed(data)

    def check_signature(self, srv):
        """quorvel-check's signature line."""
        self.assertTrue(os.access(CHECK, os.X_OK), f"no quorvel-check at {CHECK!r}")
        args = [CHECK, "--ca-file", os.path.join(PREFIX.ca_dir, "ca.pem"), "--timeout", "10"]
        for name in PUBLISHERS:
            args += ["--launcher-publisher", name]
        out = subprocess.run(args + [srv.url], capture_output=True, text=True, timeout=60).stdout
        lines = [line for line in out.splitlines() if "launcher signature:" in line]
        self.assertEqual(len(lines), 1, out)
        return lines[0]

    def serve(self, srv, row):
        srv.replace_payload(row[1], self.crc[row[0]])

    @staticmethod
    def failures(run):
        return [line for line in run.err() if line.startswith(FAILED)]


if __name__ == "__main__":
    unittest.main()
