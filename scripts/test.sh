#!/usr/bin/env bash
# Sets up a fresh Debian 12 or 13 machine and runs every test: the native tests under ASan+UBSan and
# TSan, the Windows build under Wine (unit tests, GUI tests under Xvfb, end-to-end runs against nginx,
# the fault server and, with the sanitizer build's quorvel-check, the publishers' web servers),
# and short fuzzing runs. Ends with one summary line "N passed, N failed".
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh || exit 1

jobs=$(nproc)
passed=0
failed=0
failures=()

step() {  # step NAME COMMAND...: runs a step, counts it, keeps going after a failure
  local name=$1 started=$SECONDS status=0
  shift
  echo "=== $name"
  "$@" || status=$?
  echo "=== $name: $((SECONDS - started)) s"
  if [ $status -eq 0 ]; then
    passed=$((passed + 1))
    return 0
  fi
  failed=$((failed + 1))
  failures+=("$name")
  return 1
}

build() {  # build PRESET [cmake -D options...]
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset" -j "$jobs"
}

run_ctest() {  # run_ctest PRESET [ctest options...]
  local preset=$1
  shift
  ctest --preset "$preset" -j "$jobs" "$@"
}

# The native builds under the sanitizers and the fuzzing need the processors; the Windows tests
# spend most of their time waiting on the programs they run (retry pauses, throttled servers,
# time-outs). So the former run beside the latter, at a lower priority, and print when both are done.
# The portable code's tests run natively under ASan and UBSan only: optimised, they run in the
# Windows build, and a plain native build of them would prove nothing more.
native_checks() {  # runs in a subshell: its counts go to the file $1
  step "host-sanitize build" build host-sanitize && step "host-sanitize tests" run_ctest host-sanitize
  step "host-tsan build" build host-tsan && step "host-tsan tests" run_ctest host-tsan
  if [ -x scripts/fuzz.sh ]; then
    step "fuzz" bash scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
  fi
  { echo "$passed $failed"; printf '%s\n' "${failures[@]}"; } >"$1"
}

# The Windows tests' server and signature runs call quorvel-check: the one of the ASan+UBSan
# build, made first, whose objects that build's later steps reuse (a plain native build for it
# alone cost a minute and a half of processor time).
step "host check tool build" bash -c \
  "cmake --preset host-sanitize >/dev/null && cmake --build --preset host-sanitize -j $jobs --target quorvel-check"
# The Windows build downloads from a local nginx in the end-to-end tests.
# A support log limit of 64 KiB lets the log's end-to-end test watch it being set aside in seconds.
step "windows build" build windows -DQUORVEL_DOWNLOAD_URL="https://localhost:${QUORVEL_E2E_PORT:-47443}/Download/Micro/QuorvelLauncher.exe" \
  -DQUORVEL_SUPPORT_LOG_LIMIT=65536 -DQUORVEL_CHECK_TOOL="$PWD/build/host-sanitize/src/check/quorvel-check"
windows_built=$?
native_log=$(mktemp)
native_counts=$(mktemp)
trap 'rm -f "$native_log" "$native_counts"' EXIT
nice -n 15 bash -c "set -uo pipefail; $(declare -f step build run_ctest native_checks)
  jobs=$jobs passed=0 failed=0 failures=(); native_checks '$native_counts'" >"$native_log" 2>&1 &
native_pid=$!
# Four lanes of whole-program runs (each its own prefix, one run at a time) mostly wait on the
# programs they run, so they take a slot each beside the unit and window tests.
[ $windows_built -eq 0 ] && step "windows tests" ctest --preset windows -j $((jobs + 3))
wait $native_pid
cat "$native_log"
if [ -s "$native_counts" ]; then
  {
    read -r native_passed native_failed
    passed=$((passed + native_passed))
    failed=$((failed + native_failed))
    while IFS= read -r name; do [ -n "$name" ] && failures+=("$name"); done
  } <"$native_counts"
else
  failed=$((failed + 1))
  failures+=("native checks (ended without a result)")
fi

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "steps: $passed passed, $failed failed, ${SECONDS} s"
[ "$failed" -eq 0 ]
