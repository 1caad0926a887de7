"""13. The network: a job's transfer beside the user's own traffic at a home
router's bottleneck, in network namespaces made for the figure and removed
after it: the user's and the job's namespaces, a router, and a server
behind a 20 Mbit/s link each way with a 200 ms tail-drop buffer (tbf) and
a 30 ms base round trip (a delay line of 15 ms each way, bench/lull_delay,
where the kernel has no netem). Each job uploads, then downloads; while it
runs, the figure takes its rate alone (its share of the idle link), the
user's round trip (UDP probes every 50 ms), and the user's own transfer in
the same direction. Peers, in the same run: the job plain, under nice and
ionice, marking its own packets DSCP CS1 (a FIFO ignores marks), capped at
10 Mbit/s, and under lullrun. Needs root.

Targets (lullrun): the user's median round trip within 10 ms of alone, the
user's transfer at least 90 % of alone, the job at least 80 % of the idle
link, uploading and downloading alike."""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from .harness import BUILD, LULLRUN, median, quantile, say, tool
from .report import Section, Summary, Target, table

NUMBER = 13
KEY = "network"
TRAFFIC = Path(__file__).resolve().parent / "net_traffic.py"
DELAY = BUILD / "bench" / "lull_delay"
RATE_MBIT = 20
PORT = 5301
LINK_SECONDS = 3600   # the most any helper of the figure lives
JOB_START_SECONDS = 30
JOB_BUFFER_KIB = 4096
DIRECTIONS = ("up", "down")
PEERS = {
    "plain": ([], []),
    "nice 19": (["nice", "-n", "19"], []),
    "ionice idle": (["ionice", "-c", "3"], []),
    "marked CS1 only": ([], ["--tos", "32"]),
    "capped 10 Mbit/s": ([], ["--cap-mbit", "10"]),
    "lullrun": (None, []),
}


def run(command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


class Testbed:
    """The namespaces and the links between them; everything it makes goes
    in close(), however the figure ends."""

    def __init__(self):
        tag = f"lbn{os.getpid() % 100000}"
        self.names = {role: f"{tag}{role}" for role in ("user", "job", "home", "isp", "server")}
        self.helpers = []

    def inside(self, role, command):
        return [tool("nsenter"), f"--net=/run/netns/{self.names[role]}"] + command

    def ip(self, role, *words):
        run(["ip", "-n", self.names[role]] + list(words))

    def link(self, near, far):
        """A veth pair from one namespace to another, each end (role, device,
        address) up with its address."""
        run(["ip", "-n", self.names[near[0]], "link", "add", near[1], "type", "veth", "peer",
             "name", far[1], "netns", self.names[far[0]]])
        for role, device, address in (near, far):
            self.ip(role, "addr", "add", address, "dev", device)
            self.ip(role, "link", "set", device, "up")

    def open(self):
        for role, name in self.names.items():
            run(["ip", "netns", "add", name])
            run(["ip", "-n", name, "link", "set", "lo", "up"])
        for role in ("home", "isp"):
            run(self.inside(role, ["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"]))
        # The user's and the job's machines behind the home router.
        for index, role in ((1, "user"), (2, "job")):
            self.link(("home", f"h{index}", f"10.71.{index}.1/24"),
                      (role, f"e{index}", f"10.71.{index}.2/24"))
            self.ip(role, "route", "add", "default", "via", f"10.71.{index}.1")
        # The home router's line to the provider: the bottleneck, 20 Mbit/s
        # each way with a buffer of 200 ms at that rate, in a router, not in
        # the sending host, where the kernel's small-queue limit would keep
        # the sender's own queue short.
        self.link(("home", "up0", "10.71.8.1/24"), ("isp", "down0", "10.71.8.2/24"))
        for role, device in (("home", "up0"), ("isp", "down0")):
            run(["tc", "-n", self.names[role], "qdisc", "replace", "dev", device, "root", "tbf",
                 "rate", f"{RATE_MBIT}mbit", "burst", "4kb", "latency", "200ms"])
        self.ip("home", "route", "add", "default", "via", "10.71.8.2")
        self.ip("isp", "route", "add", "10.71.0.0/20", "via", "10.71.8.1")
        # The provider to the server: 15 ms each way through the delay line.
        delay = subprocess.Popen(self.inside("isp", [str(DELAY), "dA", "dB", "15",
                                                     str(LINK_SECONDS)]),
                                 stdout=subprocess.PIPE, text=True)
        self.helpers.append(delay)
        if delay.stdout.readline().strip() != "ready":
            raise RuntimeError("the delay line did not start")
        self.ip("isp", "link", "set", "dB", "netns", self.names["server"])
        for role, device, near, far in (("isp", "dA", "10.71.9.1", "10.71.9.2"),
                                        ("server", "dB", "10.71.9.2", "10.71.9.1")):
            self.ip(role, "addr", "add", near, "peer", far, "dev", device)
            self.ip(role, "link", "set", device, "up")
        self.ip("server", "route", "add", "10.71.0.0/16", "dev", "dB")
        server = subprocess.Popen(self.inside("server", [sys.executable, str(TRAFFIC), "serve",
                                                         str(PORT), str(LINK_SECONDS)]),
                                  stdout=subprocess.PIPE, text=True)
        self.helpers.append(server)
        if server.stdout.readline().strip() != "ready":
            raise RuntimeError("the server did not start")
        return self

    def close(self):
        for helper in self.helpers:
            helper.terminate()
            try:
                helper.wait(5)
            except subprocess.TimeoutExpired:
                helper.kill()
                helper.wait()
        for name in self.names.values():
            subprocess.run(["ip", "netns", "del", name], stderr=subprocess.DEVNULL, check=False)


def rate_mbit(log, start, end):
    """The rate of a transfer's log ("time bytes" lines) between two times."""
    points = [tuple(map(float, line.split())) for line in Path(log).read_text().splitlines()]
    inside = [(t, b) for t, b in points if start <= t <= end]
    if len(inside) < 2:
        return 0.0
    (t0, b0), (t1, b1) = inside[0], inside[-1]
    return (b1 - b0) * 8 / 1e6 / (t1 - t0) if t1 > t0 else 0.0


def first_line(log, seconds):
    """When a transfer's log first showed bytes moved (the job began: an idle
    job on a busy machine may wait for the processor), or None."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if log.exists():
            for line in log.read_text().splitlines():
                fields = line.split()
                if len(fields) == 2 and int(fields[1]) > 0:
                    return float(fields[0])
        time.sleep(0.1)
    return None


def round_trips(log):
    return [float(line.split()[1]) for line in Path(log).read_text().splitlines()]


class Phases:
    """The lengths, in seconds, of one job's life: warming up, alone, beside
    the user's probes, beside the user's transfer."""

    def __init__(self, quick):
        self.warm, self.alone, self.probes, self.transfer = (
            (2, 3, 4, 4) if quick else (3, 6, 8, 8))

    @property
    def total(self):
        return self.warm + self.alone + self.probes + self.transfer + 1


def user_side(bed, direction, phases, scratch, label):
    """The user's probes, then the user's transfer; their logs."""
    probes = scratch / f"{label}-{direction}-probes"
    transfer = scratch / f"{label}-{direction}-transfer"
    subprocess.run(bed.inside("user", [sys.executable, str(TRAFFIC), "ping", "10.71.9.2",
                                       str(PORT), str(phases.probes), str(probes)]),
                   check=True, timeout=phases.probes + 30)
    subprocess.run(bed.inside("user", [sys.executable, str(TRAFFIC), "bulk", direction,
                                       "10.71.9.2", str(PORT), str(phases.transfer),
                                       str(transfer)]),
                   check=True, timeout=phases.transfer + 30)
    return probes, transfer


def alone(bed, direction, phases, scratch):
    probes, transfer = user_side(bed, direction, phases, scratch, "alone")
    rtts = round_trips(probes)
    settle = phases.transfer / 4
    points = Path(transfer).read_text().splitlines()
    first = float(points[0].split()[0])
    return {"rtt_median": median(rtts), "rtt_p95": quantile(rtts, 0.95),
            "user_mbit": rate_mbit(transfer, first + settle, first + phases.transfer)}


def beside_job(bed, direction, phases, scratch, name):
    prefix, options = PEERS[name]
    wrapper = [str(LULLRUN)] if prefix is None else prefix
    job_log = scratch / f"{name.split()[0]}-{direction}-job"
    job_log.unlink(missing_ok=True)  # the last round's: its first line is not this job's
    # Every job keeps 4 MiB of buffers each way, as a backup or download tool
    # does: a job at idle priority on a busy machine may wait for the
    # processor, and the link should not run dry while it waits.
    job = subprocess.Popen(bed.inside("job", wrapper + [
        sys.executable, str(TRAFFIC), "bulk", direction, "10.71.9.2", str(PORT),
        str(phases.total), str(job_log), "--buffer-kib", str(JOB_BUFFER_KIB)] + options),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        started = first_line(job_log, JOB_START_SECONDS)
        if started is None:
            return {"skipped": f"the job did not start within {JOB_START_SECONDS} s"}
        time.sleep(max(0.0, started + phases.warm + phases.alone - time.monotonic()))
        alone_end = time.monotonic()
        probes, transfer = user_side(bed, direction, phases, scratch, name.split()[0])
        job.wait(timeout=phases.total + 30)
    finally:
        if job.poll() is None:
            job.kill()
            job.wait()
    rtts = round_trips(probes)
    points = Path(transfer).read_text().splitlines()
    first = float(points[0].split()[0])
    return {"rtt_median": median(rtts), "rtt_p95": quantile(rtts, 0.95),
            "user_mbit": rate_mbit(transfer, first + phases.transfer / 4,
                                   first + phases.transfer),
            "job_idle_mbit": rate_mbit(job_log, started + phases.warm, alone_end)}


def measure(settings):
    if os.geteuid() != 0:
        return {"skipped": "needs root (network namespaces)"}
    if not DELAY.exists():
        return {"skipped": f"no delay line at {DELAY}"}
    phases = Phases(settings.quick)
    rounds = settings.network_rounds
    data = {"rounds": rounds, "phases": vars(phases), "alone": {}, "jobs": {}}
    bed = Testbed()
    try:
        bed.open()
        with tempfile.TemporaryDirectory(prefix="lullbench-net.") as name:
            scratch = Path(name)
            for round_number in range(rounds):
                for direction in DIRECTIONS:
                    say(f"network: round {round_number + 1}, the job {direction}loading")
                    data["alone"].setdefault(direction, []).append(
                        alone(bed, direction, phases, scratch))
                    # The peers in a new order each round.
                    names = list(PEERS)
                    names = names[round_number % len(names):] + names[:round_number % len(names)]
                    for peer in names:
                        data["jobs"].setdefault(direction, {}).setdefault(peer, []).append(
                            beside_job(bed, direction, phases, scratch, peer))
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        return {"skipped": f"the testbed failed: {error}"}
    finally:
        bed.close()
    return data


TITLE = "12. The network: the user's round trip and transfer beside a job's upload or download"
TARGETS = {"rtt": "the user's median round trip within 10 ms of alone",
           "user": "the user's transfer ≥ 90 % of alone",
           "job": "the job ≥ 80 % of the idle link"}


def middle(samples, key):
    values = [sample[key] for sample in samples if key in sample]
    return median(values) if values else None


def judged(data, direction):
    """lullrun's three figures in `direction`, and whether each is met."""
    alone_samples = data["alone"][direction]
    ours = data["jobs"][direction]["lullrun"]
    rtt_alone, user_alone = middle(alone_samples, "rtt_median"), middle(alone_samples, "user_mbit")
    rtt, user, job = (middle(ours, "rtt_median"), middle(ours, "user_mbit"),
                      middle(ours, "job_idle_mbit"))
    return {"rtt": (rtt, rtt is not None and rtt <= rtt_alone + 10),
            "user": (user, user is not None and user >= 0.9 * user_alone),
            "job": (job, job is not None and job >= 0.8 * RATE_MBIT)}


def section(data, settings, machine):
    if "skipped" in data:
        return Section(TITLE, [f"{data['skipped'].capitalize()}."],
                       [Target(name, "—", None) for name in TARGETS.values()])
    phases = data["phases"]
    text = (f"Namespaces of the figure's own: the user's and the job's machines behind a home "
            f"router whose line is {RATE_MBIT} Mbit/s each way with a 200 ms tail-drop buffer "
            "(tbf), and a server 30 ms away (a delay line of 15 ms each way). Every TCP sender "
            "but lullrun's is cubic. Each job runs "
            f"{phases['warm']} s, then alone {phases['alone']} s (its rate: the share of the idle "
            f"link), then beside the user's UDP probes every 50 ms for {phases['probes']} s "
            f"(round trip), then beside the user's own transfer in the same direction for "
            f"{phases['transfer']} s (its rate over the last three quarters, against the same "
            f"transfer alone). Medians of {data['rounds']} rounds, the peers interleaved. The "
            "job's rate is timed from its first byte: an idle job on a busy machine may wait "
            "for the processor before it starts; every job keeps 4 MiB of socket buffers each "
            "way, as a backup or download tool does, so that the link does not run dry while "
            "it waits.")
    blocks, targets = [text], []
    for direction in DIRECTIONS:
        alone_samples = data["alone"][direction]
        rows = [["none (the user alone)",
                 f"{middle(alone_samples, 'rtt_median'):.0f} / "
                 f"{middle(alone_samples, 'rtt_p95'):.0f} ms",
                 f"{middle(alone_samples, 'user_mbit'):.1f} Mbit/s (100 %)", "—"]]
        user_alone = middle(alone_samples, "user_mbit")
        for peer, samples in data["jobs"][direction].items():
            if middle(samples, "rtt_median") is None:
                rows.append([peer, "skipped", samples[0].get("skipped", ""), "—"])
                continue
            user = middle(samples, "user_mbit")
            rows.append([peer, f"{middle(samples, 'rtt_median'):.0f} / "
                               f"{middle(samples, 'rtt_p95'):.0f} ms",
                         f"{user:.1f} Mbit/s ({100 * user / user_alone:.0f} %)",
                         f"{middle(samples, 'job_idle_mbit'):.1f} Mbit/s"])
        blocks.append(f"The job {direction}loading:")
        blocks.append(table(["the job", "user's round trip (median / p95)",
                             "user's transfer (share of alone)", "job alone on the link"],
                            "lrrr", rows))
        for key, (value, met) in judged(data, direction).items():
            shown = (f"{value:.1f} Mbit/s" if key != "rtt" else f"{value:.0f} ms") \
                if value is not None else "—"
            targets.append(Target(f"Network, the job {direction}loading: {TARGETS[key]}", shown,
                                  met if value is not None else None,
                                  f"Network, {direction}load: {TARGETS[key]} missed ({shown})."))
    return Section(TITLE, blocks, targets)


def summary(data):
    label = "12. beside a job's upload / download: the user's round trip, the user's transfer, " \
            "the job alone"
    if "skipped" in data:
        return Summary(label, data["skipped"], "—", "+10 ms, ≥ 90 %, ≥ 80 %")
    ours, peers = [], []
    for direction in DIRECTIONS:
        got = judged(data, direction)
        user_alone = middle(data["alone"][direction], "user_mbit")
        ours.append(f"{direction}: {got['rtt'][0]:.0f} ms, "
                    f"{100 * got['user'][0] / user_alone:.0f} %, {got['job'][0]:.1f} Mbit/s")
        plain = data["jobs"][direction]["plain"]
        peers.append(f"plain {direction}: {middle(plain, 'rtt_median'):.0f} ms, "
                     f"{100 * middle(plain, 'user_mbit') / user_alone:.0f} %")
    return Summary(label, "; ".join(ours), "; ".join(peers), "+10 ms, ≥ 90 %, ≥ 80 %")
