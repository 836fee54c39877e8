"""A CONNECT proxy on loopback answering as `mode` says: "open" (200, then a tunnel to `upstream`
whatever host was named), "403", "basic" (407 for a password), "ntlm" or "negotiate" (407 for the
Windows logon under that scheme, "negotiate" offering NTLM too: the three NTLM messages on one
connection, the third checked as the NTLMv2 answer of `logon`, a (domain, user, password), to the
challenge this connection was given; a logon that does not answer it gets a fresh 407 and counts in
`refused`, malformed messages are kept in `faults` and end the connection). GET /proxy.pac gets
`pac`. `requests` keeps each request's line and headers, `heads` each request's head as sent, with
the number of its connection."""

import base64
import hmac
import os
import socket
import struct
import threading

SIGNATURE = b"NTLMSSP\0"
AUTH = b"HTTP/1.1 407 Proxy Authentication Required\r\n%sContent-Length: 0\r\n\r\n"


def md4(data):
    """RFC 1320 (OpenSSL 3 leaves it out of hashlib)."""
    mask, bits = 0xFFFFFFFF, len(data) * 8
    data += b"\x80" + bytes((55 - len(data)) % 64) + struct.pack("<Q", bits)
    rounds = ((lambda b, c, d: b & c | ~b & d, 0, range(16), (3, 7, 11, 19)),
              (lambda b, c, d: b & c | b & d | c & d, 0x5A827999,
               [i // 4 + i % 4 * 4 for i in range(16)], (3, 5, 9, 13)),
              (lambda b, c, d: b ^ c ^ d, 0x6ED9EBA1,
               [0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15], (3, 9, 11, 15)))
    h = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476]
    for block in range(0, len(data), 64):
        x = struct.unpack_from("<16I", data, block)
        a, b, c, d = h
        for f, k, order, shifts in rounds:
            for i, j in enumerate(order):
                t = (a + f(b, c, d) + x[j] + k) & mask
                a, b, c, d = d, (t << shifts[i % 4] | t >> 32 - shifts[i % 4]) & mask, b, c
        h = [(v + w) & mask for v, w in zip(h, (a, b, c, d))]
    return struct.pack("<4I", *h)


def challenge_message(nonce):
    """A type 2 message: flags (Unicode, OEM, request target, NTLM, always sign, extended session
    security, target information), the nonce, and the target information an NTLMv2 answer covers
    (the domain's and the proxy's names)."""
    info = b"".join(struct.pack("<HH", kind, len(name) * 2) + name.encode("utf-16-le")
                    for kind, name in ((2, "QUORVEL"), (1, "PROXY"), (0, "")))
    return (SIGNATURE + struct.pack("<IHHII", 2, 0, 0, 48, 0x00888207) + nonce + bytes(8) +
            struct.pack("<HHI", len(info), len(info), 48) + info)


def ntlm_message(header, scheme, kind):
    """The NTLM message of that type in a "<scheme> <base64>" header whose security buffers (for
    type 3: responses, domain, user, workstation) lie inside it, else None."""
    name, _, token = (header or "").partition(" ")
    try:
        message = base64.b64decode(token, validate=True)
    except ValueError:
        return None
    fields = 5 if kind == 3 else 0
    if name.lower() != scheme or len(message) < 12 + 8 * fields or message[:8] != SIGNATURE:
        return None
    buffers = (struct.unpack_from("<HHI", message, 12 + 8 * i) for i in range(fields))
    if (struct.unpack_from("<I", message, 8)[0] != kind or
            any(offset + length > len(message) for length, _, offset in buffers)):
        return None
    return message


def field(message, index):
    length, _, offset = struct.unpack_from("<HHI", message, 12 + 8 * index)
    return message[offset:offset + length]


def answers(message, nonce, logon):
    """True when a type 3 message names `logon`'s domain and user and its NTProofStr is HMAC-MD5,
    under the key of that user's password, over the nonce and the client's blob (NTLMv2)."""
    domain, user, password = logon
    response, names = field(message, 1), [field(message, i).decode("utf-16-le") for i in (2, 3)]
    if len(response) <= 24 or [n.lower() for n in names] != [domain.lower(), user.lower()]:
        return False
    key = hmac.digest(md4(password.encode("utf-16-le")),
                      (names[1].upper() + names[0]).encode("utf-16-le"), "md5")
    return hmac.compare_digest(hmac.digest(key, nonce + response[16:], "md5"), response[:16])


class ConnectProxy:
    def __init__(self, upstream, mode="open", pac="", logon=("", "", "")):
        self.upstream, self.mode, self.pac, self.logon = upstream, mode, pac, logon
        self.requests, self.heads, self.faults = [], [], []
        self.connections = self.refused = 0
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]

    def start(self):
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def stop(self):
        self.listener.close()

    def connects(self):
        return [line for line, _ in self.requests if line.startswith("CONNECT ")]

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            threading.Thread(target=self._serve, args=(client, self.connections),
                             daemon=True).start()

    def _serve(self, client, connection):
        stream = client.makefile("rb")
        names = {"ntlm": b"NTLM", "negotiate": b"Negotiate"}
        offer = {"ntlm": b"Proxy-Authenticate: NTLM\r\n",
                 "negotiate": b"Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n"}
        nonce = None  # the challenge this connection was given, until its answer comes
        try:
            while True:
                lines = []
                while (text := stream.readline(16384).decode("latin-1")).strip():
                    lines.append(text)
                if not text or not lines:  # the connection ended
                    return
                self.heads.append((connection, "".join(lines) + "\r\n"))
                line, *fields = (text.rstrip("\r\n") for text in lines)
                headers = {k.strip().lower(): v.strip() for k, _, v in
                           (header.partition(":") for header in fields)}
                self.requests.append((line, headers))
                if line.startswith("GET /proxy.pac "):
                    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close"
                                   b"\r\n\r\n%s" % (len(self.pac), self.pac.encode()))
                    return
                if self.mode == "403":
                    client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    return
                if self.mode == "basic":
                    client.sendall(AUTH % b'Proxy-Authenticate: Basic realm="proxy"\r\n')
                    continue
                given, scheme = headers.get("proxy-authorization"), self.mode
                if scheme in offer:
                    if given is None and nonce is None:
                        client.sendall(AUTH % offer[scheme])
                        continue
                    message = ntlm_message(given, scheme, 1 if nonce is None else 3)
                    if message is None:
                        self.faults.append("message %d: %r" % (1 if nonce is None else 3, given))
                        return
                    if nonce is None:
                        nonce = os.urandom(8)
                        client.sendall(AUTH % b"Proxy-Authenticate: %s %s\r\n" % (
                            names[scheme], base64.b64encode(challenge_message(nonce))))
                        continue
                    if not answers(message, nonce, self.logon):
                        self.refused, nonce = self.refused + 1, None
                        client.sendall(AUTH % offer[scheme])
                        continue
                with socket.create_connection(self.upstream) as upstream:
                    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                    back = threading.Thread(target=pump, args=(upstream, client), daemon=True)
                    back.start()
                    pump(client, upstream)
                    back.join()
                return
        except OSError:
            pass
        finally:
            client.close()


def pump(source, sink):
    """Copies until the source ends, then ends the sink's direction."""
    try:
        while data := source.recv(65536):
            sink.sendall(data)
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass
