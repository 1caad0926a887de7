#!/usr/bin/env bash
# Debian's own check of the package: any error or warning fails; the notes
# of lower rank are shown but pass, except, for a hardened build, any of the
# hardening tags.
#   lintian_test.sh DEB_FOLDER SUPPRESSED_TAGS_FILE [hardened]
set -euo pipefail
output=$1 suppressed=$2 hardened=${3:-}

shopt -s nullglob
debs=("$output"/*.deb)
((${#debs[@]} == 1)) || { echo "no .deb in $output"; exit 1; }

status=0
report=$(lintian --fail-on error,warning --display-info --suppress-tags-from-file "$suppressed" \
  "${debs[0]}" 2>&1) || status=$?
echo "$report"
if [[ $hardened == hardened ]] && grep -q ': hardening-' <<<"$report"; then
  echo "FAIL: a hardened build shows hardening tags"
  status=1
fi
exit "$status"
