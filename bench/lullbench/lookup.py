"""6. Lookup cost: Java mode's five lookups in settings files of 1 KB, 100
KB and 10 MB, every key at the file's end. Target: the cost grows linearly
with the file, and the 10 MB file takes less than half a second."""

import subprocess

from .harness import HELPER, LULLRUN, median, ms, spawn_times
from .report import Section, Summary, Target, table, verdict

NUMBER = 6
KEY = "lookup"


def settings_file(path, size):
    """A settings file of about `size` bytes: filler entries, then the Java
    keys at its very end, so each of the five lookups scans all of it."""
    tail = "".join(f"{key}={value}\n" for key, value in (
        ("Java_Executable_Path", "/bin/true"), ("Class_path_to_use", "."),
        ("Class_to_run", "Main"), ("Args_if_any", "-v"),
        ("Java_run_minimized_no_focus", "false")))
    lines = []
    length = len(tail)
    number = 0
    while length < size:
        line = f"Filler_entry_{number:07d}=a value of some length as settings have\n"
        lines.append(line)
        length += len(line)
        number += 1
    path.write_text("".join(lines) + tail)
    return path.stat().st_size


def measure(settings, scratch):
    sizes = {"1 KB": 1024, "100 KB": 100 * 1024, "10 MB": 10 * 1024 * 1024}
    files = {}
    for label, size in sizes.items():
        folder = scratch / f"lookup-{size}"
        folder.mkdir()
        actual = settings_file(folder / "lullrun.properties", size)
        (folder / "lullrun").symlink_to(LULLRUN)
        files[label] = (folder, actual)
    samples = {label: [] for label in sizes}
    cpu = {label: [] for label in sizes}
    for _ in range(settings.lookup_rounds):
        for label, (folder, _) in files.items():
            result = subprocess.run(
                [str(HELPER), "lookup", str(folder / "lullrun.properties"),
                 str(settings.lookup_reps[label])], stdout=subprocess.PIPE, check=True)
            for line in result.stdout.decode().splitlines():
                wall_ns, cpu_ns = line.split()
                samples[label].append(int(wall_ns))
                cpu[label].append(int(cpu_ns))
    whole = spawn_times(max(3, settings.lookup_rounds * 2),
                        [(label, [str(folder / "lullrun")]) for label, (folder, _) in files.items()])
    rows = []
    for (label, (_, actual)), process in zip(files.items(), whole):
        rows.append({"name": label, "bytes": actual, "median": ms(median(samples[label])),
                     "max": ms(max(samples[label])), "cpu": ms(median(cpu[label])),
                     "runs": len(samples[label]), "process_median": process["median"]})
    return rows


def linearity(look):
    """How the CPU cost of each further MB at the largest file compares with
    that at the middle one, and whether that is linear growth (within a
    factor of two either way)."""
    base, small, large = look
    rate_small = (small["cpu"] - base["cpu"]) / (small["bytes"] - base["bytes"])
    rate_large = (large["cpu"] - base["cpu"]) / (large["bytes"] - base["bytes"])
    if rate_small <= 0:
        return float("nan"), False
    ratio = rate_large / rate_small
    return ratio, 0.5 <= ratio <= 2.0




def section(look, settings, machine):
    text = ("In process, the five calls one after the other as Java mode makes them; wall time, "
            "and the process's CPU time, which other load does not stretch and by which growth "
            "is judged. The cost per MB counts what a file adds to the 1 KB file's cost. The "
            "last column is a whole `lullrun` run in Java mode on the same file (`/bin/true` as "
            "the Java program).")
    growth_ratio, linear = linearity(look)
    base = look[0]
    previous = None
    targets, lines = [], []
    for row in look:
        per_mb = growth = target = ""
        if row is not base:
            per_mb = (f"{(row['cpu'] - base['cpu']) / ((row['bytes'] - base['bytes']) / 2**20):.1f}"
                      " ms")
        if previous is not None:
            growth = (f"× {row['cpu'] / previous['cpu']:.1f} for × "
                      f"{row['bytes'] / previous['bytes']:.0f} the size")
        if row is look[-1]:
            met = linear and row["median"] < 500
            targets.append(Target(
                f"lookup, {row['name']}: linear growth and < 0.5 s",
                f"{row['median']:.1f} ms; cost per MB × {growth_ratio:.2f} of "
                f"{look[1]['name']}'s", met,
                f"Lookup: {row['median']:.1f} ms for the {row['name']} file; its CPU cost per MB "
                f"is × {growth_ratio:.2f} that of the {look[1]['name']} file."))
            target = f"linear, < 500 ms: {verdict(met)}"
        lines.append([f"{row['name']} ({row['bytes']:,} bytes)", f"{row['median']:.2f} ms",
                      f"{row['max']:.2f} ms", f"{row['cpu']:.2f} ms", per_mb, growth,
                      f"{row['process_median']:.2f} ms", target])
        previous = row
    return Section("6. Lookup cost: Java mode's five lookups, every key at the end of the file",
                   [text, table(["settings file", "wall, median", "wall, maximum", "CPU, median",
                                 "CPU per MB", "growth", "whole `lullrun` run", "target"],
                                "lrrrrrrl", lines)], targets)


def summary(look):
    base, small, large = look
    return Summary("6. Java mode's five lookups, 1 KB / 100 KB / 10 MB file",
                   f"{base['median']:.2f} / {small['median']:.2f} / {large['median']:.1f} ms",
                   "—", "linear, 10 MB < 0.5 s")
