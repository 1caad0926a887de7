#!/bin/sh
# Builds the project in the current folder with make at idle priority, so
# that the machine stays as quick as before for everything else, and says
# how the build went. Arguments go to make:
#
#   sh /usr/share/doc/lullrun/examples/idle-build.sh -j4
#
# lullrun passes its arguments on as they are, with no shell in between, and
# ends with make's exit status. Make and every compiler it starts run in a
# session of their own: Ctrl-C ends lullrun but not the build.

lullrun make "$@"
status=$?
case $status in
  0) echo "idle-build: done" ;;
  126 | 127) echo "idle-build: make could not be started ($status)" >&2 ;;
  *) echo "idle-build: make failed ($status)" >&2 ;;
esac
exit "$status"
