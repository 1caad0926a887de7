"""11. Memory: in a memory-limited control group of the benchmark's own, a
foreground holds most of the group's memory beside a job that keeps
allocating, and the kernel must end one of them: who it ends, for the job
started plainly, under `nice -n 19`, under `chrt --idle 0` and under
lullrun. Target: lullrun's job is the one ended, every time.

A second row, without a target, measures what the wrapper does not yet
govern where the job has no memory group of its own (a v1 or hybrid tree):
how much slower the foreground's cached reads get beside a job that writes
large files (plainly, under `ionice -c3`, under lullrun), whose written pages
push the foreground's out of the group's page cache. Figure 14 measures the
same where the wrapper keeps the job's cache in bounds.

The kernel chooses only among the processes of the group that ran short,
so the job must stay in that group: as root without a service manager,
lullrun moves its child to an idle group in the cpu hierarchy only, and the
memory group stays as it is; a row whose job ran outside the group says so."""

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from .groups import entering, hierarchy_with, remove_group, without_bus
from .harness import (BUILD, LULLRUN, children_of, end, io_class_of, median, read_line,
                      scheduling_of, shuffled_rounds, spread, tool, wait_for_child)
from .report import Section, Summary, Target, table, verdict

NUMBER = 11
KEY = "memory"
TITLE = "11. Memory: who the kernel ends when a memory-limited group runs short"
TARGET = "memory, lullrun: the kernel ends the job, every time"
SKIP = "skipped (needs root and a writable memory hierarchy)"
GROWTH_MB, GROWTH_MS = 20, 50

# The foreground: holds its memory (written, so that it is resident), says
# so, and sleeps until it is ended, or its time is up.
HOLDER = """
import sys, time
held = b"\\1" * (int(sys.argv[1]) << 20)
print("ready", flush=True)
time.sleep(float(sys.argv[2]))
"""

# The job: grows by GROWTH_MB every GROWTH_MS until the kernel ends it, or
# its time is up.
GROWER = f"""
import sys, time
grown, end = [], time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    grown.append(b"\\1" * ({GROWTH_MB} << 20))
    time.sleep({GROWTH_MS / 1000})
"""

# The foreground of the second row: holds its memory, writes its working
# set of files and reads it once (so it is in the page cache), says so, and
# then reads the whole set again on each line it is sent, answering with
# the seconds the pass took.
READER = """
import os, sys, time
folder, hold_mb, files_mb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
held = b"\\1" * (hold_mb << 20)
names = [os.path.join(folder, f"foreground-{n}") for n in range(max(files_mb // 8, 1))]
for name in names:
    with open(name, "wb") as out:
        out.write(b"\\2" * (8 << 20))
def read_all():
    for name in names:
        with open(name, "rb", buffering=0) as source:
            while source.read(1 << 20):
                pass
read_all()
print("ready", flush=True)
for _ in sys.stdin:
    started = time.monotonic()
    read_all()
    print(time.monotonic() - started, flush=True)
"""

# The job of the second row: writes large files one after the other, as a
# job writing its output does, until its time is up; the disk holds no more
# than KEPT of them, each new one taking the place of the oldest.
KEPT = 4
WRITER = f"""
import os, sys, time
folder, file_mb, end = sys.argv[1], int(sys.argv[2]), time.monotonic() + float(sys.argv[3])
block, turn = b"\\3" * (1 << 20), 0
while time.monotonic() < end:
    with open(os.path.join(folder, f"job-{{turn % {KEPT}}}"), "wb") as out:
        for _ in range(file_mb):
            out.write(block)
    turn += 1
"""


class MemoryGroup:
    """The memory hierarchy (v1 `memory`, or v2 with `memory` handed to the
    root's children), and one group of the benchmark's own in it, made
    afresh for each sample with the figure's limit and no swap."""

    def __init__(self, root, version):
        self.root, self.version = root, version
        self.path = root / f"lullbench-memory-{os.getpid()}"

    @staticmethod
    def find():
        """The hierarchy, or None where the benchmark may not make groups in it."""
        where = hierarchy_with("memory")
        found = MemoryGroup(*where) if where is not None else None
        if found is None or not os.access(found.root, os.W_OK):
            return None
        # Groups a benchmark killed outright left behind (their owner gone).
        for group in found.root.glob("lullbench-memory-*"):
            owner = group.name.rsplit("-", 1)[1]
            if owner.isdigit() and not Path(f"/proc/{owner}").exists():
                remove_group(group)
        return found

    def fresh(self, limit_mb):
        """The group, emptied and made again with a limit of `limit_mb`."""
        remove_group(self.path)
        self.path.mkdir()
        limit = str(limit_mb << 20)
        if self.version == 1:
            (self.path / "memory.limit_in_bytes").write_text(limit)
            # Memory and swap together no more than memory alone: no swap,
            # as on most machines without it.
            swap = self.path / "memory.memsw.limit_in_bytes"
            if swap.exists():
                swap.write_text(limit)
        else:
            (self.path / "memory.max").write_text(limit)
            swap = self.path / "memory.swap.max"
            if swap.exists():
                swap.write_text("0")
        return self.path

    def kills(self):
        """How many processes the kernel has ended in the group for memory."""
        name = "memory.oom_control" if self.version == 1 else "memory.events"
        try:
            for line in (self.path / name).read_text().splitlines():
                key, _, value = line.partition(" ")
                if key == "oom_kill":
                    return int(value)
        except OSError:
            pass
        return 0

    def holds(self, pid):
        """Whether `pid` runs in the group."""
        try:
            return str(pid) in (self.path / "cgroup.procs").read_text().split()
        except OSError:
            return False

    def shown(self):
        return f"{self.root}/lullbench-memory-… (v{self.version})"

    def remove(self):
        remove_group(self.path)


def python():
    return sys.executable


def job_as_seen(group, pid):
    """The job's oom_score_adj and scheduling, and whether it runs in the
    group: what decides who the kernel ends."""
    try:
        score = Path(f"/proc/{pid}/oom_score_adj").read_text().strip()
        seen = f"oom_score_adj {score}, {scheduling_of(pid).split(', group')[0]}"
    except OSError:
        return "ended before it was seen"
    return seen + ("" if group.holds(pid) else "; **not in the memory group**")


def running(pid):
    """Whether `pid` is there and not yet a zombie."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (OSError, TypeError):
        return False
    return stat[stat.rfind(")") + 2] != "Z"


def worker_of(process, wrapped, program):
    """The job's own process (the wrapper's child, where it is wrapped),
    once it runs `program`: before that it is a copy of the benchmark not
    yet replaced, a shell, `nice` or the wrapper, each scheduled and placed
    otherwise."""
    pid = wait_for_child(process.pid) if wrapped else process.pid
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            # Python's own command line, not the shell's that carries it on.
            if Path(f"/proc/{pid}/cmdline").read_text().split("\0")[1:3] == ["-c", program]:
                break
        except OSError:
            break
        time.sleep(0.002)
    return pid


def stop(job, wrapped, foreground):
    """Ends what still runs of a sample: a wrapper's child first, so that
    the wrapper ends on its own and removes what it made, as it does when
    its child ends."""
    if job is not None and wrapped and job.poll() is None:
        for child in children_of(job.pid):
            try:
                os.kill(child, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            job.wait(10)
        except subprocess.TimeoutExpired:
            pass
    for process in (job, foreground):
        if process is not None:
            end(process)
            for pipe in (process.stdin, process.stdout):
                if pipe:
                    pipe.close()


def one_kill(settings, group, command, wrapped, seen, name):
    """Who the kernel ends, the foreground or the job, once the job has
    grown past what the group has left; and after how many seconds."""
    limit = settings.memory_seconds
    path = group.fresh(settings.memory_limit_mb)
    foreground = job = None
    try:
        foreground = subprocess.Popen(
            entering(path) + [python(), "-c", HOLDER, str(settings.memory_foreground_mb),
                              str(limit + 30)], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        if read_line(foreground, 60) != "ready":
            raise RuntimeError("the foreground did not take its memory")
        started = time.monotonic()
        job = subprocess.Popen(entering(path) + command + [python(), "-c", GROWER, str(limit)],
                               stdin=subprocess.DEVNULL, env=without_bus())
        worker = None
        try:
            worker = worker_of(job, wrapped, GROWER)
            seen.setdefault(name, job_as_seen(group, worker))
        except RuntimeError:
            pass  # ended before it started a child: the outcome says so
        while time.monotonic() < started + limit and foreground.poll() is None \
                and job.poll() is None:
            time.sleep(0.02)
        seconds = time.monotonic() - started
        time.sleep(0.5)  # should the kernel end the other one too
        ended = []
        if foreground.poll() == -9:
            ended.append("the foreground")
        # The wrapper ends the way its child did, by SIGKILL too: where the
        # wrapper went and its child runs on, the kernel took the wrapper.
        if job.poll() == -9 and not (wrapped and running(worker)):
            ended.append("the job")
        elif job.poll() == -9:
            ended.append("the wrapper")
        outcome = " and ".join(ended) if ended else f"nobody within {limit:g} s"
        if ended and group.kills() == 0:
            outcome += " (not by the kernel's out-of-memory killer)"
        return outcome, seconds
    finally:
        stop(job, wrapped, foreground)
        group.remove()


def written(pid):
    """What `pid` has written so far, to the page cache or anywhere else."""
    try:
        for line in Path(f"/proc/{pid}/io").read_text().splitlines():
            if line.startswith("wchar:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def one_read(settings, group, folder, command, wrapped, seen, name):
    """How many times slower the foreground's cached reads get once the
    writing job runs beside it: the median pass beside it over the median
    pass alone, and both passes."""
    path = group.fresh(settings.memory_limit_mb)
    folder.mkdir(parents=True, exist_ok=True)
    foreground = job = None
    try:
        foreground = subprocess.Popen(
            entering(path) + [python(), "-c", READER, str(folder),
                              str(settings.memory_foreground_mb), str(settings.memory_files_mb)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)

        def passes(count):
            # A pass after a pause, as a user comes back to their files: a
            # working set read without a break stays in the cache whatever
            # runs beside it.
            times = []
            for _ in range(count):
                time.sleep(settings.memory_pause_seconds)
                foreground.stdin.write(b"pass\n")
                foreground.stdin.flush()
                times.append(float(read_line(foreground, 120)))
            return times

        if read_line(foreground, 120) != "ready":
            raise RuntimeError("the foreground did not read its files")
        alone = median(passes(settings.memory_passes))
        # The job ends by itself even if the benchmark does not end it.
        job = subprocess.Popen(
            entering(path) + command + [python(), "-c", WRITER, str(folder),
                                        str(settings.memory_write_mb), "600"],
            stdin=subprocess.DEVNULL, env=without_bus())
        worker = worker_of(job, wrapped, WRITER)
        seen.setdefault(name, (job_as_seen(group, worker), io_class_of(worker)))
        # The foreground reads beside the job once the job has written all
        # the files it keeps and as much again as the group holds, so that
        # it writes as it will for as long as it runs (or once it has had its
        # time: a job kept from the processor writes little, which its rate
        # then shows).
        enough = (KEPT * settings.memory_write_mb + settings.memory_limit_mb) << 20
        deadline = time.monotonic() + settings.memory_settle_seconds
        while written(worker) < enough and time.monotonic() < deadline:
            time.sleep(0.05)
        before, started = written(worker), time.monotonic()
        beside = median(passes(settings.memory_passes))
        rate = (written(worker) - before) / 2**20 / (time.monotonic() - started)
        return beside / alone, alone, beside, rate
    finally:
        stop(job, wrapped, foreground)
        group.remove()
        shutil.rmtree(folder, ignore_errors=True)


def measure(settings):
    group = MemoryGroup.find()
    if group is None:
        return {"skipped": SKIP}
    folder = BUILD / "bench" / f"memory-{os.getpid()}"
    try:
        seen = {}
        variants = [
            ("plainly", [], False),
            ("nice -n 19", [tool("nice"), "-n", "19"], False),
            ("chrt --idle 0", [tool("chrt"), "--idle", "0"], False),
            ("lullrun", [str(LULLRUN)], True),
        ]
        kills = shuffled_rounds(settings.memory_rounds, variants, lambda variant: one_kill(
            settings, group, variant[1], variant[2], seen, variant[0]), "memory, who is ended,")
        kill_rows = [{"name": name, "outcomes": [outcome for outcome, _ in kills[name]],
                      "seconds": [seconds for _, seconds in kills[name]],
                      "job": seen.get(name, "")} for name, _, _ in variants]
        seen = {}
        variants = [
            ("plainly", [], False),
            ("ionice -c3", [tool("ionice"), "-c3"], False),
            ("lullrun", [str(LULLRUN)], True),
        ]
        reads = shuffled_rounds(settings.memory_rounds, variants, lambda variant: one_read(
            settings, group, folder, variant[1], variant[2], seen, variant[0]),
            "memory, cached reads,")
        read_rows = []
        for name, _, _ in variants:
            ratios, alone, beside, rates = zip(*reads[name])
            job, io_class = seen.get(name, ("", ""))
            read_rows.append({"name": name, **spread(list(ratios)),
                              "alone_ms": 1000 * median(alone), "beside_ms": 1000 * median(beside),
                              "job_mib_s": median(rates), "job": job, "io_class": io_class})
    finally:
        group.remove()
        shutil.rmtree(folder, ignore_errors=True)
    return {"group": group.shown(), "limit_mb": settings.memory_limit_mb,
            "foreground_mb": settings.memory_foreground_mb, "files_mb": settings.memory_files_mb,
            "write_mb": settings.memory_write_mb, "rounds": settings.memory_rounds,
            "seconds": settings.memory_seconds, "passes": settings.memory_passes,
            "settle_seconds": settings.memory_settle_seconds,
            "pause_seconds": settings.memory_pause_seconds,
            "rows": kill_rows, "reads": read_rows}


def tally(row):
    """A row's outcomes, counted: "the job, 3 of 3"."""
    counts = {}
    for outcome in row["outcomes"]:
        counts[outcome] = counts.get(outcome, 0) + 1
    return ", and ".join(f"{outcome}, {count} of {len(row['outcomes'])}"
                         for outcome, count in counts.items())


def job_every_time(row):
    return bool(row["outcomes"]) and all(outcome == "the job" for outcome in row["outcomes"])


def section(data, settings, machine):
    if "skipped" in data:
        return Section(TITLE, [f"{data['skipped'].capitalize()}."], [Target(TARGET, "—", None)])
    text = (f"A control group of the benchmark's own (`{data['group']}`) limited to "
            f"{data['limit_mb']} MiB with no swap; in it a foreground holds "
            f"{data['foreground_mb']} MiB, and then a job starts that grows by {GROWTH_MB} MiB "
            f"every {GROWTH_MS} ms until the kernel ends one of them (or for at most "
            f"{data['seconds']:g} s). The kernel chooses among the group's processes only, the "
            "one with the most memory unless a process's `oom_score_adj` says otherwise, so the "
            "job must stay in the group: the last column but one flags a job that ran outside "
            f"it. {data['rounds']} interleaved rounds.")
    targets, lines = [], []
    for row in data["rows"]:
        target = ""
        if row["name"] == "lullrun":
            met = job_every_time(row)
            note = (f"Memory: with `lullrun` the kernel ended {tally(row)}; the job ran as: "
                    f"{row['job']}.")
            if any(outcome.startswith("nobody") for outcome in row["outcomes"]):
                note += (" Where nobody was ended, the job, at idle priority, was kept from the "
                         "processor by the machine's other work and had not grown past what the "
                         "group had left in time.")
            targets.append(Target(TARGET, tally(row), met, note))
            target = f"the job, every time: {verdict(met)}"
        lines.append([row["name"], tally(row), f"{median(row['seconds']):.1f} s",
                      row["job"] or "—", target])
    kills = table(["job started", "the kernel ended", "after (median)",
                   "job as the kernel sees it", "target"], "llrll", lines)
    reading = (f"In the same group, the foreground holds {data['foreground_mb']} MiB and reads a "
               f"working set of {data['files_mb']} MiB of files, all in the page cache, again and "
               f"again; beside it a job writes files of {data['write_mb']} MiB one after the "
               f"other (keeping the last {KEPT}). The figure is how many times longer a pass over "
               "the working set takes once the job has written all the files it keeps and as "
               "much again as the group holds, or has had "
               f"{data['settle_seconds']:g} s to (median of {data['passes']} passes, each way, "
               f"a round, each after a pause of {data['pause_seconds']:g} s, as a user comes "
               f"back to their files), median of {data['rounds']} rounds; the job's rate while the foreground "
               "read shows whether it was writing at all (a job at idle CPU priority on a busy "
               "machine may not be). No target: the job's written pages push the foreground's "
               "out of the group's page cache, whatever the job's CPU and I/O classes; "
               "`docs/page-cache.md` describes how the job's page cache could be kept in bounds, "
               "and this row is its measure.")
    lines = [[row["name"], f"× {row['median']:.1f}", f"× {row['low']:.1f}–{row['high']:.1f}",
              f"{row['alone_ms']:.0f} ms", f"{row['beside_ms']:.0f} ms",
              f"{row['job_mib_s']:,.0f} MiB/s", row["io_class"] or "—"]
             for row in data["reads"]]
    reads = table(["writing job started", "cached reads slower by", "spread", "a pass alone",
                   "a pass beside the job", "job wrote meanwhile", "job's I/O class (`ionice -p`)"],
                  "lrrrrrl", lines)
    return Section(TITLE, [text, kills, reading, reads], targets)


def summary(data):
    label = ("11. who the kernel ends when memory runs short; the foreground's cached reads "
             "beside a writing job, slower by (median)")
    if "skipped" in data:
        return Summary(label, data["skipped"], "—", "the job, every time")
    rows = {row["name"]: row for row in data["rows"]}
    reads = {row["name"]: row for row in data["reads"]}
    return Summary(
        label, f"{tally(rows['lullrun'])}; reads × {reads['lullrun']['median']:.1f}",
        "; ".join(f"{name if name == 'plainly' else f'`{name}`'}: {tally(rows[name])}"
                  for name in ("plainly", "nice -n 19", "chrt --idle 0")) +
        f"; reads plainly × {reads['plainly']['median']:.1f}, `ionice -c3` × "
        f"{reads['ionice -c3']['median']:.1f}", "the job, every time")
