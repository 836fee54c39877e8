"""A CONNECT proxy on loopback answering as `mode` says: "open" (200, then a tunnel to `upstream`
whatever host was named), "403", "basic" (407 for a password), "ntlm" (407 for the Windows logon; the
NTLM messages' form is checked, malformed ones kept in `faults`, then the tunnel). GET /proxy.pac
gets `pac`. `requests` keeps each request's line and headers."""

import base64
import socket
import struct
import threading

SIGNATURE = b"NTLMSSP\0"
# A challenge: type 2, empty target name at 48, flags (Unicode, OEM, request target, NTLM, always
# sign, extended session security), the server's challenge, no target information.
CHALLENGE = (SIGNATURE + struct.pack("<IHHII", 2, 0, 0, 48, 0x00088207) + bytes(range(1, 9)) +
             bytes(8) + struct.pack("<HHI", 0, 0, 48))
AUTH = b"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: %s\r\nContent-Length: 0\r\n\r\n"


def ntlm_form(header, kind):
    """True when the header is "NTLM <base64>" of an NTLM message of that type whose security
    buffers (for type 3: responses, domain, user, workstation) lie inside it."""
    scheme, _, token = (header or "").partition(" ")
    try:
        message = base64.b64decode(token, validate=True)
    except ValueError:
        return False
    fields = 5 if kind == 3 else 0
    if scheme.lower() != "ntlm" or len(message) < 12 + 8 * fields or message[:8] != SIGNATURE:
        return False
    buffers = (struct.unpack_from("<HHI", message, 12 + 8 * i) for i in range(fields))
    return (struct.unpack_from("<I", message, 8)[0] == kind and
            all(offset + length <= len(message) for length, _, offset in buffers))


class ConnectProxy:
    def __init__(self, upstream, mode="open", pac=""):
        self.upstream, self.mode, self.pac = upstream, mode, pac
        self.requests, self.faults = [], []
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
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        stream = client.makefile("rb")
        logon = 0  # NTLM messages taken on this connection
        try:
            while True:
                lines = iter(lambda: stream.readline(16384).decode("latin-1").rstrip("\r\n"), "")
                line = next(lines, None)
                if line is None:
                    return
                headers = {k.strip().lower(): v.strip() for k, _, v in
                           (header.partition(":") for header in lines)}
                self.requests.append((line, headers))
                if line.startswith("GET /proxy.pac "):
                    client.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close"
                                   b"\r\n\r\n%s" % (len(self.pac), self.pac.encode()))
                    return
                if self.mode == "403":
                    client.sendall(b"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n")
                    return
                if self.mode == "basic":
                    client.sendall(AUTH % b'Basic realm="proxy"')
                    continue
                given = headers.get("proxy-authorization")
                if self.mode == "ntlm" and logon < 2:
                    if given is None and logon == 0:
                        client.sendall(AUTH % b"NTLM")
                        continue
                    if not ntlm_form(given, logon + 1):
                        self.faults.append("message %d: %r" % (logon + 1, given))
                        return
                    logon += 1
                    if logon == 1:
                        client.sendall(AUTH % (b"NTLM " + base64.b64encode(CHALLENGE)))
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
