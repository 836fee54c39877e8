"""The real program against a server that misbehaves once: every fault is reported as it should be,
nothing is installed or started before a verified file exists, and once the fault is gone the same
run goes on to a verified install.

Environment as for e2e_test.py. Run one case: fault_test.py Faults.test_<name>.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import PORT, PREFIX, crc64_of_data, payload, read

from fault_server import FaultServer  # noqa: E402

SIZE = 64 * 1024


class Faults(unittest.TestCase):
    def setUp(self):
        PREFIX.clean()
        self.data = payload(SIZE)
        self.crc = crc64_of_data(self.data)

    def serve(self, fault, times=1):
        srv = FaultServer(self.data, os.path.join(PREFIX.ca_dir, "localhost.pem"),
                          os.path.join(PREFIX.ca_dir, "localhost.key"), self.crc, fault,
                          times=times, port=PORT)
        self.addCleanup(srv.stop)
        return srv.start()

    def run_to_install(self, srv, expect_err=(), expect_out=(), expect_any_err=()):
        run = harness.Run(harness_exe(), PREFIX)
        self.addCleanup(run.kill)
        code = run.wait(90)
        self.assertEqual(code, 0, run.transcript())
        self.assertFalse(srv.active(), "the fault was never hit:\n" + run.transcript())
        out, err = run.out(), run.err()
        for line in expect_err:
            self.assertTrue(any(e.startswith(line) for e in err), f"{line!r}\n{run.transcript()}")
        for line in expect_out:
            self.assertIn(line, out, run.transcript())
        if expect_any_err:
            self.assertTrue(any(e.startswith(tuple(expect_any_err)) for e in err), run.transcript())
        # The install comes only after the one verified download.
        self.assertEqual(out.count("下载成功"), 1, run.transcript())
        self.assertEqual(run.out_setup_last()[-2:],
                         ["Setup executable started successfully", harness.SETUP_RAN], run.transcript())
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.bin")), self.data)
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), self.data)
        self.assertTrue(os.path.exists(PREFIX.temp("QuorvelLauncher.exe.marker")))
        return run

    def mismatch(self, crc=None):
        return "下载文件CRC检查失败: 远端CRC : %d" % (self.crc if crc is None else crc)

    # Connection faults -------------------------------------------------------------------------

    def test_connection_refused(self):
        srv = self.serve("refuse")
        run = harness.Run(harness_exe(), PREFIX)
        self.addCleanup(run.kill)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and len([e for e in run.err()
                                                   if e.startswith("下载失败: ")]) < 2:
            time.sleep(0.1)
        failures = [e for e in run.err() if e.startswith("下载失败: ")]
        self.assertGreaterEqual(len(failures), 2, run.transcript())
        self.assertTrue(failures[0].endswith("(os error 10061)"), failures[0])
        self.assertFalse(os.path.exists(PREFIX.temp("QuorvelLauncher.exe")))
        srv.open_port()
        self.assertEqual(run.wait(60), 0, run.transcript())
        self.assertEqual(read(PREFIX.temp("QuorvelLauncher.exe")), self.data)

    def test_reset_at_accept(self):
        # The reset lands right after the connect completes, before or after the program's first
        # wait on the socket: each attempt must fail and be retried, never wait for good.
        srv = self.serve("accept_reset", times=3)
        run = self.run_to_install(srv, expect_any_err=["下载失败: "])
        failures = [e for e in run.err() if e.startswith("下载失败: ")]
        self.assertEqual(len(failures), 3, run.transcript())
        for line in failures:
            self.assertTrue(line.endswith(("(os error 10054)", "unexpected EOF during handshake")),
                            line)

    def test_eof_after_client_hello(self):
        self.run_to_install(self.serve("hello_eof"),
                            expect_err=["下载失败: unexpected EOF during handshake"])

    def _resumed(self, fault, times=1):
        """Each cut keeps what arrived: the next attempt asks with Range for the rest from where the
        file stopped (a close loses nothing, a reset at most what was in flight); one body is done."""
        srv = self.serve(fault, times)
        run = self.run_to_install(srv)
        starts = [start for start, _ in srv.bodies]
        failures = [e for e in run.err() if e.startswith("下载失败: ")]
        self.assertEqual((len(failures), len(starts)), (times, times + 1), run.transcript())
        for (start, sent), after, line in zip(srv.bodies, starts[1:], failures):
            counts = "after %d of %d bytes" % (after, len(self.data))
            if ("reset" in fault and line.endswith("(os error 10054)")
                    and not line.startswith("下载失败: connection ")):
                # The reset overtook the reply's head (Wine 10 drops what was not read yet):
                # nothing was written, and the next attempt starts where this one did.
                self.assertEqual(after, start, line)
                continue
            self.assertTrue(start <= after <= start + sent if "reset" in fault else
                            after == start + sent, (start, sent, after))
            self.assertRegex(line, "^下载失败: connection (closed %s$|lost %s: )" % (counts, counts)
                             if "reset" in fault else "^下载失败: connection closed %s$" % counts)
        self.assertEqual(gets(srv), ["bytes=%d-" % start if start else None for start in starts])
        self.assertEqual(sizes(run), starts, run.transcript())
        self.assertEqual(run.out().count("下载完成！"), 1, run.transcript())

    def test_body_closed_at_0(self):
        self._resumed("body_cut=0")

    def test_body_closed_at_1(self):
        self._resumed("body_cut=1")

    def test_body_closed_at_8191(self):
        self._resumed("body_cut=8191")

    def test_body_closed_at_8192(self):
        self._resumed("body_cut=8192")

    def test_body_closed_at_8193(self):
        self._resumed("body_cut=8193")

    def test_body_closed_half_way(self):
        self._resumed("body_cut=half")

    def test_body_closed_one_byte_before_the_end(self):
        self._resumed("body_cut=last")

    def test_body_reset_half_way(self):
        self._resumed("body_reset=half")

    def test_body_reset_at_8192(self):
        self._resumed("body_reset=8192")

    def test_each_connection_closed_after_20000_bytes(self):
        self._resumed("body_cut=20000", times=3)

    def test_each_connection_reset_after_20000_bytes(self):
        self._resumed("body_reset=20000", times=3)

    def test_cut_then_a_new_entity_tag_starts_from_zero(self):
        srv = self.serve("cut_new_etag=half")
        run = self.run_to_install(srv, expect_out=['ETag: "q-1"', '新的 ETag: "q-2"'])
        self.assertEqual((gets(srv), sizes(run)), ([None, None], [0, 0]), run.transcript())

    # Reply faults ------------------------------------------------------------------------------

    def test_head_answered_302(self):
        self.run_to_install(self.serve("head_302"),
                            expect_err=["下载失败: HEAD 请求失败，响应: HTTP/1.1 302 Found"])

    def test_head_answered_http_1_0(self):
        self.run_to_install(self.serve("head_http10"),
                            expect_err=["下载失败: HEAD 请求失败，响应: HTTP/1.0 200 OK"])

    def test_content_length_in_lower_case_is_not_recognised(self):
        run = self.run_to_install(self.serve("head_lowercase"))
        self.assertFalse(any(o.startswith("响应头中的 Content-Length") for o in run.out()))

    def test_get_answered_416(self):
        self.run_to_install(self.serve("get_416"),
                            expect_err=["下载失败: HTTP 请求失败，响应: HTTP/1.1 416"])

    def test_ranged_get_answered_with_the_whole_file(self):
        # What is resumed is checked whole: the mismatch deletes both files, the next GET is whole.
        srv = self.serve("range_ignored")
        with open(PREFIX.temp("QuorvelLauncher.bin"), "wb") as f:
            f.write(self.data[:1000])
        with open(PREFIX.temp("QuorvelLauncher.bin.etag"), "wb") as f:
            f.write(srv.etag.encode())
        self.run_to_install(srv, expect_err=[self.mismatch()],
                            expect_out=["ETag 匹配，继续下载文件", "当前文件大小: 1000 字节"])
        self.assertEqual(gets(srv)[0], "bytes=1000-")
        self.assertIsNone(gets(srv)[-1])

    def test_wrong_checksum_header(self):
        # The whole file came and its checksum differs: both files go, the next GET is whole.
        srv = self.serve("wrong_crc")
        self.run_to_install(srv, expect_err=[self.mismatch(self.crc ^ 1)])
        self.assertEqual(gets(srv), [None, None])

    def test_no_checksum_header(self):
        self.run_to_install(self.serve("no_crc"), expect_err=[self.mismatch(0)])

    def test_no_etag(self):
        srv = self.serve("no_etag")
        run = self.run_to_install(srv)
        self.assertFalse(any(o.startswith("ETag") for o in run.out()[:4]), run.transcript())

    def test_invalid_utf8_in_head_reply(self):
        self.run_to_install(self.serve("bad_utf8"),
                            expect_err=["下载失败: stream did not contain valid UTF-8"])

    def test_oversized_head_reply(self):
        self.run_to_install(self.serve("huge_head"),
                            expect_err=["下载失败: HEAD 响应过长（超过 65536 字节）"])

    def test_head_sent_one_byte_per_millisecond(self):
        self.run_to_install(self.serve("slow_head"))


def harness_exe():
    return os.environ["QUORVEL_EXE"]


def gets(srv):
    """The Range header of each GET, None where there was none."""
    return [r for m, r in srv.requests if m == "GET"]


def sizes(run):
    """The file sizes the attempts started from ("当前文件大小: N 字节")."""
    return [int(o.split()[1]) for o in run.out() if o.startswith("当前文件大小: ")]


if __name__ == "__main__":
    unittest.main(verbosity=2)
