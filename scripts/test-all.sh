#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine and runs every test: the unit suites (debug
# build), the end-to-end suites through the real pcscd and kelm-cardsim, the release build (the
# libraries, tools and benchmarks: it proves that the optimised build compiles clean), the unit
# suites again under AddressSanitizer and UndefinedBehaviorSanitizer, the thread tests through
# pcscd under both sanitizers and all of them under ThreadSanitizer, every fuzz target under
# libFuzzer for a bounded time (KELM_FUZZ_SECONDS, default 45, two at a time), and the Windows DLL
# (cross-built with mingw-w64) under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake --preset default
cmake --build --preset default -j"$jobs"
ctest --preset default -L unit -j"$jobs"

# Everything but the test suites (the preset leaves them out): the optimiser's warnings (-Werror)
# reach code the debug build never warns about.
cmake --preset release
cmake --build --preset release -j"$jobs"
for program in build/release/bench/bench_*; do
  "$program" --benchmark_list_tests >/dev/null
done

cmake --preset asan
cmake --build --preset asan -j"$jobs"
ctest --preset asan -L unit -j"$jobs"

# ThreadSanitizer: the thread tests only (the preset builds test_threads and kelm-cardsim).
cmake --preset tsan
cmake --build --preset tsan -j"$jobs"

if [ -x scripts/services.sh ]; then
  scripts/services.sh start
  trap 'scripts/services.sh stop' EXIT
  # The thread tests through pcscd run under the two sanitizers only (the in-process ones ran
  # above with the unit suites; the tsan preset runs both kinds).
  ctest --preset default -L pcscd -E ^Threads
  ctest --preset asan -L pcscd -R ^Threads
  ctest --preset tsan
  scripts/services.sh stop
  trap - EXIT
fi

fuzz_start=$SECONDS
cmake --preset fuzz
cmake --build --preset fuzz -j"$jobs"
scripts/fuzz.sh "${KELM_FUZZ_SECONDS:-45}"
echo "fuzz preset: built and fuzzed in $((SECONDS - fuzz_start)) s"

scripts/install-windows-deps.sh
cmake --preset windows
cmake --build --preset windows -j"$jobs"
ctest --preset windows -j"$jobs"
