"""What every figure shares: where the programs are, the run's settings,
running and timing processes, the statistics, and the machine's description.

Every figure runs its peers in the same run as lullrun, interleaved, and
reports medians with their spread: the machines are shared and noisy, and
only figures taken side by side under the same load compare."""

import os
import platform
import random
import select
import shutil
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent.parent
BUILD = ROOT / "build" / "release"
# Another build's wrapper may be measured in place of this one's (a branch
# before it is merged): LULLBENCH_LULLRUN names its binary.
LULLRUN = Path(os.environ.get("LULLBENCH_LULLRUN") or BUILD / "programs" / "lullrun")
HELPER = BUILD / "bench" / "lull_bench"
RESULTS = BUILD / "bench" / "results"
JAVA_KEYS = ("Java_Executable_Path", "Class_path_to_use", "Class_to_run", "Args_if_any",
             "Java_run_minimized_no_focus")
CORES = os.cpu_count() or 1


@dataclass
class Settings:
    quick: bool
    rounds: int            # interference rounds
    turns: int             # interference: windows with the hog running, each between two without
    phase_seconds: float   # interference: the length of each window
    exit_runs: int
    start_runs: int
    jvm_start_runs: int
    footprint_runs: int
    idle_seconds: float
    lookup_rounds: int
    group_rounds: int      # interference with the foreground in a control group of its own
    group_turns: int
    disk_rounds: int
    disk_seconds: float    # each foreground fio run
    disk_file_mb: int
    manager_start_runs: int
    lookup_reps: dict = field(default_factory=dict)
    disk_job_file_mb: int = 2048       # each streaming job's file
    disk_recovery_seconds: float = 2.5  # the job's reads followed after the foreground stops
    disk_warmup_seconds: float = 4.5    # each job runs this long before it is measured
    disk_others_mib_s: float = 40      # others' disk traffic beyond which a sample is taken again
    disk_also: dict = field(default_factory=dict)  # more wrappers to measure: label -> binary
    disk_schedulers: list = field(default_factory=list)  # fewer than both, to tune by
    disk_jobs: list = field(default_factory=list)        # fewer kinds of job, to tune by
    memory_rounds: int = 3
    memory_limit_mb: int = 1536        # the memory group's limit
    memory_foreground_mb: int = 1000   # what the foreground holds in it
    memory_files_mb: int = 200         # the foreground's working set of files
    memory_write_mb: int = 1024        # each file the writing job writes
    memory_passes: int = 3             # passes over the working set, alone and beside the job
    memory_seconds: float = 120        # the longest the growing job is given
    memory_settle_seconds: float = 30  # the longest the writing job is given to fill the group
    memory_pause_seconds: float = 1    # the foreground's pause before each pass
    network_rounds: int = 3            # rounds of the network figure
    page_cache_rounds: int = 3         # the page cache's figure: slow where it runs (emulated)

    @staticmethod
    def make(quick):
        if quick:
            return Settings(True, rounds=2, turns=3, phase_seconds=0.3, exit_runs=10,
                            start_runs=30, jvm_start_runs=2, footprint_runs=2, idle_seconds=8,
                            lookup_rounds=2, group_rounds=1, group_turns=1, disk_rounds=1,
                            disk_seconds=0.5, disk_file_mb=256, manager_start_runs=10,
                            lookup_reps={"1 KB": 20, "100 KB": 5, "10 MB": 1},
                            memory_rounds=1, memory_limit_mb=512, memory_foreground_mb=320,
                            memory_files_mb=64, memory_write_mb=256, memory_passes=2,
                            memory_seconds=60, memory_settle_seconds=15,
                            memory_pause_seconds=0.5, disk_job_file_mb=512,
                            disk_recovery_seconds=1.5, network_rounds=1)
        return Settings(False, rounds=7, turns=5, phase_seconds=0.5, exit_runs=50,
                        start_runs=200, jvm_start_runs=20, footprint_runs=5, idle_seconds=60,
                        lookup_rounds=5, group_rounds=5, group_turns=3, disk_rounds=5,
                        disk_seconds=2.0, disk_file_mb=1024, manager_start_runs=100,
                        lookup_reps={"1 KB": 100, "100 KB": 20, "10 MB": 2})

    @staticmethod
    def saved(values):
        """The settings a saved run was made with; what it does not name
        (it was saved before that setting existed) as in a run of its kind."""
        return Settings(**{**asdict(Settings.make(values["quick"])), **values})


def say(text):
    print(text, file=sys.stderr, flush=True)


class Parts:
    """Tells which part of the benchmark runs, and how long the one before
    it took."""

    def __init__(self):
        self.current = None

    def next(self, label):
        self.done()
        say(f"{label} ...")
        self.current = time.monotonic()

    def done(self):
        if self.current is not None:
            say(f"  ({time.monotonic() - self.current:.0f} s)")
        self.current = None


PARTS = Parts()


# ---------------------------------------------------------------- repetitions and medians

def median(values):
    return statistics.median(values)


def quantile(values, q):
    ordered = sorted(values)
    if len(ordered) == 1:
        return ordered[0]
    position = q * (len(ordered) - 1)
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def ms(ns):
    return ns / 1e6


def spread(values):
    """A figure as the tables show it: the median and the range of its samples."""
    return {"median": median(values), "low": min(values), "high": max(values),
            "samples": values}


def shuffled_rounds(rounds, variants, sample, label):
    """Every variant sampled once a round, in an order shuffled afresh each
    round (the same order for the same round in every run), so that the
    swings of the machine's other load fall alike on each; the samples by
    variant name. A variant is a tuple whose first item is its name."""
    samples = {variant[0]: [] for variant in variants}
    order = list(range(len(variants)))
    for round_number in range(rounds):
        random.Random(round_number).shuffle(order)
        for index in order:
            samples[variants[index][0]].append(sample(variants[index]))
        say(f"  {label} round {round_number + 1}/{rounds} done")
    return samples


def rotated_runs(runs, variants, sample):
    """Every variant sampled `runs` times, each run starting one further
    along the list, so that none is always first after a pause; the samples
    by variant name."""
    samples = {variant[0]: [] for variant in variants}
    for run in range(runs):
        for k in range(len(variants)):
            variant = variants[(k + run) % len(variants)]
            samples[variant[0]].append(sample(variant))
    return samples


# ---------------------------------------------------------------- processes

def children_of(pid):
    try:
        text = Path(f"/proc/{pid}/task/{pid}/children").read_text()
    except OSError:
        return []
    return [int(word) for word in text.split()]


def wait_for_child(pid, timeout=10.0):
    """The first child process of `pid`, once it has one."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = children_of(pid)
        if found:
            return found[0]
        time.sleep(0.005)
    raise RuntimeError(f"process {pid} started no child")


def read_line(process, timeout):
    """One line from a process's stdout pipe, or an error after `timeout`."""
    ready, _, _ = select.select([process.stdout], [], [], timeout)
    if not ready:
        raise RuntimeError(f"no output from {process.args} within {timeout} s")
    return process.stdout.readline().decode().strip()


def scheduling_of(pid):
    """How the kernel schedules `pid`: policy, nice and session group."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    nice, policy = int(fields[16]), int(fields[38])
    names = {0: "normal", 3: "batch", 5: "idle"}
    try:
        group = Path(f"/proc/{pid}/autogroup").read_text().split()
        group_nice = group[-1]
    except OSError:
        group_nice = "?"
    return f"{names.get(policy, str(policy))}, nice {nice}, group nice {group_nice}"


def process_counters(pid):
    """CPU time and context switches of one process, from /proc."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    counters = {"stat_cpu_ms": (int(fields[11]) + int(fields[12])) * 1000 / ticks}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        if key in ("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches"):
            counters[key] = int(value)
        elif key in ("VmHWM", "VmRSS"):
            counters[key] = int(value.split()[0])
    try:
        for line in Path(f"/proc/{pid}/sched").read_text().splitlines():
            if line.startswith("se.sum_exec_runtime"):
                counters["exec_ms"] = float(line.split(":")[1])
    except OSError:
        pass
    return counters


def io_class_of(pid):
    """The I/O class the kernel gives `pid`, as `ionice -p` shows it."""
    result = subprocess.run([tool("ionice"), "-p", str(pid)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    return result.stdout.decode().strip() or "?"


def end(process, timeout=10.0):
    if process.poll() is None:
        process.kill()
    process.wait(timeout)


def descendants(pid):
    """Every process below `pid`, parents before their children."""
    found, queue = [], [pid]
    while queue:
        for child in children_of(queue.pop(0)):
            found.append(child)
            queue.append(child)
    return found


def end_tree(process, timeout=10.0):
    """Ends a process and everything it started, also what a wrapper's child
    started in a session of its own, which outlives the wrapper by design."""
    if process.poll() is None:
        # The deepest first, so that each is reaped by its own parent: an
        # orphan goes to a process 1 that may never reap it.
        for pid in reversed(descendants(process.pid)):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                continue
            deadline = time.monotonic() + 5
            while Path(f"/proc/{pid}").exists() and time.monotonic() < deadline:
                time.sleep(0.005)
        if process.poll() is None:
            process.kill()
    process.wait(timeout)


# ---------------------------------------------------------------- set-up

def build(skip):
    if not skip:
        say("building the release programs ...")
        subprocess.run(["cmake", "--preset", "release"], cwd=ROOT, check=True,
                       stdout=subprocess.DEVNULL)
        # Only what the benchmark runs: the tests are not its business.
        subprocess.run(["cmake", "--build", "--preset", "release", "-j2", "--target", "lullrun",
                        "lull_bench", "lull_delay", "lull_no_reclaim"],
                       cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    for program in (LULLRUN, HELPER):
        if not program.exists():
            sys.exit(f"bench: {program} is missing; build the release preset first")


def tool(name):
    path = shutil.which(name)
    if path is None:
        sys.exit(f"bench: {name} is needed (scripts/install-deps.sh installs it)")
    return path


def compile_java(scratch):
    classes = scratch / "classes"
    classes.mkdir()
    subprocess.run([tool("javac"), "-d", str(classes), str(ROOT / "bench" / "Hog.java")],
                   check=True)
    return classes


def java_wrapper(folder, values):
    """A lullrun in `folder` (a link, so it reads the settings beside it)
    whose settings file gives the Java-mode keys these values."""
    folder.mkdir(parents=True, exist_ok=True)
    link = folder / "lullrun"
    link.symlink_to(LULLRUN)
    lines = [f"{key}={values.get(key, '')}" for key in JAVA_KEYS]
    (folder / "lullrun.properties").write_text("\n".join(lines) + "\n")
    return link


def spawn_times(runs, commands, prefix=(), env=None):
    argv = list(prefix) + [str(HELPER), "spawn-times", str(runs)]
    for _, command in commands:
        argv += ["--"] + command
    result = subprocess.run(argv, stdout=subprocess.PIPE, check=True, env=env)
    samples = {index: [] for index in range(len(commands))}
    cpu = {index: [] for index in range(len(commands))}
    for line in result.stdout.decode().splitlines():
        index, wall_ns, cpu_ns = line.split()
        samples[int(index)].append(int(wall_ns))
        cpu[int(index)].append(int(cpu_ns))
    return [{"name": commands[i][0], "median": ms(median(values)),
             "p10": ms(quantile(values, 0.1)), "p90": ms(quantile(values, 0.9)),
             "cpu_median": ms(median(cpu[i])), "runs": len(values)}
            for i, values in samples.items()]




# ---------------------------------------------------------------- the machine

def cpu_busy(seconds=2.0):
    """The share of all CPU time spent on anything but idling, over a while:
    how much other work the machine has, sampled while the benchmark runs
    nothing."""
    def sample():
        values = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
        return sum(values), values[3] + values[4]  # all, idle + iowait

    total_0, idle_0 = sample()
    time.sleep(seconds)
    total_1, idle_1 = sample()
    total = max(total_1 - total_0, 1)
    return 100.0 * (total - (idle_1 - idle_0)) / total


def machine():
    model = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    try:
        autogroup = Path("/proc/sys/kernel/sched_autogroup_enabled").read_text().strip() == "1"
    except OSError:
        autogroup = False
    memory = Path("/proc/meminfo").read_text().split()[1]
    system = "Linux"
    try:
        for line in Path("/etc/os-release").read_text().splitlines():
            if line.startswith("PRETTY_NAME="):
                system = line.split("=", 1)[1].strip('"')
    except OSError:
        pass
    return {"cpu": model, "cores": CORES, "kernel": platform.release(), "system": system,
            "memory_gb": round(int(memory) / 1024 / 1024), "autogroup": autogroup,
            "busy": cpu_busy(), "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}


