"""Runs the demo: nginx serving a sample launcher, the bootstrapper under Wine, a report."""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--size", type=int, default=2 * 1024 * 1024, help="sample launcher size")
    parser.add_argument("--rate", default="512k", help="nginx limit_rate, so progress is visible")
    args = parser.parse_args()

    build = os.path.abspath(args.build)
    out = os.path.join(build, "demo-output")
    os.makedirs(out, exist_ok=True)
    prefix = harness.Prefix(os.path.join(build, "wineprefix-demo"), os.path.join(build, "tls-ca"))
    print("== Preparing the demo's Wine prefix (trusts the generated test CA only there)")
    # The user's own display when there is one, else a virtual one that the prefix owns.
    prefix.create(display=os.environ.get("DISPLAY") or None)
    prefix.clean()
    display = prefix.display

    with open(os.path.join(build, "tests", "support", "fake_setup", "fake_setup.exe"), "rb") as f:
        sample = f.read()
    sample += bytes((i * 7 + 3) & 0xFF for i in range(max(0, args.size - len(sample))))
    sample_path = os.path.join(out, "QuorvelLauncher.exe")
    with open(sample_path, "wb") as f:
        f.write(sample)
    # The publisher's own tool gives the checksum header, as it would for a real server.
    crc = harness.crc64_of([harness.WINE_RUN, os.path.join(build, "src", "download", "crc64sum.exe")],
                           sample_path, prefix.env())

    server = harness.NginxServer(sample, os.path.join(prefix.ca_dir, "localhost.pem"),
                                 os.path.join(prefix.ca_dir, "localhost.key"), crc,
                                 limit_rate=args.rate, port=args.port)
    print(f"== nginx serves {len(sample)} bytes at {server.url} (x-oss-hash-crc64ecma: {crc})")
    server.start()
    shot = os.path.join(out, "mid-download.png")
    try:
        run = harness.Run(os.path.join(build, "QuorvelSetup.exe"), prefix)
        print(f"== QuorvelSetup.exe runs on display {display}")
        if run.wait_for_line("当前文件大小", 60):
            time.sleep(1.5)
            harness.screenshot(display, shot)
        code = run.wait(600)
    finally:
        server.stop()
        prefix.stop()

    print("\n== What the bootstrapper printed (seconds, stream, line)")
    print(run.transcript())
    print(f"\n== Exit status: {code}")
    print("== Files left in the temporary folder:")
    for name in sorted(os.listdir(prefix.temp_dir)):
        if name.startswith("QuorvelLauncher"):
            print(f"   {name}  {os.path.getsize(prefix.temp(name))} bytes")
    print("== Game directory:", prefix.game_dir)
    if os.path.isdir(prefix.game_dir):
        for name in sorted(os.listdir(prefix.game_dir)):
            print("   " + name)
    marker = prefix.temp("QuorvelLauncher.exe.marker")
    if os.path.exists(marker):
        with open(marker, encoding="utf-8") as f:
            lines = f.read().splitlines()
        print("== The sample setup executable ran: command line", lines[0],
              "current directory", lines[1] if len(lines) > 1 else "?")
    else:
        print("== The sample setup executable did not run")
    if os.path.exists(shot):
        print("== Screenshot taken mid-download:", shot)
    ok = code == 0 and os.path.exists(marker)
    print("\nDemo " + ("succeeded" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
