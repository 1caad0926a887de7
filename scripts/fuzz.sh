#!/usr/bin/env bash
# Fuzzes the settings lookup for a bounded time (FUZZ_SECONDS, 60 by default)
# with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
# Fails on any finding; the input that broke the lookup is kept under
# build/fuzz/findings/ and belongs, once fixed, in tests/fuzz/regressions/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
compiler="$(command -v clang++-14 || command -v clang++)"
cmake -S tests/fuzz -B build/fuzz -DCMAKE_CXX_COMPILER="$compiler" >/dev/null
cmake --build build/fuzz -j2

# The corpus grown by this run starts from the seeds; the seeds stay as they are.
work="build/fuzz/work"
rm -rf "$work" && mkdir -p "$work/corpus" build/fuzz/findings
scratch="$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo /tmp )/lull-fuzz.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

export LULL_FUZZ_SCRATCH="$scratch"

# The saved inputs first: each must pass as it stands.
if ! build/fuzz/lookup_fuzz -runs=0 tests/fuzz/regressions tests/fuzz/corpus >build/fuzz/saved.log 2>&1; then
  cat build/fuzz/saved.log >&2
  echo "fuzz: a saved input fails" >&2
  exit 1
fi

status=0
build/fuzz/lookup_fuzz \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=512 -malloc_limit_mb=256 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
  "$work/corpus" tests/fuzz/corpus >build/fuzz/fuzz.log 2>&1 || status=$?
grep -E '^(#[0-9]+[[:space:]]+DONE|Done|stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)|SUMMARY|lookup rule)' build/fuzz/fuzz.log || true
if [ "$status" -ne 0 ]; then
  tail -n 40 build/fuzz/fuzz.log >&2
  echo "fuzz: finding, see build/fuzz/fuzz.log and build/fuzz/findings/" >&2
  exit 1
fi
echo "fuzz: no finding in ${seconds} s, corpus grown to $(ls "$work/corpus" | wc -l) inputs"
