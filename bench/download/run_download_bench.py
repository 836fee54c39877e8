"""Serves a 200 MiB launcher from nginx over loopback TLS and fetches it three ways: the whole
download path (download_bench.exe under Wine: download_file, then the in-memory checksum), the bare
SecureStream loop (tls_throughput_bench.exe) and native curl. Prints MB/s and CPU seconds per MiB.

usage: WINEPREFIX=... run_download_bench.py BUILD_DIR   (after the tls_ca fixture made BUILD_DIR/tls-ca)
"""

import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from nginx_server import LAUNCHER_PATH, NginxServer  # noqa: E402

SIZE = 200 * 1024 * 1024


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def main():
    build = os.path.abspath(sys.argv[1])
    ca = os.path.join(build, "tls-ca")
    wine_run = os.path.join(SOURCE, "scripts", "wine-run.sh")
    block = os.urandom(1 << 20)
    payload = block * (SIZE >> 20)
    with tempfile.TemporaryDirectory(prefix="quorvel-dl-bench-") as root:
        sample = os.path.join(root, "payload.bin")
        with open(sample, "wb") as f:
            f.write(payload)
        win = lambda p: subprocess.run(["winepath", "-w", p], check=True, capture_output=True,
                                       text=True).stdout.strip()
        crc = int(subprocess.run([wine_run, os.path.join(build, "src", "download", "crc64sum.exe"),
                                  win(sample)], check=True, capture_output=True,
                                 text=True).stdout.strip())
        os.remove(sample)
        server = NginxServer(payload, os.path.join(ca, "localhost.pem"),
                             os.path.join(ca, "localhost.key"), crc)
        with server:
            subprocess.run([wine_run, os.path.join(build, "bench", "download", "download_bench.exe"),
                            server.url, win(root), str(crc)], check=True)
            subprocess.run([wine_run, os.path.join(build, "bench", "net", "tls_throughput_bench.exe"),
                            "localhost", str(server.port), LAUNCHER_PATH], check=True)
            cpu = children_cpu()
            start = time.monotonic()
            subprocess.run(["curl", "-s", "--cacert", os.path.join(ca, "ca.pem"), "-o", os.devnull,
                            server.url], check=True)
            wall = time.monotonic() - start
            cpu = children_cpu() - cpu
            mib = SIZE / (1 << 20)
            print("curl:          %.1f MiB in %.2f s: %.1f MB/s, %.4f CPU s/MiB"
                  % (mib, wall, SIZE / wall / 1e6, cpu / mib))


if __name__ == "__main__":
    main()
