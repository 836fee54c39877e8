"""Control service through which a test program under Wine starts TLS scenario servers.

The test connects to 127.0.0.1:PORT, sends one scenario line (see tls_servers.py), and reads event
lines; the first is "ready PORT". Closing the control connection stops that scenario's server.
"""

import socket
import threading

from tls_servers import ScenarioServer


class ControlService:
    def __init__(self, ca_dir):
        self.ca_dir = ca_dir
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def close(self):
        self.listener.close()

    def _accept(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._session, args=(conn,), daemon=True).start()

    def _session(self, conn):
        lock = threading.Lock()

        def report(line):
            with lock:
                try:
                    conn.sendall(line.encode() + b"\n")
                except OSError:
                    pass

        with conn:
            line = b""
            while not line.endswith(b"\n"):
                piece = conn.recv(4096)
                if not piece:
                    return
                line += piece
            try:
                server = ScenarioServer(self.ca_dir, line.decode().strip(), report)
            except Exception as error:  # a bad scenario is the test's fault: tell it
                report("error %s" % error)
                return
            report("ready %d" % server.port)
            # Further lines are typed into an interactive server; the end of the connection stops it.
            pending = b""
            try:
                while True:
                    piece = conn.recv(4096)
                    if not piece:
                        break
                    pending += piece
                    while b"\n" in pending:
                        typed, pending = pending.split(b"\n", 1)
                        server.type_line(typed.decode())
            except OSError:
                pass
            server.stop()
