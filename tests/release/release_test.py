#!/usr/bin/env python3
"""The publisher's release: scripts/release.sh built twice and compared, its signature, and what the
signed program is.

    release_test.py build WORK URL    two releases of these sources (one signed with a throw-away
                                      code-signing CA made here, one from a copy of the sources in
                                      another directory, later): byte-identical programs and debug
                                      files, the signature verifies and a changed byte breaks it,
                                      stripped with a debug link, checksum files right
    release_test.py version WORK PROBE PLAIN_EXE
                                      the version resource as Windows reads it, of the release and
                                      of the plain build (defaults)
The signed program's whole run is e2e_test.py's first run with QUORVEL_EXE set to it (CMakeLists).
"""

import hashlib
import os
import shutil
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run.sh")
OBJDUMP = "x86_64-w64-mingw32-objdump"

# Both releases carry the same date; the builds themselves happen at different times.
SOURCE_DATE_EPOCH = "1767225600"  # 2026-01-01
VERSION = "1.4.2"
COMPANY = 'Test "Publisher" \\ Co'

WORK = URL = PROBE = PLAIN_EXE = None


def run(cmd, **kw):
    result = subprocess.run(cmd, text=True, capture_output=True, **kw)
    if result.returncode != 0:
        raise AssertionError("%s: status %d\n%s%s" % (" ".join(cmd), result.returncode,
                                                       result.stdout[-3000:], result.stderr))
    return result


def read(path):
    with open(path, "rb") as f:
        return f.read()


def crc64_xz(data):
    table = [i for i in range(256)]
    for _ in range(8):
        table = [(c >> 1) ^ (0xC96C5795D7870F42 if c & 1 else 0) for c in table]
    crc = (1 << 64) - 1
    for b in data:
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc ^ ((1 << 64) - 1)


def make_signing_pki(pki):
    """A throw-away root and a code-signing certificate under it, as a PFX with a password file."""
    os.makedirs(pki, exist_ok=True)
    with open(os.path.join(pki, "ext.cnf"), "w") as f:
        f.write("[signer]\nbasicConstraints = CA:FALSE\nkeyUsage = critical, digitalSignature\n"
                "extendedKeyUsage = codeSigning\nsubjectKeyIdentifier = hash\n"
                "authorityKeyIdentifier = keyid\n")

    def p(name):
        return os.path.join(pki, name)

    for key in ("ca.key", "signer.key"):
        run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
             "-out", p(key)])
    run(["openssl", "req", "-x509", "-new", "-key", p("ca.key"), "-subj", "/CN=Quorvel Test Root",
         "-days", "2", "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign", "-out", p("ca.pem")])
    run(["openssl", "req", "-new", "-key", p("signer.key"), "-subj", "/CN=Quorvel Test Publisher",
         "-out", p("signer.csr")])
    run(["openssl", "x509", "-req", "-in", p("signer.csr"), "-CA", p("ca.pem"), "-CAkey",
         p("ca.key"), "-CAcreateserial", "-days", "2", "-extfile", p("ext.cnf"), "-extensions",
         "signer", "-out", p("signer.pem")])
    with open(p("pass.txt"), "w") as f:
        f.write("throw-away\n")
    run(["openssl", "pkcs12", "-export", "-inkey", p("signer.key"), "-in", p("signer.pem"),
         "-certfile", p("ca.pem"), "-passout", "pass:throw-away", "-out", p("signer.pfx")])
    return p("signer.pfx"), p("pass.txt"), p("ca.pem")


def release(source_dir, *args):
    env = dict(os.environ, SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
    return run(["bash", os.path.join(source_dir, "scripts", "release.sh"), "--url", URL,
                "--version", VERSION, "-DQUORVEL_COMPANY_NAME=" + COMPANY, *args], env=env)


def sections(exe):
    out = run([OBJDUMP, "-h", exe]).stdout
    return [line.split()[1] for line in out.splitlines() if line.split()[:1] and
            line.split()[0].isdigit()]


class Release(unittest.TestCase):
    def second_release_matches(self, exe):
        # The second release: a copy of the sources elsewhere, built with its own default
        # directories, unsigned.
        b_src = os.path.join(WORK, "b-src")
        shutil.rmtree(b_src, ignore_errors=True)
        files = run(["git", "-C", SOURCE_DIR, "ls-files", "-co", "--exclude-standard", "-z"]).stdout
        for name in filter(None, files.split("\0")):
            if os.path.isfile(os.path.join(SOURCE_DIR, name)):
                os.makedirs(os.path.dirname(os.path.join(b_src, name)), exist_ok=True)
                shutil.copy2(os.path.join(SOURCE_DIR, name), os.path.join(b_src, name))
        release(b_src)
        b_exe = os.path.join(b_src, "dist", "QuorvelSetup.exe")

        # The signature taken off, A is B but for osslsigncode's padding to 8 bytes before the
        # signature and the PE checksum, which covers the padding.
        unsigned = os.path.join(WORK, "a-unsigned.exe")
        if os.path.exists(unsigned):
            os.remove(unsigned)
        run(["osslsigncode", "remove-signature", "-in", exe, "-out", unsigned])
        a, b = read(unsigned), read(b_exe)
        self.assertEqual(a[len(b):], bytes(len(a) - len(b)))
        self.assertLess(len(a) - len(b), 8)
        checksum = int.from_bytes(b[0x3C:0x40], "little") + 4 + 20 + 64
        self.assertEqual(a[:checksum] + a[checksum + 4:len(b)], b[:checksum] + b[checksum + 4:],
                         "the two builds differ")
        self.assertEqual(read(exe + ".debug"), read(b_exe + ".debug"), "the debug files differ")

    def test_two_builds_match_and_the_signature_holds(self):
        pfx, pass_file, ca = make_signing_pki(os.path.join(WORK, "pki"))
        a_dist = os.path.join(WORK, "a-dist")
        signed = release(SOURCE_DIR, "--build-dir", os.path.join(WORK, "a-build"), "--dist",
                         a_dist, "--sign-pfx", pfx, "--sign-pass-file", pass_file,
                         "--verify-ca", ca)
        exe = os.path.join(a_dist, "QuorvelSetup.exe")
        lines = signed.stdout.splitlines()
        self.assertEqual(lines[0], "Release %s for %s:" % (VERSION, URL))
        self.assertTrue(lines[1].startswith("  %s  %d bytes, signed (Authenticode, SHA-256)"
                                            % (exe, os.path.getsize(exe))), lines)

        # What players get, signed, fits the program's limit with every feature in.
        self.assertLessEqual(os.path.getsize(exe), 400 * 1024, "over the 400 KiB limit")

        # CI builds on two Debian releases; one of them proves reproducibility (.ci/run).
        if os.environ.get("QUORVEL_REPRODUCIBILITY_ELSEWHERE"):
            print("second release and comparison: left to the other platform", file=sys.stderr)
        else:
            self.second_release_matches(exe)

        # Signed with SHA-256 by the throw-away publisher; one changed byte breaks it.
        verify = run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe]).stdout
        self.assertRegex(verify, r"Message digest algorithm *: SHA256")
        self.assertIn("Quorvel Test Publisher", verify)
        tampered = os.path.join(WORK, "tampered.exe")
        data = bytearray(read(exe))
        data[0x1000] ^= 1  # in .text
        with open(tampered, "wb") as f:
            f.write(data)
        bad = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", tampered],
                             capture_output=True, text=True)
        self.assertNotEqual(bad.returncode, 0, bad.stdout)

        # Stripped, with a debug link to the separate debug information.
        names = sections(exe)
        self.assertIn(".gnu_debuglink", names)
        self.assertEqual([n for n in names if n.startswith(".debug")], [])
        self.assertIn(b"QuorvelSetup.exe.debug\0", read(exe))
        self.assertIn(".debug_info", sections(exe + ".debug"))
        self.assertIn("no symbols", run([OBJDUMP, "-t", exe]).stdout)

        sums = read(os.path.join(a_dist, "SHA256SUMS")).decode()
        self.assertEqual(sums, "".join("%s  %s\n" % (hashlib.sha256(read(os.path.join(a_dist, n)))
                                                     .hexdigest(), n)
                                       for n in ("QuorvelSetup.exe", "QuorvelSetup.exe.debug")))
        self.assertEqual(read(exe + ".crc64").decode(), "%d\n" % crc64_xz(read(exe)))


class VersionInfo(unittest.TestCase):
    def probe(self, exe):
        env = dict(os.environ, WINEDEBUG="-all")
        out = subprocess.run([WINE_RUN, PROBE, exe], env=env, capture_output=True, check=True,
                             timeout=60).stdout.decode("utf-8")
        return [line.rstrip("\r") for line in out.splitlines()]

    def expected(self, version, numbers, company, copyright):
        return ["fixed file version=" + numbers, "fixed product version=" + numbers,
                "file type=1", "translation=0409 1200",
                "CompanyName=" + company, "FileDescription=Quorvel Setup",
                "FileVersion=" + version, "InternalName=QuorvelSetup",
                "LegalCopyright=" + copyright, "OriginalFilename=QuorvelSetup.exe",
                "ProductName=Quorvel", "ProductVersion=" + version]

    def test_release_and_plain_build(self):
        self.assertEqual(self.probe(os.path.join(WORK, "a-dist", "QuorvelSetup.exe")),
                         self.expected(VERSION, "1.4.2.0", COMPANY,
                                       "Copyright © 2026 " + COMPANY))
        # The plain build's defaults; its year is the year it was configured in.
        plain = self.probe(PLAIN_EXE)
        self.assertRegex(plain[8], r"^LegalCopyright=Copyright © 20\d\d Brisko$")
        plain[8] = "LegalCopyright=?"
        self.assertEqual(plain, self.expected("1.0.0", "1.0.0.0", "Brisko", "?"))


if __name__ == "__main__":
    mode = sys.argv.pop(1)
    if mode == "build":
        WORK, URL = os.path.abspath(sys.argv.pop(1)), sys.argv.pop(1)
        os.makedirs(WORK, exist_ok=True)
        unittest.main(defaultTest="Release", verbosity=2)
    else:
        WORK, PROBE, PLAIN_EXE = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
        unittest.main(defaultTest="VersionInfo", verbosity=2)
