"""A TCP proxy on loopback that breaks connections on purpose, drawn from a seeded random generator.

It relays TCP bytes between the program and the real server (nginx), so TLS passes through it
untouched. Every decision is made in draw(): for each connection one of

  pass      relay faithfully
  reset     relay up to a byte offset in one direction, then reset (RST) the program's side
  close     relay up to a byte offset in one direction, then close both sides (FIN)
  stall     at a byte offset in one direction, relay nothing that way for 1-20 s, then go on
  trickle   from a byte offset in one direction, relay in pieces of 1-600 bytes with pauses of
            1-40 ms for 1-8 s, then go on at full speed
  refuse    the connection passes, but the listener closes until the next connection attempt
            has been refused (its SYN answered with a reset), then opens again
  cut       at a byte offset, both directions go silent and nothing further reaches the program:
            no FIN, no RST, no data, no acknowledgement (needs a LoopbackDrop)

A fault whose offset the connection never reaches does not fire. Each connection is recorded with
its plan, the upstream port it used (to find its request in nginx's log) and, when the fault fired,
the direction, offset and whether the TLS handshake was still going on.
"""

import random
import select
import socket
import struct
import subprocess
import threading
import time

KINDS = ("pass", "reset", "close", "stall", "trickle", "refuse", "cut")
REFUSE_WAIT = 30.0  # the longest the listener stays closed waiting for an attempt to refuse
MAX_STALL = 20.0
MAX_TRICKLE = 8.0
TLS_APPLICATION_DATA = 23


class Plan:
    def __init__(self, kind, direction=None, offset=None, seconds=None, seed=0):
        self.kind, self.direction, self.offset, self.seconds = kind, direction, offset, seconds
        self.pieces = random.Random(seed)  # a trickle's piece sizes and pauses

    def __repr__(self):
        if self.kind in ("pass", "refuse"):
            return self.kind
        extra = f" {self.seconds:.1f}s" if self.seconds else ""
        return f"{self.kind} {self.direction}@{self.offset}{extra}"


def draw(rng, weights, body_size):
    """The one place where faults are decided. `weights` maps kinds to relative weights. A TLS 1.2
    handshake and a HEAD reply from nginx take about 1960 bytes, the client's handshake and request
    about 460: server-to-client offsets fall half the time in the first 1950 bytes and half the time
    after them, anywhere in a reply of `body_size` bytes (such a fault misses a HEAD connection);
    client-to-server offsets anywhere up to 460."""
    kinds = [k for k in KINDS if weights.get(k)]
    kind = rng.choices(kinds, [weights[k] for k in kinds])[0]
    if kind in ("pass", "refuse"):
        return Plan(kind)
    # A cut falls in the server's bytes, while the program waits and has nothing unacknowledged:
    # then keep-alive is what notices it, as on a real line. (Data of its own still in flight
    # would be retransmitted for up to 15 minutes by Linux under Wine.)
    direction = "down" if kind == "cut" or rng.random() < 0.75 else "up"
    if direction == "up":
        offset = rng.randrange(0, 460)
    elif rng.random() < 0.5:
        offset = rng.randrange(0, 1950)
    else:
        offset = rng.randrange(1950, body_size + 1950)
    seconds = None
    if kind == "stall":
        seconds = rng.uniform(1.0, MAX_STALL)
    elif kind == "trickle":
        seconds = rng.uniform(1.0, MAX_TRICKLE)
    return Plan(kind, direction, offset, seconds, rng.getrandbits(32))


class Tls:
    """Follows the TLS record headers of one direction, to tell the handshake from the data."""

    def __init__(self):
        self.header = b""
        self.left = 0  # bytes of the current record's body still to come
        self.kind = None
        self.data_bytes = 0  # bytes inside application-data records so far

    def feed(self, chunk):
        i = 0
        while i < len(chunk):
            if self.left:
                n = min(self.left, len(chunk) - i)
                if self.kind == TLS_APPLICATION_DATA:
                    self.data_bytes += n
                self.left -= n
                i += n
                continue
            need = 5 - len(self.header)
            self.header += chunk[i:i + need]
            i += need
            if len(self.header) == 5:
                self.kind = self.header[0]
                self.left = struct.unpack(">H", self.header[3:5])[0]
                if self.kind == TLS_APPLICATION_DATA:
                    self.data_bytes += 5
                self.header = b""

    @property
    def in_data(self):
        return self.kind == TLS_APPLICATION_DATA


class Connection:
    def __init__(self, number, plan, client, upstream):
        self.number, self.plan = number, plan
        self.client, self.upstream = client, upstream
        self.upstream_port = upstream.getsockname()[1]
        self.client_port = client.getpeername()[1]
        self.tls = {"up": Tls(), "down": Tls()}
        self.relayed = {"up": 0, "down": 0}
        # (direction, offset, "handshake" | "data", response data bytes); ("connect",) for a refusal
        self.fired = None
        self.silent = False  # after a cut: nothing is relayed either way, nothing is closed
        self.lock = threading.Lock()
        self.closed = False

    def shut(self, reset):
        with self.lock:
            if self.closed:
                return
            self.closed = True
        if reset:
            # SO_LINGER with a zero timeout turns the close into a reset.
            self.client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        for s in (self.client, self.upstream):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()


class LoopbackDrop:
    """The silent cut's packet drop, for a proxy running in a network namespace of its own: the
    loopback device sends a cut connection's packets (both ways, matched by the program's port)
    into a traffic class served by the blackhole queue. That queue tells the sender that the packet
    went out; a queue that drops reports an error instead, and TCP takes that for a local shortage
    and never counts its keep-alive probes, so the cut would not look dead."""

    def __init__(self):
        tc = ["tc", "qdisc", "add", "dev", "lo"]
        self._tc(tc + ["root", "handle", "1:", "htb", "default", "10"])
        for cls in ("1:10", "1:20"):
            self._tc(["tc", "class", "add", "dev", "lo", "parent", "1:", "classid", cls, "htb",
                      "rate", "10gbit", "quantum", "60000"])
        self._tc(tc + ["parent", "1:20", "handle", "20:", "blackhole"])

    @staticmethod
    def _tc(args, check=True):
        subprocess.run(args, check=check, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def cut(self, conn):
        for field in ("sport", "dport"):
            self._tc(["tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio",
                      "1", "u32", "match", "ip", field, str(conn.client_port), "0xffff", "flowid",
                      "1:20"])

    def release(self):
        self._tc(["tc", "filter", "del", "dev", "lo", "parent", "1:", "prio", "1"], check=False)


class ChaosProxy:
    """Listens on 127.0.0.1:`port` and relays to 127.0.0.1:`upstream_port`. Faults are drawn only
    while `budget` (set by the caller) is above zero; every fault drawn spends one. `dropper` (a
    LoopbackDrop) makes the silent cut possible; without it a cut is drawn as a pass."""

    def __init__(self, port, upstream_port, seed, weights, body_size, dropper=None):
        self.port, self.upstream_port = port, upstream_port
        self.rng = random.Random(seed)
        self.weights, self.body_size, self.dropper = weights, body_size, dropper
        self.budget = 0
        self.connections = []
        self.lock = threading.Lock()
        self.listener = None
        self.stopping = False
        self.open_again = threading.Event()
        self.thread = None

    def _listen(self):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", self.port))
        s.listen(16)
        self.listener = s

    def start(self):
        self._listen()
        self.thread = threading.Thread(target=self._accept_loop, daemon=True)
        self.thread.start()
        return self

    def stop(self):
        self.stopping = True
        self.open_again.set()
        self.thread.join(10)
        with self.lock:
            connections = list(self.connections)
        for c in connections:
            c.shut(reset=False)

    def _draw(self):
        with self.lock:
            if self.budget <= 0:
                return Plan("pass")
            plan = draw(self.rng, self.weights, self.body_size)
            if plan.kind == "cut" and self.dropper is None:
                plan = Plan("pass")
            if plan.kind != "pass":
                self.budget -= 1
            return plan

    def _accept_loop(self):
        while not self.stopping:
            ready, _, _ = select.select([self.listener], [], [], 0.1)
            if not ready:
                continue
            client, _ = self.listener.accept()
            plan = self._draw()
            try:
                upstream = socket.create_connection(("127.0.0.1", self.upstream_port))
                conn = Connection(len(self.connections) + 1, plan, client, upstream)
            except OSError:  # the program went away already (killed), or nginx is not there
                client.close()
                continue
            with self.lock:
                self.connections.append(conn)
            for direction in ("up", "down"):
                threading.Thread(target=self._pump, args=(conn, direction), daemon=True).start()
            if plan.kind == "refuse":
                self._refuse_next(conn)
        self.listener.close()

    def _refuse_next(self, conn):
        """Closes the listener until a raw socket has seen the SYN of the next attempt (which the
        kernel then answers with a reset), or until stop()."""
        with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_TCP) as raw:
            self.listener.close()
            self.open_again.clear()
            deadline = time.monotonic() + REFUSE_WAIT
            while not self.open_again.is_set() and time.monotonic() < deadline:
                if not select.select([raw], [], [], 0.05)[0]:
                    continue
                packet = raw.recv(65535)
                tcp = (packet[0] & 0x0F) * 4
                port, flags = struct.unpack(">H", packet[tcp + 2:tcp + 4])[0], packet[tcp + 13]
                if port == self.port and flags & 0x12 == 0x02:  # SYN without ACK
                    conn.fired = ("connect",)
                    break
        self._listen()

    def _pump(self, conn, direction):
        src, dst = ((conn.client, conn.upstream) if direction == "up"
                    else (conn.upstream, conn.client))
        plan = conn.plan
        armed = plan.kind != "pass" and plan.direction == direction
        position = 0
        trickle_until = None
        try:
            while True:
                chunk = src.recv(65536)
                if not chunk:
                    break
                if armed and position + len(chunk) > plan.offset:
                    head = chunk[:plan.offset - position]
                    self._send(conn, dst, head, direction)
                    position += len(head)
                    chunk = chunk[len(head):]
                    armed = False
                    conn.fired = (direction, position,
                                  "data" if conn.tls["up"].in_data else "handshake",
                                  conn.tls["down"].data_bytes)
                    if plan.kind in ("reset", "close"):
                        conn.shut(reset=plan.kind == "reset")
                        return
                    if plan.kind == "cut":
                        conn.silent = True
                        self.dropper.cut(conn)
                        return  # the sockets stay open until release_cuts()
                    if plan.kind == "stall":
                        time.sleep(plan.seconds)
                    if plan.kind == "trickle":
                        trickle_until = time.monotonic() + plan.seconds
                while trickle_until and chunk and time.monotonic() < trickle_until:
                    n = plan.pieces.randint(1, 600)
                    self._send(conn, dst, chunk[:n], direction)
                    position += len(chunk[:n])
                    chunk = chunk[n:]
                    time.sleep(plan.pieces.uniform(0.001, 0.04))
                self._send(conn, dst, chunk, direction)
                position += len(chunk)
        except OSError:
            pass
        if not conn.silent:
            conn.shut(reset=False)

    def _send(self, conn, dst, data, direction):
        if conn.silent:
            raise OSError("cut")
        if data:
            conn.tls[direction].feed(data)
            conn.relayed[direction] += len(data)
            dst.sendall(data)

    def release_cuts(self):
        """Lets packets through again and closes the connections silent cuts left open."""
        with self.lock:
            connections = [c for c in self.connections if c.silent]
        if self.dropper:
            self.dropper.release()
        for c in connections:
            c.shut(reset=False)
