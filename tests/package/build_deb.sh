#!/usr/bin/env bash
# Makes the .deb from this build tree with CPack, into a folder of its own
# that holds nothing else afterwards.
#   build_deb.sh CPACK CPACK_CONFIG OUTPUT_FOLDER
set -euo pipefail
cpack=$1 config=$2 output=$3

rm -rf "$output"
mkdir -p "$output"
if ! "$cpack" -G DEB --config "$config" -B "$output" >"$output/cpack.log" 2>&1; then
  cat "$output/cpack.log"
  exit 1
fi
rm -rf "$output/_CPack_Packages"

shopt -s nullglob
debs=("$output"/*.deb)
if ((${#debs[@]} != 1)); then
  echo "expected one .deb in $output, found ${#debs[@]}"
  cat "$output/cpack.log"
  exit 1
fi
echo "made ${debs[0]}"
