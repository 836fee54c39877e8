#!/usr/bin/env bash
# Builds what the benchmarks need and runs every measurement in one go (bench/run_all.py), ending
# with one table a concern, each figure beside its baseline from the same run. Takes about six
# minutes on two cores.
#
#   bash scripts/bench.sh [--runs N] [--only NAME,...]
#
# The measurements (--only names), by the table they appear in:
#   download   the program's download against the bare SecureStream loop and curl (rate, CPU)
#   path       download_file alone against the SecureStream alone, both timed in-process
#   tls        the SecureStream alone against curl, from openssl s_server on TLS 1.2
#   interrupt  bytes fetched again after the window is closed mid-download and the program rerun
#   proxy      the program's rate through a CONNECT proxy against the direct one (a namespace)
#   window     process start to banner on screen, and idle CPU with the download stalled
#   size       the release executable
#   verify     memory growth of the checksum step over the 200 MiB file
#   crc        CRC-64/XZ speed, native
#   runtime    spawn and run_blocking latencies of the runtime, natively and under Wine
#
# Build trees: QUORVEL_BENCH_WIN (default build/bench-windows, a Windows build that downloads from
# https://localhost:QUORVEL_BENCH_PORT, default 47471) and QUORVEL_BENCH_HOST (default
# build/bench-host, a native build for the checksum speed, the runtime's latencies and the
# publisher's checksum tool); the size is the release's (scripts/release.sh, built in
# QUORVEL_BENCH_RELEASE, default build/bench-release, for the same URL).
set -euo pipefail
cd "$(dirname "$0")/.."
win=${QUORVEL_BENCH_WIN:-build/bench-windows}
host=${QUORVEL_BENCH_HOST:-build/bench-host}
release=${QUORVEL_BENCH_RELEASE:-build/bench-release}
port=${QUORVEL_BENCH_PORT:-47471}
jobs=$(nproc)

# Only what the chosen measurements need is built (--only size: the release, and the windows
# build's program, whose stripped size is printed beside it).
only=crc,size,verify,window,download,path,tls,interrupt,proxy,runtime
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  case ${args[i]} in
    --only) only=${args[i + 1]:-} ;;
    --only=*) only=${args[i]#--only=} ;;
  esac
done
wants() {  # wants MEASUREMENT...: whether any of them is to be run
  local m
  for m; do [[ ",$only," == *",$m,"* ]] && return 0; done
  return 1
}

cmake --preset windows -B "$win" \
  -DQUORVEL_DOWNLOAD_URL="https://localhost:${port}/Download/Micro/QuorvelLauncher.exe" >/dev/null
win_targets=(QuorvelSetup)
if wants verify window download path tls interrupt proxy runtime; then
  win_targets+=(fake_setup bare_download window_baseline window_baseline_query display_query
    verify_bench tls_throughput_bench download_bench runtime_bench)
fi
cmake --build "$win" -j "$jobs" --target "${win_targets[@]}"
host_targets=()
wants crc && host_targets+=(crc64_bench)
wants runtime && host_targets+=(runtime_bench)
wants verify download path tls interrupt proxy && host_targets+=(crc64sum)
if [ ${#host_targets[@]} -gt 0 ]; then
  cmake --preset host -B "$host" >/dev/null
  cmake --build "$host" -j "$jobs" --target "${host_targets[@]}"
fi
release_args=()
if wants size; then
  bash scripts/release.sh --url "https://localhost:${port}/Download/Micro/QuorvelLauncher.exe" \
    --build-dir "$release" --dist "$release/dist" >/dev/null
  release_args=(--release "$release/dist/QuorvelSetup.exe")
fi
exec python3 bench/run_all.py --win "$win" --host "$host" "${release_args[@]}" "$@"
