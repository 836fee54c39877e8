"""A server on the program's loopback port that accepts connections and never sends a byte: the
program's download stays in progress (connected, waiting) for as long as it runs."""

import socket
import threading


class SilentServer:
    """Accepts connections on the loopback port and holds them open without a byte."""

    def __init__(self, port):
        self.port = port
        self.listeners = []
        self.threads = []
        self.accepted = []
        self.stopping = False

    def __enter__(self):
        for family, address in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
            try:
                s = socket.socket(family, socket.SOCK_STREAM)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
                s.bind((address, self.port))
                s.listen(16)
                s.settimeout(0.2)
            except OSError:
                if family == socket.AF_INET:
                    raise
                continue  # no IPv6 loopback here
            self.listeners.append(s)
            thread = threading.Thread(target=self._accept, args=(s,), daemon=True)
            thread.start()
            self.threads.append(thread)
        return self

    def _accept(self, listener):
        while not self.stopping:
            try:
                conn, _ = listener.accept()
                self.accepted.append(conn)
            except (socket.timeout, OSError):
                continue

    def __exit__(self, *exc):
        # The accept loops end within their timeout; only then is the port really free again.
        self.stopping = True
        for thread in self.threads:
            thread.join()
        for s in self.listeners + self.accepted:
            s.close()
        return False


def client_sent_bytes(conn):
    """Whether the client has sent anything on the connection (without taking it)."""
    try:
        return bool(conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT))
    except (BlockingIOError, OSError):
        return False
