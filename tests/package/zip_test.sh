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

# Every DLL a program imports must come with Windows or with the zip: a
# program needing the compiler's runtime DLLs would not start elsewhere.
objdump=$(command -v x86_64-w64-mingw32-objdump || command -v objdump || true)
system_dll='^(kernel32|user32|gdi32|advapi32|shell32|ole32|comctl32|shlwapi|ntdll|msvcrt|ucrtbase|api-ms-win-.*)\.dll$'
for program in "${programs[@]}"; do
  exe=$top/bin/$program.exe
  # A Windows program starts with "MZ".
  if [[ $(head -c 2 "$exe" 2>/dev/null) != MZ ]]; then
    fail "bin/$program.exe missing or not a Windows program"
    continue
  fi
  [[ -n $objdump ]] || { echo "note: no objdump, the DLLs $program.exe needs are not checked"; continue; }
  while read -r dll; do
    [[ ${dll,,} =~ $system_dll || -f $top/bin/$dll ]] ||
      fail "bin/$program.exe needs $dll, which is neither part of Windows nor in the zip"
  done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
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
