"""Runs a Windows TLS test program under Wine beside the scenario servers it asks for.

usage: run_tls_tests.py --exe PROGRAM --ca-dir DIR --windows win7|win10 [-- gtest arguments]

With win7 the program is run under a copy named *-win7.exe, which the Wine prefix reports as
Windows 7 (an AppDefaults entry set by the tls_ca fixture), so tests in one prefix never switch its
global Windows version under each other's feet.
"""

import argparse
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tls_control import ControlService  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--ca-dir", required=True)
    parser.add_argument("--windows", choices=["win7", "win10"], required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("rest", nargs="*")
    args = parser.parse_args()

    exe = args.exe
    if args.windows == "win7":
        stem, ext = os.path.splitext(exe)
        exe = stem + "-win7" + ext
        shutil.copy2(args.exe, exe)

    service = ControlService(args.ca_dir)
    env = dict(os.environ)
    env["QUORVEL_TLS_CONTROL"] = str(service.port)
    env["QUORVEL_TLS_WINDOWS"] = args.windows
    result = subprocess.run([args.wine_run, exe] + args.rest, env=env)
    service.close()
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
