#!/usr/bin/env bash
# Builds and runs every test: the default build, then the sanitizer build.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
# The settings lookup under libFuzzer for a bounded time (FUZZ_SECONDS).
bash scripts/fuzz.sh
