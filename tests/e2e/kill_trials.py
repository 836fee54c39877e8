"""Kill trials: the real program is killed (SIGKILL of its Wine process) at a random moment of a
throttled download, then started again; the second run must resume with "Range: bytes=N-" from the
partial file's size (when that file is not empty and its ETag file was written) and end with a
verified install.

  kill_trials.py [--trials N] [--seed S]

Environment as for e2e_test.py. Prints one line per trial and a closing "N passed, N failed" line.
"""

import argparse
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
from e2e_test import PORT, PREFIX, crc64_of_data, payload, read

SIZE = 512 * 1024


def trial(rng, data, crc, cert, key):
    PREFIX.clean()
    srv = harness.NginxServer(data, cert, key, crc, limit_rate="128k", port=PORT).start()
    try:
        first = harness.Run(os.environ["QUORVEL_EXE"], PREFIX)
        delay = rng.uniform(0.2, 4.0)
        time.sleep(delay)
        first.proc.kill()
        first.proc.wait(10)
        partial = (os.path.getsize(PREFIX.temp("QuorvelLauncher.bin"))
                   if os.path.exists(PREFIX.temp("QuorvelLauncher.bin")) else None)
        had_etag = os.path.exists(PREFIX.temp("QuorvelLauncher.bin.etag"))
        if partial is not None and read(PREFIX.temp("QuorvelLauncher.bin")) != data[:partial]:
            return False, f"killed after {delay:.2f}s: the partial file is not a prefix"
        srv.stop()
        srv.limit_rate = None
        log_before = len(srv.access_log())
        srv.start()
        second = harness.Run(os.environ["QUORVEL_EXE"], PREFIX)
        code = second.wait(120)
        gets = [l for l in srv.access_log()[log_before:] if l.startswith("GET")]
        if code != 0:
            return False, f"killed after {delay:.2f}s: second run ended {code}\n{second.transcript()}"
        if read(PREFIX.temp("QuorvelLauncher.exe")) != data:
            return False, f"killed after {delay:.2f}s: installed file differs"
        if partial and had_etag and partial < len(data):
            want = f'range="bytes={partial}-"'
            if not gets or not gets[0].endswith(want):
                return False, f"killed after {delay:.2f}s at {partial} bytes: GETs {gets}"
        if partial == len(data) and gets:
            return False, f"killed after {delay:.2f}s with a complete file: GETs {gets}"
        return True, (f"killed after {delay:.2f}s, partial {partial}, etag file {had_etag}, "
                      f"resumed with {gets[0].split(' range=')[1] if gets else 'no GET'}")
    finally:
        srv.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--trials", type=int, default=10)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print(f"seed {args.seed}")
    data = payload(SIZE)
    crc = crc64_of_data(data)
    cert = os.path.join(PREFIX.ca_dir, "localhost.pem")
    key = os.path.join(PREFIX.ca_dir, "localhost.key")
    passed = failed = 0
    for n in range(1, args.trials + 1):
        ok, what = trial(rng, data, crc, cert, key)
        print(f"trial {n}: {'ok' if ok else 'FAILED'}: {what}", flush=True)
        passed += ok
        failed += not ok
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
