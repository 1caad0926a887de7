#!/usr/bin/env bash
# The programs in the package (.deb or .rpm) carry the hardening of a
# distribution's build: position-independent, full RELRO with every symbol
# bound at start, the stack protector, and every source of theirs compiled
# with the C library's fortified calls (_FORTIFY_SOURCE).
#   hardening_test.sh PACKAGE_FOLDER COMPILE_COMMANDS PROGRAM...
set -uo pipefail
output=$1 commands=$2
shift 2

failed=0
fail() { echo "FAIL: $*"; failed=1; }

shopt -s nullglob
packages=("$output"/*.deb "$output"/*.rpm)
((${#packages[@]} == 1)) || { echo "no package in $output"; exit 1; }
root=$(mktemp -d /tmp/lull-hardening.XXXXXX)
trap 'rm -rf "$root"' EXIT
# rpmbuild strips the programs once more: the .rpm's are checked as packed.
case ${packages[0]} in
  *.deb) dpkg-deb -x "${packages[0]}" "$root" ;;
  *.rpm) rpm2cpio "${packages[0]}" | (cd "$root" && cpio -id --quiet) ;;
esac || { echo "cannot unpack ${packages[0]}"; exit 1; }

for program in "$@"; do
  file=$root/usr/bin/$program
  [[ -f $file ]] || { fail "usr/bin/$program missing"; continue; }
  header=$(readelf -h -W "$file") dynamic=$(readelf -d -W "$file")
  segments=$(readelf -l -W "$file") symbols=$(readelf --dyn-syms -W "$file")
  grep -q 'Type: *DYN' <<<"$header" || fail "$program is not position-independent"
  grep -Eq '\(FLAGS\) +BIND_NOW' <<<"$dynamic" || fail "$program does not bind its symbols at start"
  grep -Eq '\(FLAGS_1\) +Flags:.*\bNOW\b.*\bPIE\b' <<<"$dynamic" || fail "$program lacks FLAGS_1 NOW PIE"
  grep -q GNU_RELRO <<<"$segments" || fail "$program has no RELRO segment"
  grep -q ' __stack_chk_fail' <<<"$symbols" || fail "$program has no stack protector"
  # Read to the end, not with grep -q: a reader that stops at the first match
  # ends the writer with SIGPIPE, and pipefail counts that as no match.
  fortified=$(grep -E ' __[a-z_]+_chk(@|$)' <<<"$symbols" | grep -v ' __stack_chk_fail')
  [[ -n $fortified ]] || fail "$program calls no fortified function"
done

# Fortification leaves a trace in a program only where a call cannot be
# proven safe at compile time; the compile commands show that every source
# of the programs was built with it.
python3 - "$commands" "$@" <<'PYTHON' || failed=1
import json, re, sys
commands, programs = sys.argv[1], sys.argv[2:]
targets = {"lull_core", "lull_platform", "lull_entry", *programs}
checked = 0
for entry in json.load(open(commands)):
    target = re.search(r"CMakeFiles/([^/]+)\.dir/", entry["command"])
    if not target or target.group(1) not in targets:
        continue
    checked += 1
    if "-D_FORTIFY_SOURCE=2" not in entry["command"].split():
        print(f"FAIL: {entry['file']} is compiled without -D_FORTIFY_SOURCE=2")
        sys.exit(1)
if checked == 0:
    print(f"FAIL: no compile command of the programs in {commands}")
    sys.exit(1)
PYTHON
exit "$failed"
