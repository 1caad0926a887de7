"""4. Footprint: the wrapper's peak resident memory (VmHWM) while it watches
a sleeping child, against `timeout`. Target: no more than `timeout`'s. The
wrappers watching a sleeping child are started here for 5. too."""

import os
import signal
import subprocess
import time

from .harness import (HELPER, LULLRUN, children_of, end, java_wrapper, median, process_counters,
                      rotated_runs, tool, wait_for_child)
from .report import Section, Summary, Target, table, verdict

NUMBER = 4
KEY = "footprint"


def watchers(scratch):
    """The wrappers that watch a sleeping child, started the same way for
    the footprint and the idle cost."""
    sleeper = [str(HELPER), "sleep", "3600"]
    java_sleep = java_wrapper(scratch / "java-sleep", {
        "Java_Executable_Path": str(HELPER), "Class_to_run": "sleep", "Args_if_any": "3600"})
    return [
        ("timeout 3600", [tool("timeout"), "3600"] + sleeper),
        ("lullrun (pass-through)", [str(LULLRUN)] + sleeper),
        ("lullrun (Java mode)", [str(java_sleep)]),
    ]


def stop_watcher(process):
    for child in children_of(process.pid):
        os.kill(child, signal.SIGKILL)
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        end(process)


def measure(settings, scratch):
    variants = watchers(scratch / "footprint")

    def sample(variant):
        process = subprocess.Popen(variant[1], stdin=subprocess.DEVNULL)
        wait_for_child(process.pid)
        time.sleep(0.5)
        peak = process_counters(process.pid)["VmHWM"]
        stop_watcher(process)
        return peak

    peaks = rotated_runs(settings.footprint_runs, variants, sample)
    return [{"name": name, "median_kb": median(values), "max_kb": max(values)}
            for name, values in peaks.items()]


def footprint_lines(rows, targets, limit, note):
    """The rows of peak memory that 4. and 10. print against `timeout`'s
    (the first row), filling in `targets` as they go: lullrun's rows at most
    `limit` (a text such as "1.0") times `timeout`'s, with `note(row, peer)`
    to say by how much where one is over; a row that could not run says why."""
    peer = rows[0]["median_kb"]
    lines = []
    for row in rows:
        name = f"footprint, {row['name']}: ≤ {limit} × timeout"
        if "skipped" in row:
            lines.append([row["name"], row["skipped"]])
            targets.append(Target(name, "—", None))
            continue
        target = ""
        if row["name"].startswith("lullrun"):
            met = row["median_kb"] <= float(limit) * peer
            targets.append(Target(name, f"× {row['median_kb'] / peer:.2f}", met,
                                  "" if met else note(row, peer)))
            target = f"≤ × {limit}: {verdict(met)}"
        lines.append([row["name"], f"{row['median_kb']:.0f} kB", f"{row['max_kb']:.0f} kB",
                      f"× {row['median_kb'] / peer:.2f}", target])
    return table(["wrapper", "median", "maximum", "vs `timeout`", "target"], "lrrrl", lines)


def section(rows, settings, machine):
    targets = []
    lines = footprint_lines(rows, targets, "1.0", lambda row, peer: (
        f"Footprint, {row['name']}: {row['median_kb']:.0f} kB against `timeout`'s {peer:.0f} kB."))
    return Section("4. Footprint: peak resident memory (VmHWM) while watching a sleeping child",
                   [lines], targets)


def summary(rows):
    rows = {row["name"]: row for row in rows}
    own, java, peer = (rows["lullrun (pass-through)"], rows["lullrun (Java mode)"],
                       rows["timeout 3600"])
    return Summary(
        "4. peak resident memory while watching",
        f"pass-through {own['median_kb']:.0f} kB (× {own['median_kb'] / peer['median_kb']:.2f}), "
        f"Java mode {java['median_kb']:.0f} kB", f"`timeout` {peer['median_kb']:.0f} kB",
        "≤ × 1.0")
