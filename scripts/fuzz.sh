#!/usr/bin/env bash
# Builds the libFuzzer targets with the fuzz preset (clang, ASan, UBSan) and runs each one for
# SECONDS seconds (default 30), one per processor at a time, seeded from tests/fuzz/corpus/<name>.
# New inputs go to a scratch directory, so the checked-in seeds stay as they are. Fails when any
# target finds a crash.
# FUZZ_BUILD_DIR chooses the build directory (default: the preset's).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build_dir=${FUZZ_BUILD_DIR:-build/fuzz}
cmake --preset fuzz -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_download_url fuzz_head_reply fuzz_get_head \
  fuzz_timestamp_info fuzz_launcher_signature fuzz_retry_after \
  fuzz_proxy_reply

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fuzz_one() {  # fuzz_one NAME: one target's run; its report on standard output, its status returned
  local name=$1
  mkdir -p "$scratch/$name"
  echo "--- fuzz_$name for ${seconds}s"
  if ! "$build_dir/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$scratch/$name-" "$scratch/$name" "tests/fuzz/corpus/$name" 2>"$scratch/$name.log"; then
    tail -n 40 "$scratch/$name.log"
    for artifact in "$scratch/$name"-crash-* "$scratch/$name"-leak-* "$scratch/$name"-timeout-*; do
      [ -e "$artifact" ] && echo "artifact: $(basename "$artifact") ($(od -An -c "$artifact" | head -c 400))"
    done
    return 1
  fi
  grep -E 'stat::number_of_executed_runs|Done' "$scratch/$name.log" | tail -n 2 || true
}

# One target per processor at a time: each runs on one. Reports are printed in the list's order.
names=(download_url head_reply get_head timestamp_info launcher_signature retry_after proxy_reply)
for name in "${names[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  (
    result=0
    fuzz_one "$name" >"$scratch/$name.report" || result=1
    echo $result >"$scratch/$name.status"
  ) &
done
wait
status=0
for name in "${names[@]}"; do
  cat "$scratch/$name.report"
  [ "$(cat "$scratch/$name.status")" = 0 ] || status=1
done
exit $status
