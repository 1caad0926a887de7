#!/usr/bin/env bash
# The demonstration: builds lullrun, runs a small multi-threaded Java job
# through it in Java mode, shows every JVM thread in the idle class, then
# shows that lullrun ended when the job did.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j2 >/dev/null

demo=build/demo
rm -rf "$demo" && mkdir -p "$demo"
cp build/release/programs/lullrun "$demo/"
javac -d "$demo" scripts/demo/Workers.java
java_path=$(command -v java)
# The settings file beside the program, named after it.
cat > "$demo/lullrun.properties" <<PROPERTIES
Java_Executable_Path=$java_path
Class_path_to_use=$PWD/$demo
Class_to_run=Workers
Args_if_any=6
Java_run_minimized_no_focus=
PROPERTIES
echo "== $demo/lullrun.properties"
cat "$demo/lullrun.properties"

echo "== starting $demo/lullrun (Java mode: no arguments)"
"$demo/lullrun" &
wrapper=$!
jvm=""
for _ in $(seq 100); do
  jvm=$(pgrep -P "$wrapper" || true)
  [ -n "$jvm" ] && [ "$(ls "/proc/$jvm/task" 2>/dev/null | wc -l)" -gt 8 ] && break
  sleep 0.1
done
sleep 1
echo "== the JVM (pid $jvm), every thread: CLS IDL is SCHED_IDLE"
ps -L -o pid,tid,cls,ni,pcpu,comm -p "$jvm"
threads=$(ps -L -o cls= -p "$jvm" | wc -l)
idle=$(ps -L -o cls= -p "$jvm" | grep -c IDL || true)
echo "== $idle of $threads JVM threads are in the idle class"
chrt -p "$jvm"
echo "== its disk access is idle too; the control group it runs in:"
echo "I/O class: $(ionice -p "$jvm")"
grep -E '^[0-9]+:([^:]*,)?cpu(,[^:]*)?:' "/proc/$jvm/cgroup" || grep '^0::' "/proc/$jvm/cgroup"
echo "== lullrun itself (pid $wrapper) keeps its own class:"
ps -o pid,cls,ni,comm -p "$wrapper"

# The job has ended when its last thread has: the main thread shows as a
# zombie while the others are still stopping.
job_running() {
  [ -d "/proc/$jvm" ] || return 1
  [ "$(ls "/proc/$jvm/task" 2>/dev/null | wc -l)" -gt 1 ] && return 0
  [ "$(cut -d' ' -f3 "/proc/$jvm/stat" 2>/dev/null)" != Z ]
}
while job_running; do sleep 0.005; done
job_end=$(date +%s%N)
status=0
wait "$wrapper" || status=$?
wrapper_end=$(date +%s%N)
echo "== the job ended; lullrun ended $(((wrapper_end - job_end) / 1000000)) ms after its last thread, with status $status"
[ "$idle" -eq "$threads" ] || { echo "FAIL: not every JVM thread was idle"; exit 1; }
echo "== demonstration passed"
