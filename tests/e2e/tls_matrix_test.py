"""Bad certificates through the whole program, under Windows 7 and Windows 10 credentials: each is
rejected with its own code, the run keeps retrying, and no download ever starts (no GET reaches the
server and no download file is created).

Environment as for e2e_test.py. Run one case: tls_matrix_test.py TlsMatrix.test_<name>_<win7|win10>.
"""

import os
import time
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import PORT, PREFIX, payload

# Certificate files of tests/support/make_test_ca.sh and the code Schannel's policy must report.
CASES = {
    "other_host": ("other-host", 0x800B010F),      # CERT_E_CN_NO_MATCH
    "self_signed": ("self-signed", 0x800B0109),    # CERT_E_UNTRUSTEDROOT
    "expired": ("expired", 0x800B0101),            # CERT_E_EXPIRED
    "unknown_ca_chain": ("unknown-chain", 0x800B0109),
    "unknown_ca_leaf_only": ("unknown-leaf", 0x800B010A),  # CERT_E_CHAINING
}


def signed(code):
    return code - (1 << 32) if code & 0x80000000 else code


class TlsMatrix(unittest.TestCase):
    def check(self, cert_name, code, version):
        PREFIX.clean()
        PREFIX.set_windows_version("QuorvelSetup.exe", version)
        self.addCleanup(PREFIX.set_windows_version, "QuorvelSetup.exe", None)
        data = payload(16 * 1024)
        srv = harness.NginxServer(data, os.path.join(PREFIX.ca_dir, cert_name + ".pem"),
                                  os.path.join(PREFIX.ca_dir, cert_name + ".key"), 1, port=PORT)
        self.addCleanup(srv.stop)
        srv.start()
        run = harness.Run(os.environ["QUORVEL_EXE"], PREFIX)
        self.addCleanup(run.kill)
        def failures():
            return [line for line in run.err() if line.startswith("下载失败: ")]

        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len(failures()) < 2:
            time.sleep(0.1)
        run.kill()
        self.assertGreaterEqual(len(failures()), 2, run.transcript())
        # The code's text is the system's message, or the fallback where it has none (Wine).
        texts = ("(os error %d)" % signed(code), "OS Error %d (" % signed(code))
        for line in failures()[:2]:
            self.assertTrue(any(t in line for t in texts), f"{line!r} lacks code {code:#x}")
        self.assertEqual([l for l in srv.access_log()], [], "a request got through")
        self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.bin")))
        self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe")))


def make_case(cert_name, code, version):
    return lambda self: self.check(cert_name, code, version)


for name, (cert_name, code) in CASES.items():
    for version in ("win7", "win10"):
        setattr(TlsMatrix, f"test_{name}_{version}", make_case(cert_name, code, version))


if __name__ == "__main__":
    unittest.main(verbosity=2)
