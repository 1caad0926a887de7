"""12. The network: a job's transfer beside the user's own traffic at a home
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
import time
from pathlib import Path

from .harness import BUILD, LULLRUN, median, quantile, say, tool
from .report import Section, Summary, Target, table

NUMBER = 12
KEY = "network"
TRAFFIC = Path(__file__).resolve().parent / "net_traffic.py"
DELAY = BUILD / "bench" / "lull_delay"
RATE_MBIT = 20
PORT = 5301
LINK_SECONDS = 3600   # the most any helper of the figure lives
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
    job = subprocess.Popen(bed.inside("job", wrapper + [
        sys.executable, str(TRAFFIC), "bulk", direction, "10.71.9.2", str(PORT),
        str(phases.total), str(job_log)] + options), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        started = time.monotonic()
        time.sleep(phases.warm + phases.alone)
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
