"""9. Start cost with a service manager: `lullrun /bin/true` against
`systemd-run --user --scope /bin/true` and `systemd-run --scope /bin/true`,
all asking the same stand-in manager for a transient scope. Target: no
slower than `systemd-run --user --scope`."""

import shutil
import subprocess

from .groups import entering
from .harness import LULLRUN, spawn_times
from .report import Section, Summary, Target, table, verdict
from .starts import timing_row

NUMBER = 9
KEY = "manager_start_cost"
TITLE = "9. Start cost with a service manager on the bus"


def measure(settings, standin):
    """`lullrun /bin/true` beside `systemd-run --scope`, all asking the same
    stand-in manager for a transient scope."""
    systemd_run = shutil.which("systemd-run")
    candidates = []
    if systemd_run is not None:
        candidates += [
            ("systemd-run --user --scope /bin/true",
             [systemd_run, "--user", "--scope", "--quiet", "/bin/true"]),
            ("systemd-run --scope /bin/true", [systemd_run, "--scope", "--quiet", "/bin/true"]),
        ]
    candidates.append(("lullrun /bin/true", [str(LULLRUN), "/bin/true"]))
    prefix, env = entering(manager=standin), standin.env()
    commands, failed = [], []
    for name, command in candidates:
        trial = subprocess.run(prefix + command, env=env, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
        if trial.returncode == 0:
            commands.append((name, command))
        else:
            reason = (trial.stderr.decode().strip().splitlines() or ["no message"])[-1]
            failed.append({"name": name, "skipped": f"failed against the stand-in: {reason}"})
    rows = spawn_times(settings.manager_start_runs, commands, prefix, env) if commands else []
    return rows + failed


def peer_of(rows):
    """The peer lullrun's start with a manager is judged against:
    `systemd-run --user --scope`, or `systemd-run --scope` where that one
    could not run."""
    measured = {row["name"]: row for row in rows if "skipped" not in row}
    return (measured.get("systemd-run --user --scope /bin/true")
            or measured.get("systemd-run --scope /bin/true"))


def peer_name(peer):
    return f"`{peer['name'].removesuffix(' /bin/true')}`" if peer else "`systemd-run`"


def section(starts, settings, machine):
    if isinstance(starts, dict):
        return Section(TITLE, [f"{starts['skipped'].capitalize()}."], [Target(
            "start cost with a manager: lullrun ≤ systemd-run --user --scope", "—", None)])
    text = ("Each command asks the stand-in manager for a transient scope and waits for its job "
            "to finish before the program runs; the stand-in listens on a private bus given as "
            "both `DBUS_SYSTEM_BUS_ADDRESS` and `DBUS_SESSION_BUS_ADDRESS`, and everything runs "
            "as root in a mount namespace where /run/systemd/system exists. The stand-in is a "
            "Python program, so its own time is a large part of each figure, the same for "
            "every command. Wall and CPU time as in 3.")
    peer = peer_of(starts)
    targets, lines = [], []
    for row in starts:
        if "skipped" in row:
            lines.append([row["name"], row["skipped"]])
            continue
        target = ""
        if row["name"] == "lullrun /bin/true":
            met = peer is not None and row["median"] <= peer["median"]
            note = "" if met or peer is None else (
                f"Start cost with a manager: `lullrun /bin/true` took {row['median']:.2f} ms "
                f"(CPU {row['cpu_median']:.2f} ms) against {peer_name(peer)}'s "
                f"{peer['median']:.2f} ms (CPU {peer['cpu_median']:.2f} ms).")
            targets.append(Target(f"start cost with a manager: lullrun ≤ {peer_name(peer)}",
                                  f"{row['median']:.2f} against "
                                  f"{peer['median'] if peer else float('nan'):.2f} ms", met, note))
            target = f"≤ {peer_name(peer)}: {verdict(met)}"
        ratio = f"× {row['median'] / peer['median']:.2f}" if peer else "—"
        lines.append(timing_row(row, ratio, target))
    own = next((row for row in starts if row["name"] == "lullrun /bin/true"), None)
    if own is None or "skipped" in own:
        targets.append(Target("start cost with a manager: lullrun ≤ systemd-run", "failed", False,
                              "Start cost with a manager: `lullrun /bin/true` "
                              f"{own['skipped'] if own else 'did not run'}."))
    return Section(TITLE, [text, table(
        ["command", "wall, median", "10th–90th percentile", "CPU, median", "runs",
         "wall vs `systemd-run --user --scope`", "target"], "lrrrrrl", lines)], targets)


def summary(starts):
    label = "9. start cost with a service manager on the bus (stand-in), wall time (median)"
    if isinstance(starts, dict):
        return Summary(label, starts["skipped"], "—", "≤ `systemd-run --user --scope`")
    own = next((row for row in starts if row["name"] == "lullrun /bin/true"), None)
    peer = peer_of(starts)
    peers = ", ".join(f"`{row['name']}` {row['median']:.2f} ms" for row in starts
                      if row["name"].startswith("systemd-run") and "skipped" not in row)
    mine = ("`lullrun /bin/true` failed" if own is None or "skipped" in own
            else f"`lullrun /bin/true` {own['median']:.2f} ms")
    return Summary(label, mine, peers or "—", f"≤ {peer_name(peer)}")
