"""A download server on loopback that misbehaves on purpose, over TLS with the test CA.

It serves the launcher like the real host (HEAD with Content-Length, ETag and the checksum header;
GET with Range) but injects one fault into the first `times` exchanges it applies to, then behaves.
Every request is recorded as (method, range header or None), and every GET's body as [first byte,
bytes sent before a cut].

Faults:
  refuse            nothing listens until the fault is used up (the port is opened later)
  accept_reset      reset (RST) each connection the moment it is accepted
  body_cut=N        GET body: close the connection after N body bytes ("half", "last" allowed)
  body_reset=N      GET body: reset (RST) the connection after N body bytes
  cut_new_etag=N    as body_cut, and from the cut on the file has another entity tag
  hello_eof         close the TCP connection right after reading the ClientHello
  head_302          HEAD answered with a redirect
  head_http10       HEAD answered "HTTP/1.0 200 OK"
  head_lowercase    HEAD carries "content-length:" in lower case
  get_416           GET answered 416
  range_ignored     a ranged GET answered 200 with the whole file
  wrong_crc         the checksum header is wrong
  head_503=N        HEAD answered 503 with "Retry-After: N"
  no_crc            no checksum header
  no_etag           no ETag header
  bad_utf8          the HEAD reply holds bytes that are not UTF-8
  huge_head         the HEAD reply is 1 MiB of header lines
  slow_head         the HEAD reply is sent one byte per millisecond
  head_kept_open    the HEAD reply is sent, then the connection is held open until the client goes
  trickle_head      the HEAD reply is sent one byte every half second
  head_body         the HEAD reply is followed by the file, as if it were a GET
  etag_each_head    each HEAD reply carries another ETag, as mirrors that tag differently would
  get_bare_lf       the GET reply's head ends its lines with bare line feeds
  tls11_only        the server speaks TLS 1.0 and 1.1 only (every exchange)
"""

import socket
import ssl
import struct
import threading
import time

PATH = "/Download/Micro/QuorvelLauncher.exe"


class FaultServer:
    def __init__(self, payload, cert, key, crc, fault, times=1, port=0, etag='"q-1"'):
        self.payload, self.crc, self.etag = payload, crc, etag
        self.fault, self.left = fault, times
        self.requests = []
        self.bodies = []
        self.lock = threading.Lock()
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(cert, key)
        if fault == "tls11_only":
            self.context.set_ciphers("ALL:@SECLEVEL=0")
            self.context.minimum_version = ssl.TLSVersion.TLSv1
            self.context.maximum_version = ssl.TLSVersion.TLSv1_1
        self.heads = 0
        self.port = port
        self.listener = None
        self.stopping = False
        self.thread = None

    # Fault bookkeeping -------------------------------------------------------------------------

    def _take(self, *names):
        """True when the current fault is one of `names` and not used up; uses one occurrence."""
        with self.lock:
            kind = self.fault.split("=")[0]
            if kind in names and self.left > 0:
                self.left -= 1
                return True
            return False

    def active(self):
        with self.lock:
            return self.left > 0

    # Serving -----------------------------------------------------------------------------------

    def start(self):
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self.port = self.listener.getsockname()[1]
        if self.fault == "refuse":
            self.listener.close()
            self.listener = None
            return self
        self._listen()
        return self

    def open_port(self):
        """For the refuse fault: start listening now."""
        with self.lock:
            self.left = 0
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port))
        self._listen()

    def _listen(self):
        self.listener.listen(8)
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def stop(self):
        self.stopping = True
        if self.listener:
            try:
                self.listener.close()
            except OSError:
                pass

    def _accept(self):
        while not self.stopping:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            if self._take("accept_reset"):
                self._reset(conn)
                continue
            threading.Thread(target=self._serve, args=(conn,), daemon=True).start()

    def _serve(self, raw):
        try:
            if self._take("hello_eof"):
                raw.recv(4096)
                raw.close()
                return
            conn = self.context.wrap_socket(raw, server_side=True)
            request = b""
            while b"\r\n\r\n" not in request:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                request += chunk
            lines = request.decode("latin-1").split("\r\n")
            method = lines[0].split(" ")[0]
            rng = next((l.split(":", 1)[1].strip() for l in lines if l.startswith("Range:")), None)
            with self.lock:
                self.requests.append((method, rng))
            if method == "HEAD":
                self._head(conn)
            else:
                self._get(conn, rng)
        except (OSError, ssl.SSLError):
            pass
        finally:
            try:
                raw.close()
            except OSError:
                pass

    def _headers(self, status, length, extra=()):
        lines = [status, "Server: fault", "Content-Length: %d" % length]
        lines += list(extra)
        return lines

    def _head(self, conn):
        crc_line = "x-oss-hash-crc64ecma: %d" % self.crc
        etag_line = "ETag: " + self.etag
        with self.lock:
            self.heads += 1
        if self._take("etag_each_head"):
            etag_line = 'ETag: "q-%d"' % self.heads
        if self._take("head_503"):
            lines = ["HTTP/1.1 503 Service Unavailable",
                     "Retry-After: " + self.fault.partition("=")[2], "Content-Length: 0"]
        elif self._take("head_302"):
            lines = ["HTTP/1.1 302 Found", "Location: https://elsewhere.invalid/",
                     "Content-Length: 0"]
        elif self._take("head_http10"):
            lines = self._headers("HTTP/1.0 200 OK", len(self.payload), [etag_line, crc_line])
        elif self._take("head_lowercase"):
            lines = ["HTTP/1.1 200 OK", "content-length: %d" % len(self.payload), etag_line,
                     crc_line]
        elif self._take("wrong_crc"):
            lines = self._headers("HTTP/1.1 200 OK", len(self.payload),
                                  [etag_line, "x-oss-hash-crc64ecma: %d" % (self.crc ^ 1)])
        elif self._take("no_crc"):
            lines = self._headers("HTTP/1.1 200 OK", len(self.payload), [etag_line])
        elif self._take("no_etag"):
            lines = self._headers("HTTP/1.1 200 OK", len(self.payload), [crc_line])
        else:
            lines = self._headers("HTTP/1.1 200 OK", len(self.payload), [etag_line, crc_line])
        reply = ("\r\n".join(lines) + "\r\nConnection: close\r\n\r\n").encode()
        if self._take("bad_utf8"):
            reply = reply.replace(b"Server: fault", b"Server: \xff\xfe")
        if self._take("huge_head"):
            filler = b"X-Filler: " + b"a" * 1000 + b"\r\n"
            reply = reply.replace(b"\r\n\r\n", b"\r\n" + filler * 1024 + b"\r\n")
        if self._take("head_body"):
            reply += self.payload
        if self._take("slow_head", "trickle_head"):
            pause = 0.5 if self.fault == "trickle_head" else 0.001
            for i in range(len(reply)):
                conn.sendall(reply[i:i + 1])
                time.sleep(pause)
        else:
            conn.sendall(reply)
        if self._take("head_kept_open"):
            while conn.recv(4096):
                pass
            return
        self._close(conn)

    def _get(self, conn, rng):
        start = 0
        if rng and rng.startswith("bytes=") and rng.endswith("-"):
            start = int(rng[6:-1])
        if self._take("get_416") or start > len(self.payload):
            conn.sendall(b"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n"
                         b"Connection: close\r\n\r\n")
            self._close(conn)
            return
        if start and self._take("range_ignored"):
            start = 0
            status = "HTTP/1.1 200 OK"
        else:
            status = "HTTP/1.1 206 Partial Content" if start else "HTTP/1.1 200 OK"
        body = self.payload[start:]
        sent = [start, 0]
        with self.lock:
            self.bodies.append(sent)
        head = "%s\r\nContent-Length: %d\r\nETag: %s\r\nConnection: close\r\n\r\n" % (
            status, len(body), self.etag)
        if self._take("get_bare_lf"):
            head = head.replace("\r\n", "\n")
        conn.sendall(head.encode())
        cut = self._cut_point(len(body))
        if cut is not None:
            kind, n = cut
            conn.sendall(body[:n])
            sent[1] = n
            if kind == "cut_new_etag":
                self.etag = '"q-2"'
            if kind == "body_reset":
                self._reset(conn)
            else:
                conn.close()
            return
        for i in range(0, len(body), 65536):
            conn.sendall(body[i:i + 65536])
        self._close(conn)

    def _cut_point(self, body_length):
        kind, _, value = self.fault.partition("=")
        if kind not in ("body_cut", "body_reset", "cut_new_etag"):
            return None
        n = {"half": body_length // 2, "last": body_length - 1}.get(value)
        n = int(value) if n is None else n
        if n >= body_length or not self._take(kind):
            return None
        return kind, n

    @staticmethod
    def _reset(conn):
        # SO_LINGER with a zero timeout turns the close into a reset.
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.close()

    @staticmethod
    def _close(conn):
        try:
            conn.unwrap()
        except (OSError, ssl.SSLError, ValueError):
            pass
