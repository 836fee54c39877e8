#!/usr/bin/env bash
# The main job on a fresh Debian 12 machine: sets up, builds QuorvelSetup.exe for a local download
# URL, serves a sample setup executable from nginx on loopback over TLS (a generated test CA, trusted
# only in the demo's own Wine prefix), runs the bootstrapper under Wine in a virtual display (or on
# $DISPLAY when set), takes a screenshot mid-download and reports what happened.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
port=${QUORVEL_DEMO_PORT:-47444}
build=build/demo
cmake --preset windows -B "$build" \
  -DQUORVEL_DOWNLOAD_URL="https://localhost:$port/Download/Micro/QuorvelLauncher.exe" >/dev/null
cmake --build "$build" -j "$(nproc)" --target QuorvelSetup fake_setup crc64sum
exec python3 scripts/demo.py --build "$build" --port "$port" "$@"
