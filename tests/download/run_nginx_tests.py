"""The download job under Wine against a real nginx over loopback TLS.

usage: run_nginx_tests.py --probe download_probe.exe --crc64sum crc64sum.exe --ca-dir DIR
                          --wine-run scripts/wine-run.sh

Each scenario sets up the server and the local files, runs the probe (one real download job through
Schannel), and checks the lines it printed, the phase it ended in, both files on disk and nginx's
access log. The checksum header is computed with the publisher's crc64sum tool.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from nginx_server import NginxServer  # noqa: E402
from wine_output import program_lines  # noqa: E402

FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


def windows_path(path):
    return subprocess.run(["winepath", "-w", path], check=True, capture_output=True,
                          text=True).stdout.strip()


class Harness:
    def __init__(self, args):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="quorvel-dl-nginx-")
        self.win_dir = windows_path(self.dir)
        self.file = os.path.join(self.dir, "QuorvelLauncher.bin")
        self.tag = os.path.join(self.dir, "QuorvelLauncher.bin.etag")

    def crc(self, payload):
        path = os.path.join(self.dir, "payload-for-crc")
        with open(path, "wb") as f:
            f.write(payload)
        out = subprocess.run([self.args.wine_run, self.args.crc64sum, windows_path(path)],
                             check=True, capture_output=True, text=True).stdout.strip()
        os.remove(path)
        return int(out)

    def probe(self, url, interrupt_at=None):
        cmd = [self.args.wine_run, self.args.probe, self.win_dir, url]
        if interrupt_at is not None:
            cmd.append(str(interrupt_at))
        result = subprocess.run(cmd, capture_output=True, timeout=120)
        out = result.stdout.decode("utf-8").splitlines()
        err = program_lines(result.stderr)
        phase = None
        if out and out[-1].startswith("phase: "):
            phase = int(out.pop()[len("phase: "):])
        else:
            # No outcome line: the probe ended before its job did. Say how, for the failure report.
            print("probe %r ended with status %d and no outcome line" % (cmd[1:], result.returncode))
        return out, err, phase

    def read(self, path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def write(self, path, data):
        with open(path, "wb") as f:
            f.write(data)


def requests(server, since):
    return server.access_log()[since:]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--probe", required=True)
    parser.add_argument("--crc64sum", required=True)
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--wine-run", required=True)
    args = parser.parse_args()
    h = Harness(args)
    rng = random.Random(5)
    payload = bytes(rng.getrandbits(8) for _ in range(1_500_000))
    crc = h.crc(payload)
    cert = os.path.join(args.ca_dir, "localhost.pem")
    key = os.path.join(args.ca_dir, "localhost.key")
    length_line = "响应头中的 Content-Length: %d 字节" % len(payload)

    server = NginxServer(payload, cert, key, crc, limit_rate="2m")
    try:
        server.start()

        # First run: the lines in order, both files.
        out, err, phase = h.probe(server.url)
        tag = h.read(h.tag)
        check(tag is not None and tag.startswith(b'"') and tag.endswith(b'"'), "first run: tag file %r" % tag)
        tag_text = tag.decode() if tag else ""
        # nginx sends Content-Length, then ETag, then the added checksum header.
        check(out == [length_line, "ETag 不匹配，重新下载文件", "新的 ETag: " + tag_text,
                      "CRC64 : %d" % crc, "当前文件大小: 0 字节", "下载完成！", "下载成功"],
              "first run: stdout %r" % out)
        check(err == [], "first run: stderr %r" % err)
        check(phase == 1, "first run: phase %r" % phase)
        check(h.read(h.file) == payload, "first run: download file differs")
        log = server.access_log()
        check([l.split(" range=")[0] for l in log] ==
              ["HEAD /Download/Micro/QuorvelLauncher.exe 200 0",
               "GET /Download/Micro/QuorvelLauncher.exe 200 %d" % len(payload)],
              "first run: access log %r" % log)
        check(all(l.endswith('range="-"') for l in log), "first run: a Range was sent %r" % log)

        # Complete file: HEAD only, the file untouched, checked again.
        seen = len(server.access_log())
        out, err, phase = h.probe(server.url)
        check("文件已下载完成，无需继续下载。" in out and "下载完成！" not in out,
              "complete: stdout %r" % out)
        check(out[0] == "ETag: " + tag_text, "complete: stored tag line %r" % out[:1])
        check(phase == 1, "complete: phase %r" % phase)
        check([l.split(" ")[0] for l in requests(server, seen)] == ["HEAD"],
              "complete: requests %r" % requests(server, seen))

        # Interrupted: the first job is cancelled mid-body by a second start, which resumes.
        os.remove(h.file)
        seen = len(server.access_log())
        out, err, phase = h.probe(server.url, interrupt_at=300_000)
        log = requests(server, seen)
        check(phase == 1, "interrupted: phase %r (stderr %r)" % (phase, err))
        check(h.read(h.file) == payload, "interrupted: download file differs")
        check(len(log) == 4, "interrupted: requests %r" % log)
        if len(log) == 4:
            first_get, resumed = log[1], log[3]
            cut = int(first_get.split(" ")[3])
            check(first_get.startswith("GET ") and first_get.endswith('range="-"'),
                  "interrupted: first GET %r" % first_get)
            check(resumed.startswith("GET /Download/Micro/QuorvelLauncher.exe 206 ") and
                  'range="bytes=' in resumed, "interrupted: resumed GET %r" % resumed)
            start = int(resumed.split('range="bytes=')[1].split("-")[0])
            check(300_000 <= start < len(payload) and start <= cut,
                  "interrupted: resumed at %d after %d sent" % (start, cut))
            check("当前文件大小: %d 字节" % start in out, "interrupted: size line %r" % out)
            # Both jobs find the tag unchanged; only the second one finishes.
            check(out.count("ETag 匹配，继续下载文件") == 2, "interrupted: match lines %r" % out)
            check(out.count("下载完成！") == 1, "interrupted: one completion %r" % out)

        # A new file on the server (new ETag): truncated and fetched whole.
        new_payload = bytes(rng.getrandbits(8) for _ in range(400_000))
        new_crc = h.crc(new_payload)
        server.replace_payload(new_payload, new_crc)
        seen = len(server.access_log())
        out, err, phase = h.probe(server.url)
        new_tag = h.read(h.tag)
        check(new_tag is not None and new_tag != tag, "changed: tag file %r" % new_tag)
        check("ETag 不匹配，重新下载文件" in out and "当前文件大小: 0 字节" in out,
              "changed: stdout %r" % out)
        check(phase == 1 and h.read(h.file) == new_payload, "changed: phase %r / file" % phase)
        log = requests(server, seen)
        check(len(log) == 2 and log[1].endswith('range="-"'), "changed: requests %r" % log)

        # Stale complete file: same ETag, but the server now announces another checksum.
        server.stop()
        server.crc = new_crc ^ 1
        server.start()
        out, err, phase = h.probe(server.url)
        check(phase == 2, "stale: phase %r" % phase)
        check(err == ["下载文件CRC检查失败: 远端CRC : %d" % (new_crc ^ 1)], "stale: stderr %r" % err)
        check("文件已下载完成，无需继续下载。" in out, "stale: stdout %r" % out)

        # Local file longer than the remote one: a Range past the end, 416, phase Failed.
        h.write(h.file, new_payload + b"extra")
        seen = len(server.access_log())
        out, err, phase = h.probe(server.url)
        check(phase == 3, "longer: phase %r" % phase)
        check(err == ["下载失败: HTTP 请求失败，响应: HTTP/1.1 416 Requested Range Not Satisfiable"],
              "longer: stderr %r" % err)
        log = requests(server, seen)
        check(len(log) == 2 and " 416 " in log[1] and
              'range="bytes=%d-"' % (len(new_payload) + 5) in log[1], "longer: requests %r" % log)
        check(h.read(h.file) == new_payload + b"extra", "longer: file changed")
    finally:
        server.stop()
        shutil.rmtree(h.dir, ignore_errors=True)

    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        print(server.error_log())
        return 1
    print("all nginx scenarios passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
