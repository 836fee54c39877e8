"""Code-signing material for the launcher signature tests: certificates under the test CA (and under
the CA no prefix trusts), Authenticode signing with osslsigncode, and an RFC 3161 time-stamping
authority on loopback built on `openssl ts`.
"""

import datetime
import http.server
import os
import subprocess
import tempfile
import threading

EXTENSIONS = """[code]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[tsa]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
"""

TSA_CONFIG = """[tsa]
default_tsa = test
[test]
serial = {dir}/tsa.serial
crypto_device = builtin
signer_cert = {dir}/tsa.pem
signer_key = {dir}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


class SigningMaterial:
    """Certificates in `out_dir`, issued by the root `ca_dir`/NAME.pem with NAME.key."""

    def __init__(self, out_dir, ca_dir):
        self.dir = out_dir
        self.ca_dir = ca_dir
        os.makedirs(out_dir, exist_ok=True)
        with open(os.path.join(out_dir, "ext.cnf"), "w") as f:
            f.write(EXTENSIONS)

    def issue(self, name, cn, issuer="ca", extension="code", not_after=None):
        """NAME.pem/.key for CN=cn, valid from 2020 until `not_after` (a UTC datetime; default in
        30 days)."""
        not_after = not_after or datetime.datetime.utcnow() + datetime.timedelta(days=30)
        key = name + ".key"
        openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", key,
                cwd=self.dir)
        openssl("req", "-new", "-key", key, "-subj", "/O=Quorvel Test/CN=" + cn, "-out",
                name + ".csr", cwd=self.dir)
        db = tempfile.mkdtemp(dir=self.dir)
        open(os.path.join(db, "index.txt"), "w").close()
        with open(os.path.join(db, "serial"), "w") as f:
            f.write(os.urandom(8).hex() + "\n")
        with open(os.path.join(db, "ca.cnf"), "w") as f:
            f.write(f"""[ca]
default_ca = test
[test]
database = {db}/index.txt
serial = {db}/serial
new_certs_dir = {db}
certificate = {self.ca_dir}/{issuer}.pem
private_key = {self.ca_dir}/{issuer}.key
default_md = sha256
policy = anything
unique_subject = no
[anything]
commonName = supplied
organizationName = optional
""")
        openssl("ca", "-batch", "-config", os.path.join(db, "ca.cnf"), "-extfile", "ext.cnf",
                "-extensions", extension, "-notext", "-startdate", "20200101000000Z",
                "-enddate", not_after.strftime("%Y%m%d%H%M%SZ"), "-in", name + ".csr", "-out",
                name + ".pem", cwd=self.dir)
        return os.path.join(self.dir, name + ".pem"), os.path.join(self.dir, key)

    def sign(self, source, target, cert, timestamp_url=None):
        """Authenticode-signs `source` into `target` with cert (and its .key beside it)."""
        key = cert[:-len(".pem")] + ".key"
        args = ["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
                "-in", source, "-out", target]
        if timestamp_url:
            args += ["-ts", timestamp_url]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)


class TimestampAuthority:
    """An RFC 3161 time-stamping authority on 127.0.0.1, answering with `openssl ts -reply`."""

    def __init__(self, material):
        self.material = material
        material.issue("tsa", "Quorvel Test TSA", extension="tsa")
        with open(os.path.join(material.dir, "tsa.cnf"), "w") as f:
            f.write(TSA_CONFIG.format(dir=material.dir))
        with open(os.path.join(material.dir, "tsa.serial"), "w") as f:
            f.write("01\n")
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = authority.reply(query)
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

    def reply(self, query):
        d = self.material.dir
        with tempfile.NamedTemporaryFile(dir=d, suffix=".tsq") as q:
            q.write(query)
            q.flush()
            subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(d, "tsa.cnf"),
                            "-queryfile", q.name, "-out", q.name + ".tsr"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(q.name + ".tsr", "rb") as f:
            reply = f.read()
        os.remove(q.name + ".tsr")
        return reply

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
