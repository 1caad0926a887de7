"""14. Page cache: the user's files kept in memory beside a job that streams.

The user's application reads its working set (an eighth of the machine's
memory, in files of 128 KiB) once, so that it is in the page cache; then a
job runs to its end under lullrun, reading 3 × the machine's memory of other
files once, or writing one file of that size; then the user reads the
working set again. The figure is that re-read's time over the re-read with
no job between. The job runs under this build's lullrun and under the same
wrapper with LULLRUN_CACHE=0 (lullrun as it was before it kept the job's
cache in bounds), so the job's own time is compared like for like; the
wrapper's processor time is read from /proc while the job streams.

A third job reads its own input (500 MiB) three times: what it keeps of its
cache is its time against the same job with LULLRUN_CACHE=0.

A kernel before Linux 5.19 has no memory.reclaim: the wrapper then lowers the
leaf's memory.high for a moment instead. The row "lullrun, before 5.19" runs
the wrapper with a preloaded library (tests/linux/no_reclaim.cpp) that hides
memory.reclaim from it, so that way is measured on the same kernel.

Needs root (to empty the page cache before each sample) and a v2 tree whose
memory controller reaches the job's leaf: the Debian 12 machine of
../shared/vm with VM_DRIVE_CACHE=none, where the disk's reads reach a real
disk."""

import os
import subprocess
import sys
import time
from pathlib import Path

from .harness import BUILD, LULLRUN, median, say, shuffled_rounds, tool
from .report import Section, Summary, Target, table, verdict

NUMBER = 14
KEY = "page_cache"
TITLE = "12. Page cache: the user's files beside a job that streams 3 × the machine's memory"
SKIP = "skipped (needs root and the memory controller in a v2 tree)"
TARGET_REREAD = "page cache: the user's re-read ≤ 1.2 × its time with no job"
TARGET_JOB = "page cache: the job ≥ 95 % of its rate under lullrun with LULLRUN_CACHE=0"
TARGET_COST = ("page cache: the wrapper's cost beyond LULLRUN_CACHE=0's (its own and kswapd's) "
               "≤ 0.5 % of a core while the job streams")
TARGET_BEFORE = ("page cache before Linux 5.19 (memory.high lowered): the user's re-read "
                 "≤ 1.2 × its time with no job, the job ≥ 90 % of its rate")
NO_RECLAIM = BUILD / "tests" / "linux" / "liblull_no_reclaim.so"
BEFORE = "lullrun, before 5.19"
TICKS = os.sysconf("SC_CLK_TCK")
CHUNK = 1 << 20
KINDS = os.environ.get("LULLBENCH_CACHE_JOBS",
                       "reads once,writes,re-reads its input 3 times").split(",")

# Reads every file named on the command line once, 1 MiB at a time.
READER = """
import sys
for name in sys.argv[1:]:
    with open(name, "rb", buffering=0) as source:
        while source.read(1 << 20):
            pass
"""


def usable():
    controllers = Path("/sys/fs/cgroup/cgroup.controllers")
    try:
        return os.geteuid() == 0 and "memory" in controllers.read_text().split()
    except OSError:
        return False


def memory_bytes():
    return int(Path("/proc/meminfo").read_text().split()[1]) * 1024


def forget_cache():
    os.sync()
    Path("/proc/sys/vm/drop_caches").write_text("3")


def write_file(path, size):
    block = os.urandom(CHUNK)
    with open(path, "wb") as out:
        for _ in range(size // CHUNK):
            out.write(block)
    return path


def read_all(names):
    started = time.monotonic()
    subprocess.run([sys.executable, "-c", READER, *map(str, names)], check=True)
    return time.monotonic() - started


def wrapper_ticks(pid):
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError):
        return None


def kswapd_ticks():
    """The processor time of the kernel's reclaim threads (kswapd0, one a
    memory node): the reclaim the wrapper does, they do not."""
    total = 0
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue
        if "(kswapd" in text:
            fields = text.rsplit(")", 1)[1].split()
            total += int(fields[11]) + int(fields[12])
    return total


def run_job(command, cache, preload=None):
    """The job under the wrapper to its end: its seconds, the wrapper's
    processor time over them (the last reading before the wrapper ended)
    and the kernel's reclaim threads'."""
    env = dict(os.environ)
    env.pop("LULLRUN_CACHE", None)
    if cache is not None:
        env["LULLRUN_CACHE"] = cache
    if preload is not None:
        env["LD_PRELOAD"] = str(preload)
    started, kswapd = time.monotonic(), kswapd_ticks()
    wrapper = subprocess.Popen([str(LULLRUN), *command], env=env, stdin=subprocess.DEVNULL)
    ticks = 0
    while wrapper.poll() is None:
        ticks = wrapper_ticks(wrapper.pid) or ticks
        time.sleep(0.2)
    seconds = time.monotonic() - started
    return seconds, ticks / TICKS, (kswapd_ticks() - kswapd) / TICKS


class Scene:
    """The files of one run: the user's working set, the reading job's
    input, the writing job's output, the re-reading job's input."""

    def __init__(self, folder, quick):
        self.folder = folder
        total = memory_bytes()
        self.memory = total
        scale = 1 if not quick else 0.25
        self.working = [folder / f"user-{n}" for n in range(int(total / 8 / (128 << 10) * scale))]
        self.stream = int(3 * total * scale) // CHUNK * CHUNK
        self.inputs = []
        self.own = folder / "own-input"
        self.own_size = int((500 << 20) * scale)

    def make(self):
        self.folder.mkdir(parents=True, exist_ok=True)
        block = os.urandom(128 << 10)
        for name in self.working:
            name.write_bytes(block)
        for n in range(0, self.stream, 512 << 20):
            self.inputs.append(write_file(self.folder / f"input-{n >> 29}",
                                          min(512 << 20, self.stream - n)))
        write_file(self.own, self.own_size)

    def job(self, kind):
        if kind == "reads once":
            return [sys.executable, "-c", READER, *map(str, self.inputs)]
        if kind == "writes":
            return [tool("dd"), "if=/dev/zero", f"of={self.folder / 'output'}", f"bs={CHUNK}",
                    f"count={self.stream // CHUNK}", "status=none"]
        return [sys.executable, "-c", READER, *[str(self.own)] * 3]


def one_sample(scene, kind, variant):
    """One job after the user's first read: the user's re-read, the job's
    seconds and the wrapper's processor seconds."""
    forget_cache()
    read_all(scene.working)
    if variant == "no job":
        time.sleep(2)
        seconds, cpu, kswapd = 0.0, 0.0, 0.0
    else:
        seconds, cpu, kswapd = run_job(scene.job(kind), "0" if variant == "LULLRUN_CACHE=0" else None,
                                       NO_RECLAIM if variant == BEFORE else None)
    reread = read_all(scene.working)
    (scene.folder / "output").unlink(missing_ok=True)
    return reread, seconds, cpu, kswapd


def measure(settings):
    if not usable():
        return {"skipped": SKIP}
    folder = Path(os.environ.get("LULLBENCH_SCRATCH", "/var/tmp")) / f"lullbench-cache-{os.getpid()}"
    scene = Scene(folder, settings.quick)
    try:
        say(f"page cache: making {scene.stream >> 20} MiB of input")
        scene.make()
        rounds = 1 if settings.quick else settings.page_cache_rounds
        rows = []
        for kind in KINDS:
            variants = [("no job",), ("LULLRUN_CACHE=0",), ("lullrun",)]
            if NO_RECLAIM.exists() and kind != "re-reads its input 3 times":
                variants.append((BEFORE,))
            got = shuffled_rounds(rounds, variants, lambda v, k=kind: one_sample(scene, k, v[0]),
                                  f"page cache, {kind},")
            for (name,) in variants:
                rereads, seconds, cpu, kswapd = zip(*got[name])
                rows.append({"job": kind, "name": name, "reread": median(rereads),
                             "seconds": median(seconds), "cpu": median(cpu),
                             "kswapd": median(kswapd),
                             "samples": got[name]})
    finally:
        subprocess.run([tool("rm"), "-rf", str(folder)], check=False)
    return {"memory_mb": scene.memory >> 20, "working_mb": len(scene.working) * 128 >> 10,
            "stream_mb": scene.stream >> 20, "own_mb": scene.own_size >> 20, "rounds": rounds,
            "rows": rows}


def find(data, job, name):
    return next(row for row in data["rows"] if row["job"] == job and row["name"] == name)


def judged(data):
    """Per streaming job: the re-read ratio, the job's rate against
    LULLRUN_CACHE=0, the wrapper's share of a core."""
    out = {}
    for job in [kind for kind in ("reads once", "writes") if kind in KINDS]:
        alone = find(data, job, "no job")["reread"]
        today, ours = find(data, job, "LULLRUN_CACHE=0"), find(data, job, "lullrun")
        added = (ours["cpu"] + ours.get("kswapd", 0)) - (today["cpu"] + today.get("kswapd", 0))
        out[job] = (ours["reread"] / alone, today["seconds"] / ours["seconds"],
                    100 * added / ours["seconds"], today["reread"] / alone)
    return out


def section(data, settings, machine):
    if "skipped" in data:
        return Section(TITLE, [f"{data['skipped'].capitalize()}."],
                       [Target(TARGET_REREAD, "—", None)])
    text = (f"A machine of {data['memory_mb']} MiB; the user's working set {data['working_mb']} "
            f"MiB in files of 128 KiB, read once; then a job streams {data['stream_mb']} MiB "
            f"(reads it once, or writes it), or reads its own {data['own_mb']} MiB three times; "
            f"then the user reads the working set again. The page cache is emptied before each "
            f"sample. Median of {data['rounds']} interleaved rounds.")
    lines = []
    for row in data["rows"]:
        alone = find(data, row["job"], "no job")["reread"]
        lines.append([row["job"], row["name"], f"{row['reread']:.2f} s",
                      f"× {row['reread'] / alone:.2f}",
                      f"{row['seconds']:.1f} s" if row["seconds"] else "—",
                      f"{100 * row['cpu'] / row['seconds']:.2f} %" if row["seconds"] else "—",
                      f"{100 * row.get('kswapd', 0) / row['seconds']:.2f} %"
                      if row["seconds"] else "—"])
    rows = table(["job", "wrapper", "user's re-read", "× no job", "job's time",
                  "wrapper's CPU, share of a core", "kswapd's"], "llrrrrr", lines)
    cost = ("The wrapper's cost is judged as what it and the kernel's reclaim threads "
            "(kswapd) spent together beyond what they spent with LULLRUN_CACHE=0: the pages the "
            "wrapper asks back are pages kswapd would otherwise have had to reclaim to make room "
            "for the job's, so that work moves from kswapd to the wrapper rather than being added.")
    targets = []
    for job, (ratio, rate, cpu, _) in judged(data).items():
        targets += [Target(f"{TARGET_REREAD} ({job})", f"× {ratio:.2f}", ratio <= 1.2),
                    Target(f"{TARGET_JOB} ({job})", f"{100 * rate:.0f} %", rate >= 0.95),
                    Target(f"{TARGET_COST} ({job})", f"{cpu:.2f} %", cpu <= 0.5)]
    for job in ("reads once", "writes"):
        before = next((row for row in data["rows"] if row["job"] == job and row["name"] == BEFORE),
                      None)
        if before is None:
            continue
        alone = find(data, job, "no job")["reread"]
        ratio = before["reread"] / alone
        rate = find(data, job, "LULLRUN_CACHE=0")["seconds"] / before["seconds"]
        targets.append(Target(f"{TARGET_BEFORE} ({job})", f"× {ratio:.2f}, {100 * rate:.0f} %",
                              ratio <= 1.2 and rate >= 0.90))
    return Section(TITLE, [text, rows, cost], targets)


def summary(data):
    label = "12. the user's re-read beside a job streaming 3 × memory, × its time with no job"
    if "skipped" in data:
        return Summary(label, data["skipped"], "—", "≤ × 1.2")
    j = judged(data)
    return Summary(label, "; ".join(f"{job} × {v[0]:.2f}" for job, v in j.items()),
                   "LULLRUN_CACHE=0: " + "; ".join(f"{job} × {v[3]:.2f}" for job, v in j.items()),
                   "≤ × 1.2")


__all__ = ["measure", "section", "summary", "verdict"]
