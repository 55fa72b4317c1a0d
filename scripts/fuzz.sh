#!/usr/bin/env bash
# Runs every libFuzzer target of the fuzz preset for a bounded time, two at a time, each from a
# copy of its seed corpus in fuzz/corpus/<target>/, and fails when any target finds a crash,
# a leak, undefined behaviour or a timeout. Builds nothing (cmake --preset fuzz && cmake --build
# --preset fuzz does).
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
#
# SECONDS_PER_TARGET defaults to KELM_FUZZ_SECONDS or 45; no targets: every target built. A
# crashing input is kept as build/fuzz/findings/<target>/crash-*; reproduce it with
# build/fuzz/fuzz/<target> FILE, and add it to the target's corpus once fixed. Each target's
# last lines (executions per second, edges covered) are printed; full logs stay in
# build/fuzz/findings/<target>.log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELM_FUZZ_BUILD_DIR:-$root/build/fuzz}
seconds=${1:-${KELM_FUZZ_SECONDS:-45}}
shift || true
parallel=${KELM_FUZZ_JOBS:-2}
findings=$build/findings

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

run_one() {
  local target=$1 program=$build/fuzz/$1 work=$findings/$1
  [ -x "$program" ] || { echo "fuzz: $target is not built in $build" >&2; return 1; }
  rm -rf "$work" "$work.corpus"
  mkdir -p "$work" "$work.corpus"
  [ -d "$root/fuzz/corpus/$target" ] && cp -r "$root/fuzz/corpus/$target/." "$work.corpus/"
  local status=0
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work.corpus" >"$work.log" 2>&1 || status=$?
  local last
  last=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED)' "$work.log" | tail -n 1 || true)
  local rate
  rate=$(grep -E '^stat::average_exec_per_sec' "$work.log" | awk '{print $2}' || true)
  echo "fuzz: $target: ${last:-no progress line}; ${rate:-?} execs/s; exit $status"
  if [ "$status" -ne 0 ]; then
    echo "--- last lines of $work.log ---" >&2
    tail -n 40 "$work.log" >&2
  fi
  return "$status"
}

mkdir -p "$findings"
failed=()
pids=()
names=()
for target in "${targets[@]}"; do
  run_one "$target" &
  pids+=($!)
  names+=("$target")
  if [ ${#pids[@]} -ge "$parallel" ]; then
    wait "${pids[0]}" || failed+=("${names[0]}")
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || failed+=("${names[$i]}")
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a fault"
