#!/usr/bin/env bash
# The .deb as a user gets it: unpacked into a scratch folder, its files where
# they belong, the nightly Java example run through a link named after the
# job, and the pass-through example script run on a small build.
#   install_test.sh DEB_FOLDER VERSION PROGRAM...
set -uo pipefail
output=$1 version=$2
shift 2
programs=("$@")

failed=0
fail() { echo "FAIL: $*"; failed=1; }
expect_status() { [[ $2 == "$3" ]] || fail "$1: exit status $2, expected $3"; }
expect_silent() { [[ ! -s $2 && ! -s $3 ]] || fail "$1 printed: $(cat "$2" "$3")"; }

shopt -s nullglob
debs=("$output"/*.deb)
((${#debs[@]} == 1)) || { echo "no .deb in $output"; exit 1; }
deb=${debs[0]}

scratch=$(mktemp -d /tmp/lull-package.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "dpkg-deb -x failed"; exit 1; }
docs=$root/usr/share/doc/lullrun

# --- What the package says of itself, and what it holds.
[[ $(dpkg-deb -f "$deb" Package) == lullrun ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] || fail "version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends lacks libc6"
for program in "${programs[@]}"; do
  [[ -x $root/usr/bin/$program ]] || fail "usr/bin/$program missing or not executable"
  page=$root/usr/share/man/man1/$program.1.gz
  if [[ -f $page ]]; then
    MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "SETTINGS FILE" || fail "$program.1.gz does not render"
  else
    fail "usr/share/man/man1/$program.1.gz missing"
  fi
done
for file in README.md LICENSE copyright changelog.gz \
  examples/Nightly.java examples/nightly.properties examples/idle-build.sh; do
  [[ -f $docs/$file ]] || fail "usr/share/doc/lullrun/$file missing"
done
grep -q '^MIT License' "$docs/LICENSE" || fail "LICENSE is not the MIT licence"

# --- The nightly Java job, through a link named after it, started from
# another folder: the settings come from the link's folder, not from the
# current one and not from the real program's.
jobs=$scratch/jobs projects=$scratch/projects elsewhere=$scratch/elsewhere
mkdir -p "$jobs" "$projects/sub" "$elsewhere"
printf 'hello' >"$projects/a"
printf 'goodbye' >"$projects/sub/b"
: >"$projects/c"

cp "$docs/examples/Nightly.java" "$scratch/"
javac -d "$jobs" "$scratch/Nightly.java" || fail "the example job does not compile"
settings=$jobs/nightly.properties
sed -e "s|/home/me/jobs|$jobs|g" -e "s|/home/me/projects|$projects|g" \
  "$docs/examples/nightly.properties" >"$settings"
grep -q /home/me "$settings" && fail "the example settings have a path the test does not know"
cp "$settings" "$scratch/settings.before"
ln -s "$root/usr/bin/lullrun" "$jobs/nightly"

(cd "$elsewhere" && exec "$jobs/nightly" >"$scratch/out" 2>"$scratch/err")
expect_status "nightly by its path" $? 0
expect_silent "nightly" "$scratch/out" "$scratch/err"
grep -qE "^[0-9T:-]+Z $projects: 3 files, 12 bytes$" "$jobs/nightly.log" 2>/dev/null ||
  fail "the job's log is not as expected: $(cat "$jobs/nightly.log" 2>&1)"
cmp -s "$settings" "$scratch/settings.before" || fail "a complete settings file was changed"
[[ ! -e $elsewhere/nightly.properties && ! -e $root/usr/bin/lullrun.properties ]] ||
  fail "a settings file was made beside the current folder or the real program"

# By a bare name, found on PATH.
(cd "$elsewhere" && PATH="$jobs:$PATH" exec nightly >"$scratch/out" 2>"$scratch/err")
expect_status "nightly by its name" $? 0
[[ $(wc -l <"$jobs/nightly.log") == 2 ]] || fail "the job did not run a second time by its bare name"

# A folder the job cannot read is skipped and counted, and the line is still
# written. Root reads every folder, so there the job runs as nobody.
tree=$scratch/locked/tree
mkdir -p "$tree/open" "$tree/shut" "$scratch/locked/log"
printf 'hello' >"$tree/open/a"
printf 'secret' >"$tree/shut/b"
chmod 000 "$tree/shut"
runner=()
if ((EUID == 0)); then
  chmod 711 "$scratch"
  chmod 777 "$scratch/locked/log"
  runner=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
"${runner[@]}" java -classpath "$jobs" Nightly "$tree" "$scratch/locked/log/nightly.log" \
  >"$scratch/out" 2>"$scratch/err"
expect_status "nightly with an unreadable folder" $? 0
grep -qE "^[0-9T:-]+Z $tree: 1 files, 5 bytes, 1 unreadable skipped$" "$scratch/locked/log/nightly.log" 2>/dev/null ||
  fail "the job did not log past an unreadable folder: $(cat "$scratch/locked/log/nightly.log" "$scratch/err" 2>&1)"

# lullspawn runs its Java child in its own folder: the class path "." and a
# relative log name mean the link's folder, wherever it is started from.
if [[ " ${programs[*]} " == *" lullspawn "* ]]; then
  spawn_jobs=$scratch/spawn-jobs
  mkdir -p "$spawn_jobs"
  cp "$jobs/Nightly.class" "$spawn_jobs/"
  printf 'Java_Executable_Path=java\nClass_path_to_use=.\nClass_to_run=Nightly\nArgs_if_any=%s nightly.log\n' \
    "$projects" >"$spawn_jobs/nightly.properties"
  ln -s "$root/usr/bin/lullspawn" "$spawn_jobs/nightly"
  (cd "$elsewhere" && exec "$spawn_jobs/nightly" >"$scratch/out" 2>"$scratch/err")
  expect_status "nightly through lullspawn" $? 0
  expect_silent "nightly through lullspawn" "$scratch/out" "$scratch/err"
  grep -q "$projects: 3 files, 12 bytes$" "$spawn_jobs/nightly.log" 2>/dev/null ||
    fail "lullspawn's job did not log beside its link: $(ls "$spawn_jobs" "$elsewhere")"
fi

# --- A first run without a settings file leaves the template, and ends
# with 127: the command it composed cannot be started.
declare -A template=(
  [lullrun]=$'Java_Executable_Path=\nClass_path_to_use=\nClass_to_run=\nArgs_if_any=\nJava_run_minimized_no_focus='
  [lullspawn]=$'Java_Executable_Path=\nClass_path_to_use=\nClass_to_run=\nArgs_if_any='
)
for program in "${programs[@]}"; do
  first=$scratch/first-$program
  mkdir -p "$first"
  ln -s "$root/usr/bin/$program" "$first/fresh"
  (cd "$elsewhere" && exec "$first/fresh" >"$scratch/out" 2>"$scratch/err")
  expect_status "$program first run" $? 127
  expect_silent "$program first run" "$scratch/out" "$scratch/err"
  [[ $(cat "$first/fresh.properties" 2>&1) == "${template[$program]}" ]] ||
    fail "$program first run wrote: $(cat "$first/fresh.properties" 2>&1)"
done

# --- The pass-through example: make at idle priority, its status given back.
project=$scratch/project
mkdir -p "$project"
printf 'all:\n\tcut -d" " -f19,41 /proc/self/stat >priority\n' >"$project/Makefile"
(cd "$project" && PATH="$root/usr/bin:$PATH" exec sh "$docs/examples/idle-build.sh" -s \
  >"$scratch/out" 2>"$scratch/err")
expect_status "idle-build" $? 0
[[ $(cat "$scratch/out") == "idle-build: done" ]] || fail "idle-build said: $(cat "$scratch/out" "$scratch/err")"
# Field 19 is the nice value, field 41 the policy (5 is SCHED_IDLE).
[[ $(cat "$project/priority" 2>&1) == "19 5" ]] ||
  fail "the build ran at nice and policy '$(cat "$project/priority" 2>&1)', not '19 5'"

(cd "$project" && PATH="$root/usr/bin:$PATH" exec sh "$docs/examples/idle-build.sh" -s no-such-target \
  >"$scratch/out" 2>"$scratch/err")
expect_status "idle-build of a missing target" $? 2
grep -q "make failed (2)" "$scratch/err" || fail "idle-build did not report the failure: $(cat "$scratch/err")"

# Pass-through mode looked up its one key beside the real program.
[[ $(cat "$root/usr/bin/lullrun.properties" 2>&1) == "Extern_run_minimized_no_focus=" ]] ||
  fail "pass-through wrote: $(cat "$root/usr/bin/lullrun.properties" 2>&1)"

exit "$failed"
