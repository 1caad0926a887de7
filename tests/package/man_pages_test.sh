#!/usr/bin/env bash
# The manual pages as built: clean under mandoc's and groff's checks, shown
# by man without a warning, and holding every section a reader looks for.
#   man_pages_test.sh PAGE...
set -uo pipefail
failed=0
fail() { echo "FAIL: $*"; failed=1; }

sections=(NAME SYNOPSIS DESCRIPTION "SETTINGS FILE" "EXIT STATUS" FILES EXAMPLES NOTES "SEE ALSO")

for page in "$@"; do
  name=$(basename "$page" .1)
  [[ -s $page ]] || { fail "$page is missing"; continue; }

  # mandoc exits non-zero on a warning or worse; print what it says anyway.
  if ! lint=$(mandoc -T lint -W warning "$page" 2>&1) || [[ -n $lint ]]; then
    fail "mandoc -T lint on $name: $lint"
  fi
  warnings=$(groff -ww -z -t -man "$page" 2>&1)
  [[ -z $warnings ]] || fail "groff -ww on $name: $warnings"

  text=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>"$page.stderr")
  [[ ! -s $page.stderr ]] || fail "man -l on $name: $(cat "$page.stderr")"
  rm -f "$page.stderr"

  for section in "${sections[@]}"; do
    grep -qx "$section" <<<"$text" || fail "$name has no $section section"
  done
  grep -Eq "^ +$name +- " <<<"$text" || fail "$name: NAME does not start with '$name - '"
  for see in "nice(1)" "chrt(1)" "ionice(1)"; do
    grep -A3 -x "SEE ALSO" <<<"$text" | grep -qF "$see" || fail "$name: SEE ALSO lacks $see"
  done
done
exit "$failed"
