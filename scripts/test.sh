#!/usr/bin/env bash
# Builds and runs every test: the default build, then the sanitizer build,
# then the Windows build with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --workflow --preset default
cmake --workflow --preset asan
cmake --workflow --preset windows
