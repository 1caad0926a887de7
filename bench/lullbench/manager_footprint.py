"""10. Footprint with a service manager: the wrapper's own peak resident
memory (not its child's) while it watches a sleeping child, with the
stand-in manager on the bus and without, against `timeout`. Target: at most
1.25 times `timeout`'s."""

import subprocess
import time

from .footprint import footprint_lines
from .group_interference import short_name
from .groups import entering, without_bus
from .harness import (HELPER, LULLRUN, end_tree, median, process_counters, rotated_runs, tool,
                      wait_for_child)
from .report import Section, Summary

NUMBER = 10
KEY = "manager_footprint"
MANAGED = "lullrun, the stand-in manager on the bus"


def measure(settings, standin, standin_reason):
    sleeper = [str(HELPER), "sleep", "3600"]
    # Every wrapper is started the same way, by a shell that becomes it.
    plain = entering()
    variants = [
        ("timeout 3600", plain + [tool("timeout"), "3600"] + sleeper, without_bus()),
        ("lullrun, no manager on the bus", plain + [str(LULLRUN)] + sleeper, without_bus()),
    ]
    if standin is not None:
        variants.append((MANAGED, entering(manager=standin) + [str(LULLRUN)] + sleeper,
                         standin.env()))

    def sample(variant):
        process = subprocess.Popen(variant[1], stdin=subprocess.DEVNULL, env=variant[2])
        try:
            wait_for_child(process.pid)
            time.sleep(0.5)
            return process_counters(process.pid)["VmHWM"]
        finally:
            end_tree(process)

    peaks = rotated_runs(settings.footprint_runs, variants, sample)
    rows = [{"name": name, "median_kb": median(values), "max_kb": max(values)}
            for name, values in peaks.items()]
    if standin is None:
        rows.append({"name": MANAGED, "skipped": standin_reason})
    return rows


def section(feet, settings, machine):
    text = ("VmHWM of the wrapper process itself, not of its child, half a second into watching "
            "a sleeping child; with the stand-in manager on the bus as in 9., and with no "
            "manager.")
    targets = []
    lines = footprint_lines(feet, targets, "1.25", lambda row, peer: (
        f"Footprint, {row['name']}: {row['median_kb']:.0f} kB against `timeout`'s "
        f"{peer:.0f} kB (× {row['median_kb'] / peer:.2f})."))
    return Section("10. Footprint with a service manager on the bus: the wrapper's own peak "
                   "resident memory", [text, lines], targets)


def summary(feet):
    peer = feet[0]
    shown = []
    for row in feet[1:]:
        if "skipped" in row:
            shown.append(f"{short_name(row['name'])} {row['skipped']}")
        else:
            shown.append(f"{short_name(row['name'])} {row['median_kb']:.0f} kB "
                         f"(× {row['median_kb'] / peer['median_kb']:.2f})")
    return Summary("10. the wrapper's own peak resident memory while watching, with a manager on "
                   "the bus and without", ", ".join(shown), f"`timeout` {peer['median_kb']:.0f} kB",
                   "≤ × 1.25")
