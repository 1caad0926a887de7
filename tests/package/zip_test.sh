#!/usr/bin/env bash
# The Windows .zip as a user gets it: one folder holding both programs, the
# README, the licence and an example settings file with Windows line ends.
#   zip_test.sh ZIP_FOLDER PROGRAM...
set -uo pipefail
output=$1
shift
programs=("$@")

failed=0
fail() { echo "FAIL: $*"; failed=1; }

shopt -s nullglob
zips=("$output"/*.zip)
((${#zips[@]} == 1)) || { echo "no .zip in $output"; exit 1; }

scratch=$(mktemp -d /tmp/lull-zip.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
cmake -E chdir "$scratch" cmake -E tar xf "${zips[0]}" || { echo "cannot unpack ${zips[0]}"; exit 1; }
folders=("$scratch"/*/)
((${#folders[@]} == 1)) || { echo "the zip does not hold exactly one folder"; exit 1; }
top=${folders[0]}

for program in "${programs[@]}"; do
  # A Windows program starts with "MZ".
  [[ $(head -c 2 "$top/bin/$program.exe" 2>/dev/null) == MZ ]] || fail "bin/$program.exe missing or not a Windows program"
done
[[ -s $top/README.md ]] || fail "README.md missing"
grep -q '^MIT License' "$top/LICENSE.txt" 2>/dev/null || fail "LICENSE.txt missing or not the MIT licence"

settings=$top/examples/nightly.properties
if [[ -s $settings ]]; then
  # Every line ends in CR LF: as many CRs as LFs, each CR right before an LF.
  lines=$(tr -cd '\n' <"$settings" | wc -c)
  returns=$(tr -cd '\r' <"$settings" | wc -c)
  pairs=$(grep -c $'\r$' "$settings")
  ((lines > 0 && returns == lines && pairs == lines)) ||
    fail "examples/nightly.properties does not end every line in CR LF ($lines LF, $returns CR)"
  for key in Java_Executable_Path Class_path_to_use Class_to_run Args_if_any Java_run_minimized_no_focus; do
    grep -q "^$key=" "$settings" || fail "examples/nightly.properties lacks $key"
  done
else
  fail "examples/nightly.properties missing"
fi
exit "$failed"
