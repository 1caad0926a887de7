#!/usr/bin/env bash
# Runs the wrapper under valgrind's memcheck: Java mode with a complete
# settings file, Java mode with none (the template is written), and
# pass-through mode. Fails on any memcheck error or leak, or when the wrapper
# does not end with its child's status.
# Usage: memcheck.sh VALGRIND WRAPPER CHILD [KEY...]
# The keys are those a first run in Java mode writes (lullrun's five by default).
set -uo pipefail
valgrind="$1" wrapper="$(realpath "$2")" child="$(realpath "$3")"
suppressions="$(dirname "$(realpath "$0")")/valgrind.supp"
shift 3
keys=("$@")
((${#keys[@]})) || keys=(Java_Executable_Path Class_path_to_use Class_to_run Args_if_any Java_run_minimized_no_focus)
scratch="$(mktemp -d /tmp/lull-memcheck.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/tools" "$scratch/empty"
ln -s "$wrapper" "$scratch/tools/job"
ln -s "$wrapper" "$scratch/empty/job"
printf 'Java_Executable_Path=%s\nClass_path_to_use=.\nClass_to_run=Main\nArgs_if_any=exit=6\nJava_run_minimized_no_focus=\nExtern_run_minimized_no_focus=TRUE\n' \
  "$child" >"$scratch/tools/job.properties"

failed=0
check() {  # name, expected status, command...
  local name="$1" expected="$2"
  shift 2
  "$valgrind" --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=all \
    --suppressions="$suppressions" \
    --errors-for-leak-kinds=definite,indirect,possible --log-file="$scratch/$name.%p.log" "$@" </dev/null
  local status=$?
  # One log per process: the wrapper's, and that of a child whose exec failed.
  local errors lost
  errors="$(cat "$scratch/$name".*.log | sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' | paste -sd+)"
  lost="$(cat "$scratch/$name".*.log | sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' | paste -sd+)"
  echo "memcheck $name: status $status (expected $expected); errors ${errors:-?}; definitely lost ${lost:-0} bytes;" \
    "$(grep -h 'in use at exit' "$scratch/$name".*.log | head -1 | sed 's/^==[0-9]*== *//')"
  if [ "$status" -ne "$expected" ] || grep -q '[1-9]' <<<"$errors"; then
    cat "$scratch/$name".*.log
    failed=1
  fi
}
check java 6 "$scratch/tools/job"
check java-template 127 "$scratch/empty/job"
check pass-through 5 "$scratch/tools/job" "$child" exit=5
[ "$(cat "$scratch/empty/job.properties")" = "$(printf '%s=\n' "${keys[@]}")" ] ||
  { echo "memcheck: template not written as expected"; failed=1; }
exit "$failed"
