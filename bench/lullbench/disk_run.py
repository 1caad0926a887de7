"""8. Disk, the part that runs inside the figure's namespaces (a cgroup2 root
of the benchmark's own, see groups.NamespacedGroup): the jobs, the
foreground, the disk's scheduler, and every sample. `disk.measure` starts it
as a process of its own, hands it its plan as JSON on stdin and reads its
samples as JSON from stdout; its progress goes to stderr.

Every sample is taken in rounds, each round in an order shuffled afresh,
with the scheduler switched for each sample, so that the swings of the
shared disk fall alike on every variant and scheduler."""

import json
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

from .groups import NamespacedGroup, entering, without_bus
from .harness import descendants, io_class_of, process_counters, say, tool

# The jobs: how each streams its file. Interactive programs and most tools
# read synchronously; copying tools and archivers keep many reads in flight.
KINDS = {
    "direct": ["--direct=1", "--ioengine=psync"],
    "direct16": ["--direct=1", "--ioengine=libaio", "--iodepth=16"],
    "buffered": ["--direct=0", "--ioengine=psync"],
}
PEERS = {
    "plainly": [],
    "nice -n 19": ["nice", "-n", "19"],
    "ionice -c3": ["ionice", "-c3"],
    "chrt --idle 0": ["chrt", "--idle", "0"],
}
GROUPS = ("foreground", "job")
MIB = 2**20


def bytes_read(pids):
    """What these processes and everything below them have read from storage."""
    total = 0
    for each in {p for pid in pids for p in [pid] + descendants(pid)}:
        try:
            for line in Path(f"/proc/{each}/io").read_text().splitlines():
                if line.startswith("read_bytes:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def cpu_ticks(pid):
    """utime + stime of one process, in seconds (clock ticks)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def cpu_totals():
    """All the machine's CPU time so far, and its idle part (idle and iowait),
    in ticks: how busy the processors were over a window, for a wrapped job
    runs at idle processor priority and reads less when other work is busy."""
    values = [int(v) for v in Path("/proc/stat").read_text().split("\n", 1)[0].split()[1:]]
    return sum(values), values[3] + values[4]


class Disk:
    """The block device under the files, its scheduler switched and its
    traffic counted (/proc/diskstats), so that a sample can tell how much of
    the disk's traffic was not the figure's own."""

    def __init__(self, node):
        self.node = Path(node)
        self.current = None

    def use(self, scheduler):
        if scheduler != self.current:
            (self.node / "queue" / "scheduler").write_text(scheduler)
            self.current = scheduler

    def traffic(self):
        """Bytes read and written so far."""
        for line in Path("/proc/diskstats").read_text().splitlines():
            fields = line.split()
            if fields[2] == self.node.name:
                return (int(fields[5]) + int(fields[9])) * 512
        return 0


class Plan:
    """What the outer process hands over, and the groups inside."""

    def __init__(self, values, mount):
        self.__dict__.update(values)
        self.mount = mount
        self.wrappers = {label: path for label, path in values["wrappers"]}

    def start(self, name):
        """The prefix that starts a job as `name` says: a peer, or a wrapper by label."""
        if name in PEERS:
            return [tool(word) if i == 0 else word for i, word in enumerate(PEERS[name])]
        return [self.wrappers[name]]


class Job:
    """One streaming job, started from the job's group, and the harness's
    thread that keeps a buffered job's file out of the page cache (every
    100 ms), so that it reads the disk and not memory."""

    def __init__(self, plan, kind, start, file):
        limit = int(plan.seconds * 4 + plan.recovery_seconds + 60)  # ends by itself if forgotten
        command = plan.start(start) + [
            plan.fio, "--name=job", f"--filename={file}", "--rw=read", "--bs=1M",
            "--time_based", f"--runtime={limit}", "--output-format=terse"] + KINDS[kind]
        self.process = subprocess.Popen(
            entering(plan.mount / "job") + command, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=without_bus())
        self.stop = threading.Event()
        self.dropper = None
        if kind == "buffered":
            self.dropper = threading.Thread(target=self.drop, args=(file,), daemon=True)
            self.dropper.start()

    def drop(self, file):
        fd = os.open(file, os.O_RDONLY)
        try:
            while not self.stop.wait(0.1):
                os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)

    def read(self):
        return bytes_read([self.process.pid])

    def running(self, amount=32 * MIB, timeout=15.0):
        """Waits until the job has read a good stretch: its start (at idle
        priority, where it is started so) is not measured."""
        deadline = time.monotonic() + timeout
        while self.read() < amount and time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the job {self.process.args} ended at once")
            time.sleep(0.02)

    def end(self):
        """The job's processes first, deepest first, then the wrapper (if
        any) is given a moment to end by itself and tidy its group."""
        self.stop.set()
        for pid in reversed(descendants(self.process.pid)):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            self.process.wait(3)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.dropper is not None:
            self.dropper.join()


class Run:
    def __init__(self, plan):
        self.plan = plan
        self.disk = Disk(plan.node)
        self.classes = {}

    def foreground(self, seconds):
        """The foreground's fio command: 4 KiB random reads, direct, one at a
        time and synchronous, from its own group."""
        return entering(self.plan.mount / "foreground") + [
            self.plan.fio, "--name=foreground", f"--filename={self.plan.files['foreground']}",
            "--rw=randread", "--bs=4k", "--direct=1", "--ioengine=psync", "--time_based",
            f"--runtime={round(seconds * 1000)}ms", "--output-format=json"]

    def iops(self):
        result = subprocess.run(self.foreground(self.plan.seconds), stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, check=True)
        text = result.stdout.decode()
        read = json.loads(text[text.index("{"):])["jobs"][0]["read"]
        return read["iops"], read["io_bytes"]

    def job(self, kind, start, file="job"):
        job = Job(self.plan, kind, start, self.plan.files[file])
        try:
            job.running()
            below = descendants(job.process.pid)
            self.classes.setdefault(start, io_class_of(below[-1] if below else job.process.pid))
        except BaseException:
            job.end()
            raise
        return job

    # ------------------------------------------------------------ samples

    def sample(self, what):
        """One sample of `what` (figure, scheduler, kind, start), taken
        again (up to twice) when others moved more over the disk than the
        plan allows meanwhile."""
        for attempt in range(3):
            self.disk.use(what[1])
            value = getattr(self, what[0])(what[2], what[3])
            value["attempt"] = attempt
            if value["others_mib_s"] <= self.plan.others_mib_s:
                break
            say(f"  {'/'.join(str(part) for part in what if part)}: others moved "
                f"{value['others_mib_s']:.0f} MiB/s, again")
        return value

    def alone(self, _kind, _start):
        """The foreground's IOPS with no job."""
        window = Window(self.disk, [])
        iops, moved = self.iops()
        return {"iops": iops, **window.close(moved)}

    def stream(self, kind, start):
        """One job's life, once it has run as long as a job that has been
        running a while (the wrapper's watch starts only once it has seen
        the job's I/O on one of its ticks): its rate with no foreground,
        the foreground's IOPS beside it and the job's rate meanwhile, and,
        its reads sampled every 50 ms after the foreground stops, how soon
        it is back at 90 % of its rate before. The foreground runs alone
        just before the job starts and just after it ends: a shared disk's
        rate drifts by a fifth within seconds, so each sample is set against
        the foreground's rate alone around it."""
        before = self.alone(kind, start)
        found = self.job_life(kind, start)
        after = self.alone(kind, start)
        found["beside"]["alone_iops"] = (before["iops"] + after["iops"]) / 2
        found["others_mib_s"] = max(found["others_mib_s"], before["others_mib_s"],
                                    after["others_mib_s"])
        return found

    def job_life(self, kind, start):
        job = self.job(kind, start)
        try:
            time.sleep(self.plan.warmup_seconds)
            window = Window(self.disk, [job])
            time.sleep(self.plan.seconds)
            solo = {**window.close(), **window.cost(start)}
            window = Window(self.disk, [job])
            iops, moved = self.iops()
            beside = {"iops": iops, **window.close(moved), **window.cost(start)}
            stopped, trace = time.monotonic(), []
            while time.monotonic() - stopped < self.plan.recovery_seconds:
                trace.append((time.monotonic() - stopped, job.read()))
                time.sleep(0.05)
            base = solo["jobs_mib_s"][0]
            return {"solo": {"job_mib_s": base, **solo},
                    "beside": {"job_mib_s": beside["jobs_mib_s"][0], **beside},
                    "recovery": {"base_mib_s": base, "back_s": back_after(trace, base)},
                    "others_mib_s": max(solo["others_mib_s"], beside["others_mib_s"])}
        finally:
            job.end()

    def two(self, kind, start):
        """Two jobs under the same wrapper side by side, no foreground, each
        run a while first: each one's rate, and the first one's just before
        the second started, as the rate of one alone under the same load of
        the machine."""
        jobs = []
        try:
            jobs.append(self.job(kind, start))
            time.sleep(max(self.plan.warmup_seconds - self.plan.seconds / 2, 0))
            window = Window(self.disk, jobs)
            time.sleep(self.plan.seconds / 2)
            alone = window.close()["jobs_mib_s"][0]
            jobs.append(self.job(kind, start, "job2"))
            time.sleep(self.plan.warmup_seconds)
            window = Window(self.disk, jobs)
            time.sleep(self.plan.seconds)
            return {"alone_mib_s": alone, **window.close()}
        finally:
            for job in jobs:
                job.end()


class Window:
    """What the jobs read, and what the disk moved, from its start to its
    close: the disk's traffic that was not the figure's is someone else's."""

    def __init__(self, disk, jobs):
        self.disk, self.jobs = disk, jobs
        self.traffic, self.read = disk.traffic(), [job.read() for job in jobs]
        self.cpu = [(cpu_ticks(job.process.pid),
                     process_counters(job.process.pid).get("exec_ms", 0.0)) for job in jobs]
        self.busy = cpu_totals()
        self.started = time.monotonic()

    def close(self, foreground=0):
        """The jobs' rates and others' (MiB/s), `foreground` being what the
        foreground read meanwhile."""
        seconds = time.monotonic() - self.started
        read = [job.read() - before for job, before in zip(self.jobs, self.read)]
        others = self.disk.traffic() - self.traffic - sum(read) - foreground
        (total, idle), (total0, idle0) = cpu_totals(), self.busy
        return {"seconds": seconds, "jobs_mib_s": [r / MIB / seconds for r in read],
                "others_mib_s": max(others, 0) / MIB / seconds,
                "busy_pct": 100 * (1 - (idle - idle0) / max(total - total0, 1))}

    def cost(self, start):
        """A wrapper's processor time over the window (a peer's is not the
        figure's business)."""
        if start in PEERS:
            return {}
        pid = self.jobs[0].process.pid
        ticks, exec_ms = self.cpu[0]
        return {"cpu_s": cpu_ticks(pid) - ticks,
                "exec_ms": process_counters(pid).get("exec_ms", 0.0) - exec_ms}


def back_after(trace, base):
    """The end of the first 100 ms stretch after the foreground stopped in
    which the job read at 90 % or more of its rate before; None if none."""
    for i in range(2, len(trace)):
        (t0, b0), (t1, b1) = trace[i - 2], trace[i]
        if (b1 - b0) / MIB / (t1 - t0) >= 0.9 * base:
            return t1
    return None


class IdleWrappers:
    """A wrapper per build watching a sleeping child for as long as the
    figure runs: its wake-ups while the disk is busy with others' reads but
    its own job does no I/O."""

    def __init__(self, plan):
        self.processes = {
            label: subprocess.Popen(entering(plan.mount / "job") + [path, "sleep", "100000"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    env=without_bus())
            for label, path in plan.wrappers.items()}
        time.sleep(0.5)  # past the start
        self.before = {label: process_counters(p.pid) for label, p in self.processes.items()}
        self.started = time.monotonic()

    def finish(self):
        seconds = time.monotonic() - self.started
        rows = {}
        for label, process in self.processes.items():
            after, before = process_counters(process.pid), self.before[label]
            rows[label] = {
                "seconds": seconds,
                "wakeups_per_minute": 60 * (after["voluntary_ctxt_switches"]
                                            - before["voluntary_ctxt_switches"]) / seconds,
                "exec_ms_per_minute": 60 * (after.get("exec_ms", 0.0)
                                            - before.get("exec_ms", 0.0)) / seconds}
        return rows

    def end(self):
        for process in self.processes.values():
            for pid in descendants(process.pid):
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                process.wait(3)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


def variants(plan):
    """Every sample of a round: (figure, scheduler, kind, start)."""
    found = []
    for scheduler in plan.schedulers:
        found.append(("alone", scheduler, None, "alone"))
        for kind in plan.kinds:
            found += [("stream", scheduler, kind, start)
                      for start in list(PEERS) + list(plan.wrappers)]
            found += [("two", scheduler, kind, label) for label in plan.wrappers]
    return found


def record(samples, what, value):
    """A sample under its key, "figure|scheduler|kind|start"; a job's life
    as the three samples it holds (beside, solo, recovery)."""
    parts = [str(part) for part in what[1:]]
    if what[0] == "stream":
        for figure in ("beside", "solo", "recovery"):
            samples.setdefault("|".join([figure] + parts), []).append(
                {**value[figure], "attempt": value["attempt"]})
    else:
        figure = "beside" if what[0] == "alone" else what[0]
        samples.setdefault("|".join([figure] + parts), []).append(value)


def run(plan):
    """Every round; the samples by variant, joined by "|"."""
    run, samples = Run(plan), {}
    idle = IdleWrappers(plan)
    try:
        for number in range(plan.rounds):
            order = variants(plan)
            random.Random(number).shuffle(order)
            for what in order:
                record(samples, what, run.sample(what))
            say(f"  disk round {number + 1}/{plan.rounds} done")
        return {"samples": samples, "classes": run.classes, "idle": idle.finish()}
    finally:
        idle.end()
        run.disk.use(plan.original)


def interrupted(_signal_number, _frame):
    """The first interruption ends the run; later ones (a second Ctrl-C, the
    outer process passing one on) must not cut short putting the disk's
    scheduler back and ending the jobs."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise KeyboardInterrupt


def inside():
    """The entry inside the namespaces."""
    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    plan_values = json.loads(sys.stdin.read())
    mount = NamespacedGroup.settle(Path(plan_values["mount"]), GROUPS)
    plan = Plan(plan_values, mount)
    try:
        result = run(plan)
    except KeyboardInterrupt:
        return 130
    json.dump(result, sys.stdout)
    return 0
