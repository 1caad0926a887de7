"""12. The pause's watch, for a big job in a big tree: the wrapper's own
processor time while its job reads the disk, with 1,000 processes in the
job and 2,000 groups in the tree, beside a job of one process in the tree
as it is. Target: at most 0.5 % of one core while watching."""

import os
import signal
import subprocess
import time
from pathlib import Path

from .harness import LULLRUN, median, process_counters, say, tool, wait_for_child
from .report import Section, Summary, Target, table, verdict

NUMBER = 12
KEY = "watch_cost"

WARM_SECONDS = 4.0     # past the start and the first look at the job's I/O
WINDOW_SECONDS = 20.0
GROUPS = 2000          # in 20 slices of 100 services, as a busy machine has
PROCESSES = 1000
FILE_MB = 256


def unified_root():
    for root in ("/sys/fs/cgroup/unified", "/sys/fs/cgroup"):
        if os.path.exists(f"{root}/cgroup.procs") and "cgroup2" in open("/proc/mounts").read():
            return Path(root)
    return None


def make_groups(root):
    top = root / f"lullbench-watch-{os.getpid()}"
    for slice_index in range(GROUPS // 100):
        for service in range(100):
            (top / f"s{slice_index}.slice" / f"u{service}.service").mkdir(parents=True)
    return top


def remove_groups(top):
    for folder in sorted((p for p in top.rglob("*") if p.is_dir()), key=lambda p: -len(p.parts)):
        folder.rmdir()
    top.rmdir()


def job(data, processes):
    """A job of `processes` processes, one of them reading `data` without the
    page cache again and again, the others asleep."""
    sleepers = f"i=1; while [ $i -lt {processes} ]; do sleep 600 & i=$((i+1)); done; " \
        if processes > 1 else ""
    return ["sh", "-c", sleepers + f"while :; do dd if={data} of=/dev/null bs=1M iflag=direct "
            "2>/dev/null; done"]


def one_row(name, data, processes):
    wrapper = subprocess.Popen([str(LULLRUN)] + job(data, processes), stdin=subprocess.DEVNULL)
    child = None
    try:
        child = wait_for_child(wrapper.pid)
        time.sleep(WARM_SECONDS)
        before, started = process_counters(wrapper.pid), time.monotonic()
        time.sleep(WINDOW_SECONDS)
        after, elapsed = process_counters(wrapper.pid), time.monotonic() - started
    finally:
        # The job leads a session and a process group of its own, its
        # sleepers and readers in it.
        if child is not None:
            os.killpg(child, signal.SIGKILL)
        wrapper.wait()
    return {"name": name, "seconds": elapsed,
            "core_percent": (after["exec_ms"] - before["exec_ms"]) / (elapsed * 10),
            "wakeups_per_s": (after["voluntary_ctxt_switches"]
                              - before["voluntary_ctxt_switches"]) / elapsed}


def measure(settings, scratch):
    root = unified_root()
    if os.geteuid() != 0 or root is None:
        return {"skipped": "needs root and a unified (cgroup v2) tree"}
    data = scratch / "watch-cost.data"
    subprocess.run([tool("dd"), "if=/dev/zero", f"of={data}", "bs=1M", f"count={FILE_MB}"],
                   check=True, stderr=subprocess.DEVNULL)
    rounds = 1 if settings.quick else 3
    samples = {}
    top = make_groups(root)
    try:
        for round_index in range(rounds):
            say(f"  watch cost, round {round_index + 1} of {rounds}")
            for name, processes in [("1 process", 1), (f"{PROCESSES} processes", PROCESSES)]:
                samples.setdefault(name, []).append(one_row(name, data, processes))
    finally:
        remove_groups(top)
        data.unlink()
    return {"rows": [{"name": name, "core_percent": median([r["core_percent"] for r in rows]),
                      "spread": [min(r["core_percent"] for r in rows),
                                 max(r["core_percent"] for r in rows)],
                      "wakeups_per_s": median([r["wakeups_per_s"] for r in rows]),
                      "rounds": len(rows)} for name, rows in samples.items()]}


def met(row):
    return row["core_percent"] <= 0.5


def section(data, settings, machine):
    title = "12. The pause's watch for a big job in a big tree"
    if "rows" not in data:
        return Section(title, [f"Not measured: {data['skipped']}."], [])
    text = (f"The wrapper's own processor time (the scheduler's exact figure) over "
            f"{WINDOW_SECONDS:.0f} s, {WARM_SECONDS:.0f} s after its start, while its job reads "
            f"a {FILE_MB} MiB file with `dd iflag=direct` again and again (so that the wrapper "
            f"watches the disk all along), alone or beside {PROCESSES - 1} sleeping processes of "
            f"its own, with {GROUPS} extra groups in the unified tree ({GROUPS // 100} slices of "
            "100 services each); no foreground, so no pause. Median of the rounds, spread "
            "min–max.")
    targets, lines = [], []
    for row in data["rows"]:
        targets.append(Target(f"the watch, {row['name']} and {GROUPS} groups: ≤ 0.5 % of one "
                              "core", f"{row['core_percent']:.2f} %", met(row),
                              f"The watch with {row['name']} in the job and {GROUPS} groups: "
                              f"{row['core_percent']:.2f} % of one core."))
        lines.append([row["name"], f"{row['core_percent']:.2f} %",
                      f"{row['spread'][0]:.2f}–{row['spread'][1]:.2f} %",
                      f"{row['wakeups_per_s']:.1f}", str(row["rounds"]),
                      f"≤ 0.5 %: {verdict(met(row))}"])
    return Section(title, [text, table(["job", "processor, % of one core", "spread",
                                        "wake-ups a second", "rounds", "target"],
                                       "lrrrrl", lines)], targets)


def summary(data):
    if "rows" not in data:
        return Summary("12. the watch, big job, big tree", "not measured", "", "≤ 0.5 %")
    rows = {row["name"]: row for row in data["rows"]}
    big = rows[f"{PROCESSES} processes"]
    return Summary("12. the watch, big job, big tree", f"{big['core_percent']:.2f} % of a core "
                   f"({PROCESSES} processes, {GROUPS} groups)", "", "≤ 0.5 %")
