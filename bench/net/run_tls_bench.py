"""Serves a 200 MiB file from `openssl s_server -WWW` on loopback and fetches it twice: with
SecureStream under Wine (tls_throughput_bench.exe, 8 KiB reads) and with native curl. Prints MB/s
and CPU seconds per MiB for both.

usage: WINEPREFIX=... run_tls_bench.py BUILD_DIR   (after the tls_ca fixture made BUILD_DIR/tls-ca)
"""

import os
import resource
import socket
import subprocess
import sys
import tempfile
import time

SIZE = 200 * 1024 * 1024
HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    build = os.path.abspath(sys.argv[1])
    ca = os.path.join(build, "tls-ca")
    exe = os.path.join(build, "bench", "net", "tls_throughput_bench.exe")
    wine_run = os.path.join(HERE, "..", "..", "scripts", "wine-run.sh")
    with tempfile.TemporaryDirectory(prefix="quorvel-tls-bench-") as root:
        with open(os.path.join(root, "payload.bin"), "wb") as f:
            block = os.urandom(1 << 20)
            for _ in range(SIZE >> 20):
                f.write(block)
        port = free_port()
        server = subprocess.Popen(
            ["openssl", "s_server", "-accept", "127.0.0.1:%d" % port, "-WWW", "-tls1_2",
             "-cert", os.path.join(ca, "localhost.pem"), "-key", os.path.join(ca, "localhost.key"),
             "-quiet"], cwd=root, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        try:
            time.sleep(0.5)
            subprocess.run([wine_run, exe, "localhost", str(port), "/payload.bin"], check=True)

            cpu = children_cpu()
            start = time.monotonic()
            subprocess.run(["curl", "-s", "--tlsv1.2", "--tls-max", "1.2", "--cacert",
                            os.path.join(ca, "ca.pem"), "-o", os.devnull,
                            "https://localhost:%d/payload.bin" % port], check=True)
            wall = time.monotonic() - start
            cpu = children_cpu() - cpu
            mib = SIZE / (1 << 20)
            print("curl:         %.1f MiB in %.2f s: %.1f MB/s, %.4f CPU s/MiB"
                  % (mib, wall, SIZE / wall / 1e6, cpu / mib))
        finally:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main()
