"""5. Idle cost: the CPU time and wake-ups of a wrapper watching a sleeping
child, scaled to a minute, against `timeout`. Target: at most 5 ms of CPU
and 16 wake-ups a minute. The window runs while the other figures do."""

import subprocess
import threading
import time

from .footprint import stop_watcher, watchers
from .harness import process_counters, say, wait_for_child
from .report import Section, Summary, Target, table, verdict

NUMBER = 5
KEY = "idle"


class IdleWatch:
    """Wrappers watching a sleeping child for the idle window, started first
    so that the window runs while the other benchmarks do; the window's end
    is sampled on time by a timer thread."""

    def __init__(self, settings, scratch):
        self.seconds = settings.idle_seconds
        self.processes = []
        for name, command in watchers(scratch / "idle"):
            process = subprocess.Popen(command, stdin=subprocess.DEVNULL)
            self.processes.append((name, process))
        for _, process in self.processes:
            wait_for_child(process.pid)
        time.sleep(0.5)  # past the start: the window holds the watch only
        self.started = time.monotonic()
        self.before = {name: process_counters(p.pid) for name, p in self.processes}
        self.after = {}
        self.timer = threading.Timer(self.seconds, self.sample)
        self.timer.start()

    def sample(self):
        self.elapsed = time.monotonic() - self.started
        self.after = {name: process_counters(p.pid) for name, p in self.processes}

    def finish(self):
        left = self.started + self.seconds - time.monotonic()
        if left > 0:
            say(f"  waiting {left:.0f} s more for the idle window")
        self.timer.join()
        rows = []
        for name, process in self.processes:
            after = self.after[name]
            before = self.before[name]
            rows.append({
                "name": name, "seconds": self.elapsed,
                "exec_ms": after.get("exec_ms", float("nan")) - before.get("exec_ms", float("nan")),
                "stat_cpu_ms": after["stat_cpu_ms"] - before["stat_cpu_ms"],
                "wakeups": after["voluntary_ctxt_switches"] - before["voluntary_ctxt_switches"],
                "preempted": (after["nonvoluntary_ctxt_switches"]
                              - before["nonvoluntary_ctxt_switches"]),
                "per_minute": 60.0 / self.elapsed,
                # From the wrapper's start to the window's end, start-up included.
                "total_exec_ms": after.get("exec_ms", float("nan")),
                "total_wakeups": after["voluntary_ctxt_switches"]})
            stop_watcher(process)
        return rows

    def abandon(self):
        self.timer.cancel()
        for _, process in self.processes:
            if process.poll() is None:
                stop_watcher(process)




def per_minute(row):
    """CPU time and wake-ups of a row, scaled to a minute."""
    return row["exec_ms"] * row["per_minute"], row["wakeups"] * row["per_minute"]


def section(rows, settings, machine):
    text = ("The window starts half a second after the wrapper (its start-up is over by then). "
            "CPU time from the scheduler (`/proc/<pid>/sched`, to the microsecond) and from "
            "`/proc/<pid>/stat` (in clock ticks); wake-ups are voluntary context switches, "
            "preemptions the involuntary ones. The last two columns count from the wrapper's "
            "start to the window's end, start-up included, unscaled.")
    targets, lines = [], []
    for row in rows:
        scale = row["per_minute"]
        cpu, wakeups = per_minute(row)
        target = ""
        if row["name"].startswith("lullrun"):
            met = cpu <= 5 and wakeups <= 16
            targets.append(Target(
                f"idle cost, {row['name']}: ≤ 5 ms CPU, ≤ 16 wake-ups a minute",
                f"{cpu:.2f} ms, {wakeups:.1f}", met,
                f"Idle cost, {row['name']}: {cpu:.2f} ms of CPU and {wakeups:.1f} wake-ups a "
                "minute."))
            target = f"≤ 5 ms, ≤ 16: {verdict(met)}"
        lines.append([row["name"], f"{cpu:.3f} ms", f"{row['stat_cpu_ms'] * scale:.0f} ms",
                      f"{wakeups:.1f}", f"{row['preempted'] * scale:.1f}",
                      f"{row['total_exec_ms']:.3f} ms", str(row["total_wakeups"]), target])
    return Section(
        f"5. Idle cost: watching a sleeping child for {rows[0]['seconds']:.0f} s, scaled to one "
        "minute", [text, table(
            ["wrapper", "CPU time (scheduler)", "CPU time (`stat`)",
             "wake-ups (voluntary switches)", "preempted", "CPU since start",
             "wake-ups since start", "target"], "lrrrrrrl", lines)], targets)


def summary(rows):
    rows = {row["name"]: row for row in rows}
    cpu, wakeups = per_minute(rows["lullrun (pass-through)"])
    java_cpu, java_wakeups = per_minute(rows["lullrun (Java mode)"])
    peer_cpu, peer_wakeups = per_minute(rows["timeout 3600"])
    return Summary(
        "5. a minute of watching: CPU time, wake-ups",
        f"pass-through {cpu:.2f} ms, {wakeups:.0f}; Java mode {java_cpu:.2f} ms, "
        f"{java_wakeups:.0f}", f"`timeout` {peer_cpu:.2f} ms, {peer_wakeups:.0f}",
        "≤ 5 ms, ≤ 16")
