#!/usr/bin/env bash
# Builds and runs every test: the default build, then the sanitizer build,
# then the Windows build with its tests under Wine; makes the .deb, the .rpm
# and the Windows zip, and fuzzes the settings lookup for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset windows
cmake --workflow --preset package   # the .deb and the .rpm, from the release build
# The settings lookup under libFuzzer for a bounded time (FUZZ_SECONDS).
bash scripts/fuzz.sh
