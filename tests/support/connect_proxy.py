"""A CONNECT proxy on loopback for the proxy tests.

Each CONNECT is answered as the mode says: "open" (200, then the tunnel is relayed byte for byte to
`upstream`, whatever host the request named: the program's own name for the host resolves to an
address where nothing listens), "403", "basic" (407 asking for a password) or "ntlm" (407 asking for
the Windows logon; the three NTLM messages are checked for their form, then the tunnel opens). A
plain GET of /proxy.pac is answered with `pac`, the auto-config script. Everything asked is kept in
`requests` (request line and headers of each request, in order) and any malformed NTLM message in
`faults`.
"""

import base64
import socket
import struct
import threading

SIGNATURE = b"NTLMSSP\0"
# A challenge with no target name or information: signature, type 2, empty target name at 48,
# flags (Unicode, OEM, request target, NTLM, always sign, extended session security), challenge.
CHALLENGE = (SIGNATURE + struct.pack("<IHHIII", 2, 0, 0, 48, 0x00088207, 0) +
             bytes(range(1, 9)) + bytes(8) + struct.pack("<HHI", 0, 0, 48))


def ntlm_message(header, expected_type):
    """The decoded message of a "NTLM <base64>" header value when it has the form of an NTLM
    message of that type (for type 3: its five security buffers inside the message), else None."""
    scheme, _, token = (header or "").partition(" ")
    if scheme.lower() != "ntlm":
        return None
    try:
        message = base64.b64decode(token, validate=True)
    except ValueError:
        return None
    if len(message) < 12 or message[:8] != SIGNATURE:
        return None
    if struct.unpack_from("<I", message, 8)[0] != expected_type:
        return None
    if expected_type == 3:
        if len(message) < 64:
            return None
        for field in range(5):  # LM and NT responses, domain, user, workstation
            length, _, offset = struct.unpack_from("<HHI", message, 12 + 8 * field)
            if offset + length > len(message):
                return None
    return message


class ConnectProxy:
    def __init__(self, upstream, mode="open", pac=""):
        self.upstream, self.mode, self.pac = upstream, mode, pac
        self.requests = []  # (request line, {header: value}) in arrival order
        self.faults = []
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]

    def start(self):
        self.listener.listen(16)
        threading.Thread(target=self._accept, daemon=True).start()
        return self

    def stop(self):
        self.listener.close()

    def connects(self):
        """The request line of every CONNECT, in order."""
        with self.lock:
            return [line for line, _ in self.requests if line.startswith("CONNECT ")]

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _head(self, stream):
        line = stream.readline(16384).decode("latin-1").rstrip("\r\n")
        if not line:
            return None, None
        headers = {}
        while True:
            header = stream.readline(16384).decode("latin-1").rstrip("\r\n")
            if not header:
                break
            name, _, value = header.partition(":")
            headers[name.strip().lower()] = value.strip()
        with self.lock:
            self.requests.append((line, headers))
        return line, headers

    def _serve(self, client):
        stream = client.makefile("rb")
        logon = 0  # NTLM messages seen on this connection
        try:
            while True:
                line, headers = self._head(stream)
                if line is None:
                    return
                if line.startswith("GET /proxy.pac "):
                    body = self.pac.encode()
                    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/x-ns-proxy-"
                                   b"autoconfig\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                                   % len(body) + body)
                    return
                if self.mode == "403":
                    client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n"
                                   b"Connection: close\r\n\r\n")
                    return
                if self.mode == "basic":
                    client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                   b"Proxy-Authenticate: Basic realm=\"proxy\"\r\n"
                                   b"Content-Length: 0\r\n\r\n")
                    continue
                if self.mode == "ntlm" and logon < 2:
                    given = headers.get("proxy-authorization")
                    if given is None and logon == 0:
                        client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                       b"Proxy-Authenticate: NTLM\r\nContent-Length: 0\r\n\r\n")
                        continue
                    if ntlm_message(given, logon + 1) is None:
                        with self.lock:
                            self.faults.append("message %d: %r" % (logon + 1, given))
                        client.sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                                       b"Connection: close\r\n\r\n")
                        return
                    logon += 1
                    if logon == 1:
                        client.sendall(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                                       b"Proxy-Authenticate: NTLM " +
                                       base64.b64encode(CHALLENGE) + b"\r\nContent-Length: 0\r\n\r\n")
                        continue
                upstream = socket.create_connection(self.upstream, timeout=10)
                upstream.settimeout(None)
                client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
                self._relay(client, upstream)
                return
        except OSError:
            pass
        finally:
            client.close()

    @staticmethod
    def _relay(client, upstream):
        def pump(source, sink):
            try:
                while True:
                    data = source.recv(65536)
                    if not data:
                        break
                    sink.sendall(data)
            except OSError:
                pass
            finally:
                try:
                    sink.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
        back = threading.Thread(target=pump, args=(upstream, client), daemon=True)
        back.start()
        pump(client, upstream)
        back.join()
        upstream.close()
