"""Scriptable TLS servers on loopback for the Schannel client tests.

A scenario is one line of `key=value` words, for example
    cert=localhost mode=http dribble=1
and is served by a Python `ssl` server driven through memory BIOs (so every byte put on the wire is
under the test's control) or, with tool=openssl, by `openssl s_server`.

Words:
  cert=NAME     certificate NAME.pem with key NAME.key from the test CA directory (default localhost;
                for NAME-chain.pem the whole file, leaf then issuers, is sent)
  min=, max=    TLS versions 1.0 1.1 1.2 1.3 accepted by the server
  mode=         http   answer one request with REPLY (headers only for HEAD), then wait for the
                       client's close_notify
                close  answer one request with REPLY and send close_notify at once
                hold   finish the handshake, then wait until the client goes away
                sink   read application data until the client ends, report the record sizes
                hello  read the ClientHello and close the TCP connection
  dribble=1     every byte (handshake and records) is written on its own, with a short pause
  split=1       every application-data write goes out in two pieces with a pause between them
  tool=openssl  openssl s_server -www on the given versions (one connection)
  interactive=1 with tool=openssl: no -www; each further line the test sends on the control
                connection is typed into s_server ("r" asks the client to renegotiate)

Events reported back (one line each): "ready PORT", "handshake-done", "handshake-failed REASON",
"request HEX", "client-close-notify", "client-eof", "records N N ...", "data HEX".
"""

import os
import socket
import ssl
import subprocess
import threading
import time

REPLY_BODY = b"Quorvel test body\n"
REPLY_HEAD = b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nETag: \"test\"\r\n\r\n" % len(REPLY_BODY)
REPLY = REPLY_HEAD + REPLY_BODY

VERSIONS = {
    "1.0": ssl.TLSVersion.TLSv1,
    "1.1": ssl.TLSVersion.TLSv1_1,
    "1.2": ssl.TLSVersion.TLSv1_2,
    "1.3": ssl.TLSVersion.TLSv1_3,
}
OPENSSL_FLAGS = {"1.0": "-tls1", "1.1": "-tls1_1", "1.2": "-tls1_2", "1.3": "-tls1_3"}


def parse_scenario(line):
    words = dict(w.split("=", 1) for w in line.split())
    words.setdefault("cert", "localhost")
    words.setdefault("mode", "http")
    return words


def cert_files(ca_dir, name):
    return os.path.join(ca_dir, name + ".pem"), os.path.join(ca_dir, name + ".key")


class ScenarioServer:
    """One scenario on a fresh loopback port; events go to `report(line)`."""

    def __init__(self, ca_dir, line, report):
        self.words = parse_scenario(line)
        self.ca_dir = ca_dir
        self.report = report
        self.proc = None
        self.stopping = False
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        if self.words.get("tool") == "openssl":
            self.listener.close()
            self._start_openssl()
        else:
            self.listener.listen(4)
            self.thread = threading.Thread(target=self._serve, daemon=True)
            self.thread.start()

    def stop(self):
        self.stopping = True
        if self.proc:
            self.proc.kill()
            self.proc.wait()
        else:
            try:
                self.listener.close()
            except OSError:
                pass

    # openssl s_server -----------------------------------------------------------------------
    def _start_openssl(self):
        cert, key = cert_files(self.ca_dir, self.words["cert"])
        version = self.words.get("max", self.words.get("min", "1.2"))
        cmd = ["openssl", "s_server", "-accept", "127.0.0.1:%d" % self.port, "-cert", cert,
               "-key", key, "-naccept", "1", OPENSSL_FLAGS[version]]
        # Interactive: lines the test sends are typed into s_server ("r" renegotiates).
        if self.words.get("interactive") != "1":
            cmd.append("-www")
        if version in ("1.0", "1.1"):
            cmd += ["-cipher", "DEFAULT@SECLEVEL=0"]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        for raw in self.proc.stdout:
            if raw.startswith(b"ACCEPT"):
                break
        threading.Thread(target=self.proc.stdout.read, daemon=True).start()

    def type_line(self, line):
        """A line for an interactive s_server."""
        if self.proc:
            self.proc.stdin.write(line.encode() + b"\n")
            self.proc.stdin.flush()

    # Python ssl server ----------------------------------------------------------------------
    def _context(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        cert, key = cert_files(self.ca_dir, self.words["cert"])
        ctx.load_cert_chain(cert, key)
        if "min" in self.words or "max" in self.words:
            ctx.set_ciphers("DEFAULT@SECLEVEL=0")
        if "min" in self.words:
            ctx.minimum_version = VERSIONS[self.words["min"]]
        if "max" in self.words:
            ctx.maximum_version = VERSIONS[self.words["max"]]
        return ctx

    def _serve(self):
        try:
            conn, _ = self.listener.accept()
        except OSError:
            return
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with conn:
            try:
                if self.words["mode"] == "hello":
                    conn.recv(65536)
                    return
                TlsSession(conn, self._context(), self.words, self.report).run()
            except (OSError, ssl.SSLError) as error:
                if not self.stopping:
                    self.report("error %s" % str(error).replace("\n", " "))


class TlsSession:
    def __init__(self, conn, ctx, words, report):
        self.conn = conn
        self.words = words
        self.report = report
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.incoming, self.outgoing, server_side=True)
        self.handshaking = True

    def send_pending(self):
        data = self.outgoing.read()
        if not data:
            return
        if self.words.get("dribble") == "1":
            for i in range(len(data)):
                self.conn.sendall(data[i : i + 1])
                time.sleep(0.0005)
        elif self.words.get("split") == "1" and not self.handshaking:
            half = len(data) // 2
            self.conn.sendall(data[:half])
            time.sleep(0.05)
            self.conn.sendall(data[half:])
        else:
            self.conn.sendall(data)

    def receive(self):
        try:
            data = self.conn.recv(65536)
        except ConnectionResetError:  # a client that goes away with data unread resets
            data = b""
        if data:
            self.incoming.write(data)
        else:
            self.incoming.write_eof()
        return bool(data)

    def read_app(self):
        """Plaintext of one record, b"" at the peer's close_notify, None at a bare TCP end."""
        while True:
            try:
                return self.tls.read(1 << 17)
            except ssl.SSLWantReadError:
                self.send_pending()
                if not self.receive():
                    return None
            except ssl.SSLZeroReturnError:
                return b""
            except ssl.SSLEOFError:
                return None

    def run(self):
        while True:
            try:
                self.tls.do_handshake()
                break
            except ssl.SSLWantReadError:
                self.send_pending()
                if not self.receive():
                    self.report("handshake-failed eof")
                    return
            except ssl.SSLError as error:
                self.send_pending()
                self.report("handshake-failed %s" % error.reason)
                return
        self.handshaking = False
        self.send_pending()
        self.report("handshake-done %s" % self.tls.version())
        getattr(self, "mode_" + self.words["mode"])()

    def request(self):
        data = b""
        while b"\r\n\r\n" not in data:
            piece = self.read_app()
            if not piece:
                self.report("client-eof" if piece is None else "client-close-notify")
                return None
            data += piece
        self.report("request " + data.hex())
        return data

    def finish(self):
        piece = self.read_app()
        while piece:
            piece = self.read_app()
        self.report("client-close-notify" if piece == b"" else "client-eof")
        if piece == b"":
            self.send_close_notify()

    def send_close_notify(self):
        try:
            self.tls.unwrap()
        except (ssl.SSLWantReadError, ssl.SSLError):
            pass
        self.send_pending()

    def mode_http(self):
        request = self.request()
        if request is None:
            return
        self.tls.write(REPLY_HEAD if request.startswith(b"HEAD ") else REPLY)
        self.send_pending()
        self.finish()

    def mode_close(self):
        if self.request() is None:
            return
        self.tls.write(REPLY)
        self.send_pending()
        self.send_close_notify()
        self.finish()

    def mode_hold(self):
        self.finish()

    def mode_sink(self):
        sizes, data = [], b""
        piece = self.read_app()
        while piece:
            sizes.append(len(piece))
            data += piece
            piece = self.read_app()
        self.report("records " + " ".join(map(str, sizes)))
        self.report("data " + data.hex())
        self.report("client-close-notify" if piece == b"" else "client-eof")
        if piece == b"":
            self.send_close_notify()
