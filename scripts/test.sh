#!/usr/bin/env bash
# Builds and runs every test: the default build, then the sanitizer build,
# then the Windows build with its tests under Wine; makes the .deb, the .rpm
# and the Windows zip, fuzzes the settings lookup for a bounded time, and
# builds and tests the same tree on the next Debian release (Debian 13).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset windows
cmake --workflow --preset package   # the .deb and the .rpm, from the release build
# The settings lookup under libFuzzer for a bounded time (FUZZ_SECONDS).
bash scripts/fuzz.sh
[ "${LULL_SKIP_DEBIAN13:-}" = 1 ] || bash scripts/build-debian13.sh
