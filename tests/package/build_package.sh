#!/usr/bin/env bash
# Makes the package from this build tree with CPack, into a folder of its
# own that holds the one package and CPack's log afterwards.
#   build_package.sh CPACK CPACK_CONFIG GENERATOR EXTENSION OUTPUT_FOLDER
set -euo pipefail
cpack=$1 config=$2 generator=$3 extension=$4 output=$5

rm -rf "$output"
mkdir -p "$output"
if ! "$cpack" -G "$generator" --config "$config" -B "$output" >"$output/cpack.log" 2>&1; then
  cat "$output/cpack.log"
  exit 1
fi
rm -rf "$output/_CPack_Packages"

shopt -s nullglob
packages=("$output"/*."$extension")
if ((${#packages[@]} != 1)); then
  echo "expected one .$extension in $output, found ${#packages[@]}"
  cat "$output/cpack.log"
  exit 1
fi
echo "made ${packages[0]}"
