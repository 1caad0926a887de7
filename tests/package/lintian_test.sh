#!/usr/bin/env bash
# Debian's own check of the package: any error or warning fails; the notes
# of lower rank are shown but pass.
#   lintian_test.sh DEB_FOLDER SUPPRESSED_TAGS_FILE
set -euo pipefail
output=$1 suppressed=$2

shopt -s nullglob
debs=("$output"/*.deb)
((${#debs[@]} == 1)) || { echo "no .deb in $output"; exit 1; }

exec lintian --fail-on error,warning --display-info --suppress-tags-from-file "$suppressed" "${debs[0]}"
