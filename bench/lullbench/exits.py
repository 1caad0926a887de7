"""2. Exit latency: from the child's end (its pidfd turns readable) to the
wrapper's reaping, against `timeout`. Target: a median of at most 5 ms and
no run over 50 ms."""

import subprocess

from .harness import HELPER, LULLRUN, java_wrapper, median, ms, quantile, rotated_runs, tool
from .report import Section, Summary, Target, table, verdict

NUMBER = 2
KEY = "exit_latency"


def measure(settings, scratch):
    stamp = scratch / "exit-child.pid"
    child = [str(HELPER), "exit-child", str(stamp), "150"]
    java_exit = java_wrapper(scratch / "java-exit", {
        "Java_Executable_Path": str(HELPER), "Class_to_run": "exit-child",
        "Args_if_any": f"{stamp} 150"})
    variants = [
        ("timeout 60", [tool("timeout"), "60"] + child),
        ("lullrun (pass-through)", [str(LULLRUN)] + child),
        ("lullrun (Java mode)", [str(java_exit)]),
    ]

    def sample(variant):
        result = subprocess.run([str(HELPER), "exit-once", str(stamp), "--"] + variant[1],
                                stdout=subprocess.PIPE, check=True)
        return int(result.stdout)

    samples = rotated_runs(settings.exit_runs, variants, sample)
    return [{"name": name, "median": ms(median(values)), "p90": ms(quantile(values, 0.9)),
             "max": ms(max(values)), "runs": len(values)}
            for name, values in samples.items()]


def met(row):
    return row["median"] <= 5 and row["max"] <= 50


def section(rows, settings, machine):
    text = ("From the moment the kernel reports the child gone (its pidfd turns readable) to the "
            "reaping of the wrapper; the child sleeps 150 ms first, so the wrapper is watching.")
    peer = rows[0]["median"]
    targets, lines = [], []
    for row in rows:
        target = ""
        if row["name"].startswith("lullrun"):
            targets.append(Target(
                f"exit latency, {row['name']}: median ≤ 5 ms, max ≤ 50 ms",
                f"{row['median']:.2f} / {row['max']:.2f} ms", met(row),
                f"Exit latency, {row['name']}: median {row['median']:.2f} ms, maximum "
                f"{row['max']:.2f} ms over {row['runs']} runs."))
            target = f"≤ 5 ms, max ≤ 50 ms: {verdict(met(row))}"
        lines.append([row["name"], f"{row['median']:.2f} ms", f"{row['p90']:.2f} ms",
                      f"{row['max']:.2f} ms", str(row["runs"]),
                      f"× {row['median'] / peer:.2f}", target])
    return Section("2. Exit latency: from the child's end to the wrapper's end", [text, table(
        ["wrapper", "median", "90th percentile", "maximum", "runs", "median vs `timeout`",
         "target"], "lrrrrrl", lines)], targets)


def summary(rows):
    rows = {row["name"]: row for row in rows}
    own, java, peer = (rows["lullrun (pass-through)"], rows["lullrun (Java mode)"],
                       rows["timeout 60"])
    return Summary(
        "2. exit latency, median / maximum",
        f"pass-through {own['median']:.2f} / {own['max']:.2f} ms, Java mode "
        f"{java['median']:.2f} / {java['max']:.2f} ms",
        f"`timeout` {peer['median']:.2f} / {peer['max']:.2f} ms", "≤ 5 / ≤ 50 ms")
