"""8. Disk: a foreground's 4 KiB random reads (direct, one at a time,
synchronous, as an interactive program waits on its reads) in a control
group of its own, alone and beside a job streaming another file on the same
disk; the job direct with one read in flight, direct with 16 (libaio, as
copying tools and archivers keep), and buffered (the harness keeps its file
out of the page cache), started plainly, under `nice -n 19`, `ionice -c3`,
`chrt --idle 0` and under lullrun; every sample under the disk's
`mq-deadline` and `none` schedulers, switched as root and put back after.

Besides: the job's rate with no foreground (against the plain job's), how
soon the job is back at speed after the foreground stops, two wrapped jobs
side by side, and what the wrapper's watch costs while its job reads and
while it sleeps.

Targets, for lullrun: the foreground keeps ≥ 90 % of its IOPS alone beside
every job on every scheduler; the job with no foreground ≥ 95 % of the plain
one's rate; back at ≥ 90 % of its rate within 1 s of the foreground's stop;
two wrapped jobs each ≥ 40 % of one alone; ≤ 15 wake-ups a minute for a job
that does no I/O; the watch ≤ 0.5 % of one core while its job reads.

The figure runs in a process of its own (disk_run), inside a cgroup
namespace whose root is a cgroup2 group of the benchmark's own, so that
the wrapper sees a cgroup2 root with no process in it; see
groups.NamespacedGroup."""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

from . import disk_earlier
from .disk_run import KINDS, PEERS
from .groups import NamespacedGroup
from .harness import LULLRUN, ROOT, median
from .report import Section, Summary, Target, table, verdict

NUMBER = 8
KEY = "disk"
TITLE = "8. Disk: a foreground's random reads beside a streaming job, on two schedulers"
SCHEDULERS = ("mq-deadline", "none")
KIND_NAMES = {"direct": "direct, 1 in flight", "direct16": "direct, 16 in flight (libaio)",
              "buffered": "buffered"}
MAIN = "lullrun"


def block_device(path):
    """The sysfs node of the whole disk that holds `path`, or None."""
    device = os.stat(path).st_dev
    try:
        node = Path(f"/sys/dev/block/{os.major(device)}:{os.minor(device)}").resolve()
    except OSError:
        return None
    if (node / "partition").exists():
        node = node.parent
    return node if (node / "queue" / "scheduler").exists() else None


def scheduler_of(node):
    text = (node / "queue" / "scheduler").read_text()
    chosen = re.search(r"\[(.+?)\]", text)
    offered = text.replace("[", "").replace("]", "").split()
    return chosen.group(1) if chosen else text.strip(), offered


def lay_out(fio, files):
    """The files, written once with direct I/O; an error's last line, or None."""
    for path, mb in files:
        done = subprocess.run(
            [fio, "--name=layout", f"--filename={path}", f"--size={mb}M", "--rw=write",
             "--bs=1M", "--direct=1", "--output-format=terse"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if done.returncode != 0:
            return (done.stderr.decode().strip().splitlines() or ["?"])[-1]
    return None


def measure(settings, folder):
    fio = shutil.which("fio")
    if fio is None:
        return {"skipped": "skipped (needs fio)"}
    group = NamespacedGroup.find()
    if group is None:
        return {"skipped": "skipped (needs root and a writable cgroup2 hierarchy)"}
    node, original = None, None
    try:
        folder.mkdir(parents=True, exist_ok=True)
        files = {"foreground": folder / "foreground", "job": folder / "job",
                 "job2": folder / "job2"}
        error = lay_out(fio, [(files["foreground"], settings.disk_file_mb),
                              (files["job"], settings.disk_job_file_mb),
                              (files["job2"], settings.disk_job_file_mb)])
        if error is not None:
            return {"skipped": f"skipped (fio could not write its files in {folder}: {error})"}
        node = block_device(files["foreground"])
        if node is None:
            return {"skipped": f"skipped (no block device with a scheduler under {folder})"}
        original, offered = scheduler_of(node)
        schedulers = [name for name in settings.disk_schedulers or SCHEDULERS if name in offered]
        if not schedulers:
            return {"skipped": f"skipped ({node.name} offers none of "
                    f"{', '.join(settings.disk_schedulers or SCHEDULERS)})"}
        wrappers = [(MAIN, str(LULLRUN))] + sorted(settings.disk_also.items())
        plan = {"fio": fio, "files": {k: str(v) for k, v in files.items()},
                "seconds": settings.disk_seconds, "rounds": settings.disk_rounds,
                "recovery_seconds": settings.disk_recovery_seconds,
                "warmup_seconds": settings.disk_warmup_seconds,
                "others_mib_s": settings.disk_others_mib_s, "wrappers": wrappers,
                "schedulers": schedulers, "original": original, "node": str(node),
                "kinds": settings.disk_jobs or list(KINDS),
                "mount": str(group.mount)}
        found = run_inside(group, plan)
        return {"disk": node.name, "original": original, "schedulers": schedulers,
                "kinds": plan["kinds"],
                "offered": offered, "file_mb": settings.disk_file_mb,
                "job_file_mb": settings.disk_job_file_mb, "seconds": settings.disk_seconds,
                "warmup_seconds": settings.disk_warmup_seconds,
                "rounds": settings.disk_rounds, "wrappers": [label for label, _ in wrappers],
                "binaries": dict(wrappers), **found}
    finally:
        if node is not None and original is not None:
            (node / "queue" / "scheduler").write_text(original)
        group.remove()


def run_inside(group, plan):
    """disk_run in its namespaces; its samples. An interruption reaches it
    too and it tidies up on its way out; if it does not end soon, the
    group's removal ends whatever it left."""
    code = ("import sys; sys.path.insert(0, sys.argv[1]); from lullbench import disk_run; "
            "sys.exit(disk_run.inside())")
    process = subprocess.Popen(group.prefix() + [sys.executable, "-c", code,
                                                 str(ROOT / "bench")],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        out, _ = process.communicate(json.dumps(plan).encode())
    except BaseException:
        process.send_signal(signal.SIGINT)
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            process.kill()
        raise
    if process.returncode != 0:
        raise RuntimeError(f"the disk figure's run ended with {process.returncode}")
    return json.loads(out)


# ---------------------------------------------------------------- the report

def values(disk, figure, scheduler, kind, start, field):
    samples = disk["samples"].get(f"{figure}|{scheduler}|{kind}|{start}", [])
    return [s[field] for s in samples if s.get(field) is not None]


def kept_share(disk, scheduler, kind, start):
    """The foreground's share of its IOPS alone beside a job: the median of
    each sample's share of the foreground alone just before and after it,
    where the run took those; else against the median alone."""
    samples = disk["samples"].get(f"beside|{scheduler}|{kind}|{start}", [])
    paired = [share(s["iops"], s["alone_iops"]) for s in samples if s.get("alone_iops")]
    if paired and len(paired) == len(samples):
        return mid(paired)
    return share(mid(values(disk, "beside", scheduler, kind, start, "iops")),
                 alone_iops(disk, scheduler))


def alone_iops(disk, scheduler):
    """The foreground's IOPS alone, the median of the samples taken alone apart."""
    return mid(values(disk, "beside", scheduler, None, "alone", "iops"))


def kinds(disk):
    """The kinds of job a run measured (every one, unless it was told fewer)."""
    return disk.get("kinds", list(KINDS))


def share(part, whole):
    """`part` as a percentage of `whole`; nan where `whole` is nothing."""
    return 100 * part / whole if whole else float("nan")


def mid(found):
    return median(found) if found else float("nan")


def fmt_range(found, digits=0):
    return f"{min(found):,.{digits}f}–{max(found):,.{digits}f}" if found else "—"


class Figures:
    """The figure's medians and the targets judged on them."""

    def __init__(self, disk):
        self.disk = disk
        self.starts = list(PEERS) + disk["wrappers"]
        self.targets = []


    def beside_rows(self):
        lines = []
        for scheduler in self.disk["schedulers"]:
            alone = values(self.disk, "beside", scheduler, None, "alone", "iops")
            others = values(self.disk, "beside", scheduler, None, "alone", "others_mib_s")
            lines.append([scheduler, "none (foreground alone)", "", f"{mid(alone):,.0f}",
                          fmt_range(alone), "100 %", "—", f"{mid(others):,.0f} MiB/s", ""])
            for kind in kinds(self.disk):
                lines += [self.beside_row(scheduler, kind, start) for start in self.starts]
        return lines

    def beside_row(self, scheduler, kind, start):
        found = values(self.disk, "beside", scheduler, kind, start, "iops")
        kept = kept_share(self.disk, scheduler, kind, start)
        target = ""
        if start == MAIN:
            met = kept >= 90
            self.targets.append(Target(
                f"disk, lullrun, {scheduler}, job {KIND_NAMES[kind]}: foreground ≥ 90 % of "
                "its IOPS alone", f"{kept:.0f} %", met,
                f"Disk, {scheduler}, job {KIND_NAMES[kind]}: the foreground kept {kept:.0f} % "
                f"of its IOPS alone beside `lullrun`'s job (rounds {fmt_range(found)} IOPS, "
                f"alone {alone_iops(self.disk, scheduler):,.0f})."))
            target = f"≥ 90 %: {verdict(met)}"
        job = values(self.disk, "beside", scheduler, kind, start, "job_mib_s")
        others = values(self.disk, "beside", scheduler, kind, start, "others_mib_s")
        return [scheduler, KIND_NAMES[kind], start, f"{mid(found):,.0f}", fmt_range(found),
                f"{kept:.0f} %", f"{mid(job):,.0f} MiB/s", f"{mid(others):,.0f} MiB/s", target]

    def solo_rows(self):
        lines, worst = [], None
        for scheduler in self.disk["schedulers"]:
            for kind in kinds(self.disk):
                plain = mid(values(self.disk, "solo", scheduler, kind, "plainly", "job_mib_s"))
                for start in ["plainly", "chrt --idle 0"] + self.disk["wrappers"]:
                    found = values(self.disk, "solo", scheduler, kind, start, "job_mib_s")
                    busy = values(self.disk, "solo", scheduler, kind, start, "busy_pct")
                    kept = share(mid(found), plain)
                    if start == MAIN and (worst is None or not kept >= worst[0]):
                        worst = (kept, scheduler, kind)
                    lines.append([scheduler, KIND_NAMES[kind], start, f"{mid(found):,.0f} MiB/s",
                                  fmt_range(found), f"{kept:.0f} %", f"{mid(busy):.0f} %"])
        if worst is not None:
            self.targets.append(Target(
                "disk, lullrun: the job with no foreground ≥ 95 % of the plain job's rate",
                f"lowest {worst[0]:.0f} % ({worst[1]}, {KIND_NAMES[worst[2]]})", worst[0] >= 95,
                f"Disk: `lullrun`'s job with no foreground read at {worst[0]:.0f} % of the "
                f"plain job's rate ({worst[1]}, job {KIND_NAMES[worst[2]]})."))
        return lines

    def wrapper_rows(self):
        """Recovery and two jobs, per wrapper, scheduler and kind."""
        lines, slowest, weakest = [], None, None
        for label in self.disk["wrappers"]:
            for scheduler in self.disk["schedulers"]:
                for kind in kinds(self.disk):
                    back = [s["back_s"] for s in self.disk["samples"].get(
                        f"recovery|{scheduler}|{kind}|{label}", [])]
                    seen = [b if b is not None else float("inf") for b in back]
                    alone = mid(values(self.disk, "solo", scheduler, kind, label, "job_mib_s"))
                    found = self.disk["samples"].get(f"two|{scheduler}|{kind}|{label}", [])
                    pairs = [s["jobs_mib_s"] for s in found]
                    # One alone: the first job just before the second started,
                    # where the run measured it; else the same wrapper's job
                    # with no foreground.
                    slower = mid([share(min(s["jobs_mib_s"]), s.get("alone_mib_s", alone))
                                  for s in found])
                    balance = mid([share(min(pair), max(pair)) for pair in pairs])
                    if label == MAIN:
                        if slowest is None or mid(seen) > slowest[0]:
                            slowest = (mid(seen), scheduler, kind)
                        if weakest is None or not slower >= weakest[0]:
                            weakest = (slower, scheduler, kind)
                    lines.append([label, scheduler, KIND_NAMES[kind], seconds(mid(seen)),
                                  " ".join(seconds(b) for b in seen) or "—",
                                  f"{slower:.0f} %", f"{balance:.0f} %",
                                  " ".join(f"{p[0]:,.0f}+{p[1]:,.0f}" for p in pairs)])
        if slowest is not None:
            self.targets.append(Target(
                "disk, lullrun: after the foreground stops, the job back at ≥ 90 % within 1 s",
                f"slowest median {seconds(slowest[0])} ({slowest[1]}, {KIND_NAMES[slowest[2]]})",
                slowest[0] <= 1.0,
                f"Disk: `lullrun`'s job was back at 90 % of its rate {seconds(slowest[0])} after "
                f"the foreground stopped ({slowest[1]}, job {KIND_NAMES[slowest[2]]})."))
            self.targets.append(Target(
                "disk, lullrun: two jobs side by side, each ≥ 40 % of one alone",
                f"lowest {weakest[0]:.0f} % ({weakest[1]}, {KIND_NAMES[weakest[2]]})",
                weakest[0] >= 40,
                f"Disk: of two `lullrun` jobs side by side the slower read at {weakest[0]:.0f} % "
                f"of one alone ({weakest[1]}, job {KIND_NAMES[weakest[2]]})."))
        return lines

    def cost_rows(self):
        lines = []
        for label in self.disk["wrappers"]:
            samples = [s for key, found in self.disk["samples"].items()
                       if key.endswith(f"|{label}") and key.split("|")[0] in ("beside", "solo")
                       for s in found if "cpu_s" in s]
            wall = sum(s["seconds"] for s in samples) or float("nan")
            ticks = 100 * sum(s["cpu_s"] for s in samples) / wall
            exact = 100 * sum(s["exec_ms"] for s in samples) / 1000 / wall
            idle = self.disk["idle"][label]
            target = ""
            if label == MAIN:
                met = ticks <= 0.5 and at_most_per_minute(idle["wakeups_per_minute"],
                                                          idle["seconds"], 15)
                self.targets.append(Target(
                    "disk, lullrun: the watch ≤ 0.5 % of one core while its job reads, ≤ 15 "
                    "wake-ups a minute while it does no I/O",
                    f"{ticks:.2f} %, {idle['wakeups_per_minute']:.1f}", met,
                    f"Disk: `lullrun`'s watch took {ticks:.2f} % of one core (utime+stime) "
                    f"while its job read, and woke {idle['wakeups_per_minute']:.1f} times a "
                    "minute beside a job doing no I/O."))
                target = f"≤ 0.5 %, ≤ 15: {verdict(met)}"
            lines.append([label, f"{ticks:.2f} %", f"{exact:.3f} %", f"{wall:,.0f} s",
                          f"{idle['wakeups_per_minute']:.1f}",
                          f"{idle['exec_ms_per_minute']:.2f} ms", f"{idle['seconds']:.0f} s",
                          target])
        return lines


def at_most_per_minute(rate, seconds, limit):
    """Whether wake-ups at `rate` a minute over `seconds` keep to `limit`: a
    window that opens just before a steady tick holds one more tick than its
    length gives (449 of a 4 s tick in 1,792 s would be 15.03 a minute)."""
    return (rate * seconds / 60 - 1) * 60 / seconds <= limit


def seconds(value):
    return "never" if value == float("inf") else f"{value:.2f} s"


def section(disk, settings, machine):
    if "skipped" in disk:
        return Section(TITLE, [f"{disk['skipped'].capitalize()}."],
                       [Target("disk, lullrun: the foreground ≥ 90 % of its IOPS alone", "—",
                               None)])
    if "schedulers" not in disk:
        return disk_earlier.section(disk, settings, machine)
    figures = Figures(disk)
    others = (f" Wrappers measured: " + ", ".join(f"`{label}` ({path})" for label, path in
                                                   disk["binaries"].items()) + ".")
    text = [
        f"The foreground reads 4 KiB blocks at random places in a {disk['file_mb']} MiB file, "
        "direct, one at a time and synchronously (fio, `psync`, "
        f"{disk['seconds']:g} s a run), in a cgroup2 group of its own: interactive programs "
        "wait on each read, and the kernel counts a task waiting in `read()` as stalled on the "
        "disk (a reader through libaio, waiting in `io_getevents`, is not counted). The job "
        f"streams a {disk['job_file_mb']} MiB file on the same disk in 1 MiB reads, from a "
        "sibling group, started first and measured only once it has run " +
        (f"{disk['warmup_seconds']:g} s (as a long copy has when the user comes back; the "
         "wrapper starts watching the disk on one of its 4-second ticks, once it has seen "
         "its job's I/O)" if "warmup_seconds" in disk else "a moment") +
        ": direct with one read in "
        "flight, direct with 16 (libaio, as copying tools and archivers keep), and buffered "
        "(the harness drops the file from the page cache every 100 ms, so that the job reads "
        "the disk). Its peers are what a user would pick instead: `nice -n 19` (whose I/O "
        "priority follows the nice value), `ionice -c3` (the idle I/O class, honoured in full "
        "only by bfq), `chrt --idle 0`. Disk: "
        f"**{disk['disk']}**, its scheduler switched to each of "
        f"{', '.join(disk['schedulers'])} for every sample and put back to "
        f"{disk['original']} after. Everything runs in a cgroup namespace whose root is a "
        "group of the benchmark's own, so that the wrapper sees a cgroup2 root holding no "
        f"process. Median of {disk['rounds']} rounds, every sample in a shuffled order" +
        ("; the foreground's share of its rate alone is each sample's share of the foreground "
         "run alone just before the job started and just after it ended (the shared disk's "
         "rate drifts by a fifth within seconds), the median of those; the row \"foreground "
         "alone\" is the samples taken alone apart"
         if any("alone_iops" in s for key, found in disk["samples"].items()
                if key.startswith("beside|") for s in found) else "") + "; "
        f"\"others\" is the disk's traffic that was not the figure's (a sample with more than "
        f"{settings.disk_others_mib_s:g} MiB/s of it is taken again, up to twice)." + others,
        table(["scheduler", "job", "job started", "foreground IOPS", "spread", "of alone",
               "job meanwhile", "others", "target"], "llllrrrrl", figures.beside_rows()),
        "The job with no foreground, its rate over "
        f"{disk['seconds']:g} s, against the plain job's; `chrt --idle 0` shows what the "
        "processor's idle class alone costs the job where other work keeps the processor "
        "busy (the wrapper's job runs at idle processor priority too):",
        table(["scheduler", "job", "job started", "rate", "spread", "of plain",
               "CPUs busy meanwhile"], "lllrrrr",
              figures.solo_rows()),
        "How soon the wrapped job is back at 90 % of its rate (its rate with no foreground, "
        "just before) once the foreground stops: the end of the first 100 ms in which "
        "it read at that rate, its reads sampled every 50 ms; and two wrapped jobs side by "
        "side with no foreground, the slower one's rate against one alone (" +
        ("the first job's rate just before the second started, under the same load of the "
         "machine" if any("alone_mib_s" in s for key, found in disk["samples"].items()
                          if key.startswith("two|") for s in found)
         else "the same wrapper's job with no foreground, above") +
        ") and against the faster of the two:",
        table(["wrapper", "scheduler", "job", "back at 90 % after", "each round",
               "two jobs, the slower", "the slower against the faster", "two jobs, MiB/s"],
              "llllrrrl", figures.wrapper_rows()),
        "The wrapper's own processor time while its job reads (every sample above with a "
        "wrapped job, no foreground and beside one; utime+stime from `/proc/PID/stat`, and "
        "the scheduler's exact figure), and a wrapper watching a sleeping child for the whole "
        "figure, while the disk is busy with the samples (figure 5 measures it on an idle "
        "machine):",
        table(["wrapper", "CPU while its job reads (stat)", "(scheduler)", "over",
               "wake-ups a minute, job doing no I/O", "CPU a minute", "over", "target"],
              "lrrrrrrl", figures.cost_rows())]
    return Section(TITLE, text, figures.targets)


def summary(disk):
    label = "8. foreground 4 KiB random reads beside a streaming job, share of its IOPS alone"
    rule = "≥ 90 % of alone, every scheduler and job"
    if "skipped" in disk:
        return Summary(label, disk["skipped"], "—", rule)
    if "schedulers" not in disk:
        return disk_earlier.summary(disk)

    def worst(start):
        shares = [kept_share(disk, s, k, start) for s in disk["schedulers"] for k in kinds(disk)]
        return f"{min(shares):.0f}–{max(shares):.0f} %"

    ours = ", ".join(f"{label} {worst(label)}" for label in disk["wrappers"])
    peers = ", ".join(f"{'`' + p + '`' if p != 'plainly' else p} {worst(p)}" for p in PEERS)
    return Summary(f"{label} ({', '.join(disk['schedulers'])}; {disk['disk']})", ours, peers,
                   rule)
