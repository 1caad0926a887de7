"""3. Start cost: the wall and CPU time of `lullrun /bin/true` against
`timeout 60 /bin/true` and `chrt --idle 0 /bin/true`, and of Java mode (with
`/bin/true`, and with a real JVM). Target: at most 1.2 times `timeout`'s
wall time."""

from .harness import LULLRUN, java_wrapper, spawn_times, tool
from .report import Section, Summary, Target, table, verdict

NUMBER = 3
KEY = "start_cost"


def measure(settings, scratch, classes):
    java_true = java_wrapper(scratch / "java-true", {"Java_Executable_Path": "/bin/true"})
    commands = [
        ("/bin/true alone (reference)", ["/bin/true"]),
        ("timeout 60 /bin/true", [tool("timeout"), "60", "/bin/true"]),
        ("chrt --idle 0 /bin/true", [tool("chrt"), "--idle", "0", "/bin/true"]),
        ("lullrun /bin/true", [str(LULLRUN), "/bin/true"]),
        ("lullrun, Java mode (/bin/true as the Java program)", [str(java_true)]),
    ]
    rows = spawn_times(settings.start_runs, commands)
    # The same with a real JVM running a class that ends at once.
    java_noop = java_wrapper(scratch / "java-noop", {
        "Java_Executable_Path": tool("java"), "Class_path_to_use": str(classes),
        "Class_to_run": "Hog", "Args_if_any": "0 0"})
    rows += spawn_times(settings.jvm_start_runs, [
        ("java, a class that ends at once", [tool("java"), "-classpath", str(classes), "Hog",
                                             "0", "0"]),
        ("lullrun, Java mode, the same class", [str(java_noop)]),
    ])
    return rows


def timing_row(row, ratio, target):
    """A row of wall and CPU times, as 3. and 9. print them."""
    return [row["name"], f"{row['median']:.2f} ms", f"{row['p10']:.2f}–{row['p90']:.2f} ms",
            f"{row['cpu_median']:.2f} ms", str(row["runs"]), ratio, target]


def note(own, peer):
    text = (f"Start cost: `lullrun /bin/true` took {own['median']:.2f} ms against "
            f"`timeout`'s {peer['median']:.2f} ms (× {own['median'] / peer['median']:.2f}), "
            f"spending {own['cpu_median']:.2f} ms of CPU against `timeout`'s "
            f"{peer['cpu_median']:.2f} ms")
    if own["cpu_median"] <= 1.2 * peer["cpu_median"]:
        return text + (": the wrapper does no more work than `timeout`; the wall time is its "
                       "idle-priority child waiting, in a group of the least weight, "
                       "for the machine's other work, which is what the wrapper is for.")
    return text + ", so the wrapper itself costs more."


def section(rows, settings, machine):
    text = ("Wall time from the start to the reaping of the whole process; CPU time of the "
            "process and all it started (`wait4`), which the machine's other load does not "
            "stretch. The wrapper's child runs at idle priority, so on a busy machine its wall "
            "time waits for the other load, as `chrt --idle`'s does.")
    peer_row = next(row for row in rows if row["name"].startswith("timeout"))
    peer = peer_row["median"]
    targets, lines = [], []
    for row in rows:
        target = ""
        if row["name"] == "lullrun /bin/true":
            met = row["median"] <= 1.2 * peer
            targets.append(Target("start cost, lullrun /bin/true: ≤ 1.2 × timeout",
                                  f"× {row['median'] / peer:.2f}", met, note(row, peer_row)))
            target = f"≤ × 1.2: {verdict(met)}"
        lines.append(timing_row(row, f"× {row['median'] / peer:.2f}", target))
    return Section("3. Start cost: whole-process wall time", [text, table(
        ["command", "wall, median", "10th–90th percentile", "CPU, median", "runs",
         "wall vs `timeout`", "target"], "lrrrrrl", lines)], targets)


def summary(rows):
    rows = {row["name"]: row for row in rows}
    own = rows["lullrun /bin/true"]
    java = rows["lullrun, Java mode (/bin/true as the Java program)"]
    peer, idle_peer = rows["timeout 60 /bin/true"], rows["chrt --idle 0 /bin/true"]
    return Summary(
        "3. start cost, wall time (median)",
        f"`lullrun /bin/true` {own['median']:.2f} ms (× {own['median'] / peer['median']:.2f}), "
        f"Java mode {java['median']:.2f} ms",
        f"`timeout 60 /bin/true` {peer['median']:.2f} ms, `chrt --idle 0 /bin/true` "
        f"{idle_peer['median']:.2f} ms", "≤ × 1.2 of `timeout`")
