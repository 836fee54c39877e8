"""Code-signing material for the launcher signature tests: certificates under the test CA (and under
the CA no prefix trusts), Authenticode signing with osslsigncode, and an RFC 3161 time-stamping
authority on loopback built on `openssl ts`.
"""

import datetime
import http.server
import os
import subprocess
import threading

CONFIG = """[ca]
default_ca = test
[test]
database = {dir}/index.txt
serial = {dir}/serial
new_certs_dir = {dir}
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
[code]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[no_eku]
keyUsage = critical, digitalSignature
[tsa_cert]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = tsa_test
[tsa_test]
serial = {dir}/tsa.serial
signer_cert = {dir}/tsa.pem
signer_key = {dir}/key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
"""


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class SigningMaterial:
    """Certificates in `out_dir` for one key, issued by `ca_dir`/NAME.pem with NAME.key."""

    def __init__(self, out_dir, ca_dir):
        self.dir, self.ca_dir = out_dir, ca_dir
        os.makedirs(out_dir, exist_ok=True)
        self.config = os.path.join(out_dir, "openssl.cnf")
        with open(self.config, "w") as f:
            f.write(CONFIG.format(dir=out_dir))
        open(os.path.join(out_dir, "index.txt"), "w").close()
        for serial in ("serial", "tsa.serial"):
            with open(os.path.join(out_dir, serial), "w") as f:
                f.write("1000\n")
        self.key = os.path.join(out_dir, "key.pem")
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", self.key)

    def issue(self, name, cn, issuer="ca", extension="code", not_after=None):
        """NAME.pem for CN=cn, valid from 2020 until `not_after` (UTC; default in 30 days)."""
        not_after = not_after or datetime.datetime.utcnow() + datetime.timedelta(days=30)
        path, csr = (os.path.join(self.dir, name + ext) for ext in (".pem", ".csr"))
        openssl("req", "-new", "-key", self.key, "-subj", "/O=Quorvel Test/CN=" + cn, "-out", csr)
        openssl("ca", "-batch", "-config", self.config, "-extensions", extension, "-notext",
                "-cert", os.path.join(self.ca_dir, issuer + ".pem"),
                "-keyfile", os.path.join(self.ca_dir, issuer + ".key"),
                "-startdate", "20200101000000Z", "-enddate", not_after.strftime("%Y%m%d%H%M%SZ"),
                "-in", csr, "-out", path)
        return path

    def sign(self, source, target, cert, timestamp_url=None, extra=None):
        """Authenticode-signs `source` into `target` with `cert` (and those in the file `extra`)."""
        ts = (["-ts", timestamp_url] if timestamp_url else []) + (["-ac", extra] if extra else [])
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", self.key, "-h", "sha256",
                        *ts, "-in", source, "-out", target], check=True, stdout=subprocess.DEVNULL)


class TimestampAuthority:
    """An RFC 3161 time-stamping authority on 127.0.0.1, answering with `openssl ts -reply`."""

    def __init__(self, material):
        material.issue("tsa", "Quorvel Test TSA", extension="tsa_cert")
        config = material.config

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                        "/dev/stdin", "-out", "/dev/stdout"], input=query,
                                       capture_output=True, check=True).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
