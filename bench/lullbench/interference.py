"""1. Interference: how much of its work a busy foreground keeps beside a
hog of twice as many busy threads, the hog started plainly, under `nice -n
19`, under `chrt --idle 0` and under lullrun (pass-through, and Java mode
with a JVM hog). Target: lullrun's foreground keeps at least 95 %."""

import os
import signal
import subprocess
import threading
import time

from .harness import (CORES, HELPER, LULLRUN, end, java_wrapper, read_line, scheduling_of,
                      shuffled_rounds, spread, tool, wait_for_child)
from .report import Section, Summary, Target, table, verdict

NUMBER = 1
KEY = "interference"
TARGET = 95.0


def measure(settings, scratch, classes):
    hog_threads = 2 * CORES
    # The hog ends by itself even if the benchmark does not end it.
    limit = str(int((2 * settings.turns + 1) * (settings.phase_seconds + 1) + 60))
    spin = [str(HELPER), "spin", str(hog_threads), limit]
    java_hog = java_wrapper(scratch / "java-hog", {
        "Java_Executable_Path": tool("java"), "Class_path_to_use": str(classes),
        "Class_to_run": "Hog", "Args_if_any": f"{hog_threads} {limit}"})
    variants = [
        ("none (foreground alone)", None, False),
        ("plainly", spin, False),
        ("nice -n 19", [tool("nice"), "-n", "19"] + spin, False),
        ("chrt --idle 0", [tool("chrt"), "--idle", "0"] + spin, False),
        ("lullrun (pass-through)", [str(LULLRUN)] + spin, True),
        ("lullrun (Java mode, JVM hog)", [str(java_hog)], True),
    ]
    seen = {}
    shares = shuffled_rounds(
        settings.rounds, variants,
        lambda variant: one_sample(settings, variant[1], variant[2], seen, variant[0]),
        "interference")
    rows = [{"name": name, **spread(shares[name]), "scheduling": seen.get(name, "")}
            for name, _, _ in variants]
    return {"hog_threads": hog_threads, "rows": rows}


class Foreground:
    """The foreground job: busy threads in a session of their own, as work
    started in another terminal is, reporting the work done every 50 ms."""

    def __init__(self, seconds, prefix=()):
        self.process = subprocess.Popen(
            list(prefix) + [str(HELPER), "spin", str(CORES), str(seconds), "50"],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, start_new_session=True)
        self.samples = []  # (monotonic ns, work done so far)
        self.reader = threading.Thread(target=self.read)
        self.reader.start()

    def read(self):
        for line in self.process.stdout:
            words = line.split()
            if words and words[0] == b"at":
                self.samples.append((int(words[1]), int(words[2])))

    def stop(self):
        end(self.process)
        self.reader.join()
        self.process.stdout.close()

    def work_rate(self, windows):
        """Work per second over a set of windows, each taken between the
        reports closest inside it."""
        work = elapsed = 0
        for begin, finish in windows:
            inside = [(t, w) for t, w in self.samples if begin <= t <= finish]
            if len(inside) < 2:
                raise RuntimeError("the foreground reported too little in a window")
            (t0, w0), (t1, w1) = inside[0], inside[-1]
            work += w1 - w0
            elapsed += t1 - t0
        return work * 1e9 / elapsed


SETTLE_SECONDS = 0.1


def window(seconds):
    """Sleeps through a short settling time, left out of the figures (a hog
    just let go first claims the share it was kept from while stopped, a
    transient of the measurement, not of a hog that runs throughout), and
    then through a window of `seconds`; returns the window's monotonic
    bounds."""
    time.sleep(SETTLE_SECONDS)
    begin = time.monotonic_ns()
    time.sleep(seconds)
    return begin, time.monotonic_ns()


def one_sample(settings, command, wrapped, seen, name, turns=None,
               foreground_prefix=(), env=None, describe=scheduling_of):
    """The foreground's rate while the hog runs, as a percentage of its rate
    while it does not. The hog is started, and reaches the point where all
    its threads run, before the foreground starts, and is then held stopped
    (SIGSTOP): a hog at idle priority would otherwise take long to start
    beside a busy foreground. The hog then runs and stops in turns, short
    windows one after the other in one foreground run, so that the swings
    of the machine's other load fall alike on the windows with and without
    the hog."""
    hog = worker = foreground = None
    turns, phase = turns or settings.turns, settings.phase_seconds
    alone, beside = [], []
    try:
        if command is not None:
            hog = subprocess.Popen(command, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                   env=env)
            if read_line(hog, 60) != "ready":
                raise RuntimeError(f"hog {command} did not start")
            worker = wait_for_child(hog.pid) if wrapped else hog.pid
            seen.setdefault(name, describe(worker))
            os.kill(worker, signal.SIGSTOP)
        foreground = Foreground((2 * turns + 1) * (phase + SETTLE_SECONDS) + 30, foreground_prefix)
        time.sleep(0.3)  # its threads all running
        for _ in range(turns):
            alone.append(window(phase))
            if worker is not None:
                os.kill(worker, signal.SIGCONT)
            beside.append(window(phase))
            if worker is not None:
                os.kill(worker, signal.SIGSTOP)
        alone.append(window(phase))
        if hog is not None:
            os.kill(worker, signal.SIGKILL)
            hog.wait(10)  # a wrapper ends on its own once its child has gone
    finally:
        if foreground is not None:
            foreground.stop()
        if hog is not None:
            # A wrapper killed here leaves its child running, stopped: it goes too.
            if worker is not None and worker != hog.pid and hog.poll() is None:
                try:
                    os.kill(worker, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            end(hog)
            hog.stdout.close()
    return 100.0 * foreground.work_rate(beside) / foreground.work_rate(alone)




def shares_table(rows, targets, describe_target, scheduling_header, note):
    """The table of foreground shares that 1. and 7. print, filling in
    `targets` as it goes: lullrun's rows against 95 %, with `note(row)` to
    say why where one is missed; a row that could not run says why."""
    nice = next(row for row in rows if row["name"] == "nice -n 19")["median"]
    lines = []
    for row in rows:
        name = row["name"]
        if "skipped" in row:
            lines.append([name, row["skipped"]])
            targets.append(Target(describe_target(name), "—", None))
            continue
        target = ""
        if name.startswith("lullrun"):
            met = row["median"] >= TARGET
            targets.append(Target(describe_target(name), f"{row['median']:.1f} %", met,
                                  "" if met else note(row)))
            target = f"≥ 95 %: {verdict(met)}"
        lines.append([name, f"{row['median']:.1f} %", f"{row['low']:.1f}–{row['high']:.1f} %",
                      f"× {row['median'] / nice:.2f}", row["scheduling"] or "—", target])
    return table(["hog started", "foreground work", "spread", "vs `nice -n 19`",
                  scheduling_header, "target"], "lrrrll", lines)


def noise(rows):
    """How far the foreground's share strayed from 100 % with no hog at all:
    what the machine's other load alone does to the figure."""
    alone = next(row for row in rows if row["name"] == "none (foreground alone)")
    return alone, max(100 - alone["low"], alone["high"] - 100)


def section(data, settings, machine):
    alone, spread_alone = noise(data["rows"])

    def note(row):
        return (f"Interference, {row['name']}: the foreground kept {row['median']:.1f} % "
                f"({row['low']:.1f}–{row['high']:.1f} %) against a target of 95 %. Measured the "
                f"same way with no hog at all, it moved between {alone['low']:.1f} and "
                f"{alone['high']:.1f} %" +
                (", so the shortfall is within what the machine's other load alone does."
                 if 100 - row["median"] <= spread_alone else
                 ", so the shortfall is more than the other load explains."))

    text = (f"The foreground's work while the hog runs, as a percentage of its work while it does "
            f"not: in one foreground run the hog (started beforehand, all its threads running, "
            f"then held with SIGSTOP) runs {settings.turns} times for "
            f"{settings.phase_seconds:g} s, each time between {settings.phase_seconds:g} s "
            f"without it, and the first {SETTLE_SECONDS:g} s after each change is left out. "
            f"Median of {settings.rounds} interleaved rounds, spread min–max; with no hog, the row "
            "shows how much the machine's other load alone moves the figure.")
    targets = []
    lines = shares_table(data["rows"], targets, lambda name: f"interference, {name}: ≥ 95 %",
                         "hog as the kernel schedules it", note)
    return Section(f"1. Interference: a foreground of {machine['cores']} busy threads (its own "
                   f"session) beside a hog of {data['hog_threads']}", [text, lines], targets)


def summary(data):
    rows = {row["name"]: row for row in data["rows"]}
    wrapped = [rows["lullrun (pass-through)"], rows["lullrun (Java mode, JVM hog)"]]
    return Summary(
        "1. foreground work kept beside a hog (median)",
        f"pass-through {wrapped[0]['median']:.1f} %, Java mode (JVM hog) "
        f"{wrapped[1]['median']:.1f} %",
        f"plainly {rows['plainly']['median']:.1f} %, `nice -n 19` "
        f"{rows['nice -n 19']['median']:.1f} %, `chrt --idle 0` "
        f"{rows['chrt --idle 0']['median']:.1f} %", "≥ 95 %")

