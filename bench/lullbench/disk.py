"""8. Disk: a foreground's 4 KiB random reads beside a streaming reader of
the same file, the reader started plainly, under `ionice -c3` and under
lullrun. Target: the foreground keeps at least the IOPS it keeps beside
`ionice -c3`'s reader."""

import json
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

from .groups import without_bus
from .harness import (LULLRUN, descendants, end_tree, io_class_of, median, shuffled_rounds,
                      spread, tool)
from .report import Section, Summary, Target, table, verdict

NUMBER = 8
KEY = "disk"
TITLE = "8. Disk: a foreground's random reads beside a streaming reader"
TARGET = "disk, lullrun: foreground IOPS ≥ those beside `ionice -c3`"


def disk_scheduler(path):
    """The I/O scheduler of the disk that holds `path`, as the kernel names it."""
    device = os.stat(path).st_dev
    node = Path(f"/sys/dev/block/{os.major(device)}:{os.minor(device)}")
    try:
        node = node.resolve()
        if (node / "partition").exists():
            node = node.parent
        text = (node / "queue" / "scheduler").read_text()
    except OSError:
        return f"unknown (no block device behind {path})"
    chosen = re.search(r"\[(.+?)\]", text)
    return f"{chosen.group(1) if chosen else text.strip()} on {node.name}"


def fio_engine(fio):
    engines = subprocess.run([fio, "--enghelp"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL).stdout.decode().split()
    return "libaio" if "libaio" in engines else "psync"


def bytes_read(pid):
    """What `pid` and everything below it have read from storage so far."""
    total = 0
    for each in [pid] + descendants(pid):
        try:
            for line in Path(f"/proc/{each}/io").read_text().splitlines():
                if line.startswith("read_bytes:"):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


def measure(settings, folder):
    """A foreground of 4 KiB random reads (one at a time, direct, as an
    interactive program's) beside a streaming reader (1 MiB reads, direct,
    many in flight), both on one file on the disk of the build folder."""
    fio = shutil.which("fio")
    if fio is None:
        return {"skipped": "skipped (needs fio)"}
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        return {"skipped": f"skipped (no folder for fio's file: {error.strerror})"}
    data = folder / "data"
    layout = subprocess.run(
        [fio, "--name=layout", f"--filename={data}", f"--size={settings.disk_file_mb}M",
         "--rw=write", "--bs=1M", "--direct=1", "--output-format=terse"],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if layout.returncode != 0:
        return {"skipped": "skipped (fio could not write a file with direct I/O in "
                f"{folder}: {layout.stderr.decode().strip().splitlines()[-1:]})"}
    scheduler = disk_scheduler(data)
    engine = fio_engine(fio)
    # The streaming reader ends by itself even if the benchmark does not end it.
    limit = int(settings.disk_seconds * 4 + 60)
    stream = [fio, "--name=stream", f"--filename={data}", "--rw=read", "--bs=1M", "--direct=1",
              f"--ioengine={engine}", "--iodepth=16", "--time_based", f"--runtime={limit}",
              "--output-format=terse"]
    variants = [
        ("none (foreground alone)", None, False),
        ("plainly", stream, False),
        ("ionice -c3", [tool("ionice"), "-c3"] + stream, False),
        ("lullrun", [str(LULLRUN)] + stream, True),
    ]
    classes = {}
    samples = shuffled_rounds(
        settings.disk_rounds, variants,
        lambda variant: one_sample(settings, fio, data, variant[1], classes, variant[0]), "disk")
    iops = {name: [foreground for foreground, _ in values] for name, values in samples.items()}
    readers = {name: [reader for _, reader in values] for name, values in samples.items()}
    alone = median(iops["none (foreground alone)"])
    rows = [{"name": name, **spread(values), "kept": 100.0 * median(values) / alone,
             "io_class": classes.get(name, ""), "reader_mib_s": median(readers[name])}
            for name, values in iops.items()]
    return {"scheduler": scheduler, "engine": engine, "file_mb": settings.disk_file_mb,
            "seconds": settings.disk_seconds, "rounds": settings.disk_rounds, "rows": rows}


def one_sample(settings, fio, data, command, classes, name):
    """The foreground's IOPS over one short run, the streaming reader (if
    any) started first and reading at full speed; and what the reader read
    meanwhile, in MiB/s: a reader kept from the processor reads nothing, and
    then the figure says nothing about the disk."""
    job = None
    try:
        if command is not None:
            job = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, env=without_bus())
            # Running once it has read a good stretch: the reader's own
            # start (at idle priority, when it is wrapped) is not measured.
            deadline = time.monotonic() + 15
            while bytes_read(job.pid) < 64 * 2**20 and time.monotonic() < deadline:
                if job.poll() is not None:
                    raise RuntimeError(f"the streaming reader {command} ended at once")
                time.sleep(0.02)
            below = descendants(job.pid)
            classes.setdefault(name, io_class_of(below[-1] if below else job.pid))
            before, started = bytes_read(job.pid), time.monotonic()
        result = subprocess.run(
            [fio, "--name=foreground", f"--filename={data}", "--rw=randread", "--bs=4k",
             "--direct=1", "--ioengine=psync", "--time_based",
             f"--runtime={round(settings.disk_seconds * 1000)}ms", "--output-format=json"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
        reader = 0.0
        if job is not None:
            reader = (bytes_read(job.pid) - before) / 2**20 / (time.monotonic() - started)
        text = result.stdout.decode()
        return json.loads(text[text.index("{"):])["jobs"][0]["read"]["iops"], reader
    finally:
        if job is not None:
            end_tree(job)



def section(disk, settings, machine):
    if "skipped" in disk:
        return Section(TITLE, [f"{disk['skipped'].capitalize()}."], [Target(TARGET, "—", None)])
    text = ("The foreground reads 4 KiB blocks at random places in a "
            f"{disk['file_mb']} MiB file, one at a time with direct I/O (fio, psync, "
            f"{disk['seconds']:g} s a run), as an interactive program waits on its reads; the "
            "streaming reader reads the same file in 1 MiB blocks, 16 in flight, also direct "
            f"(fio, {disk['engine']}), started first and reading at full speed. Disk scheduler: "
            f"**{disk['scheduler']}** (of Linux's schedulers only bfq and mq-deadline act on "
            f"I/O classes). Median of {disk['rounds']} interleaved rounds; the reader's "
            "throughput while the foreground ran shows whether it was reading at all (a reader "
            "at idle CPU priority on a busy machine may not be, and then the row says little "
            "about the disk).")
    rows = {row["name"]: row for row in disk["rows"]}
    own, peer_row = rows["lullrun"], rows["ionice -c3"]
    peer = peer_row["median"]
    targets, lines = [], []
    for row in disk["rows"]:
        target = ""
        if row["name"] == "lullrun":
            met = row["median"] >= peer
            targets.append(Target(
                TARGET, f"{row['median']:,.0f} against {peer:,.0f}", met,
                f"Disk: the foreground kept {own['median']:,.0f} IOPS beside `lullrun`'s reader "
                f"({own['low']:,.0f}–{own['high']:,.0f}) against {peer_row['median']:,.0f} "
                f"beside `ionice -c3`'s ({peer_row['low']:,.0f}–{peer_row['high']:,.0f}); "
                f"`lullrun`'s reader had the I/O class \"{own['io_class']}\"."))
            target = f"≥ `ionice -c3`: {verdict(met)}"
        reader = "—" if row["name"].startswith("none") else \
            f"{row.get('reader_mib_s', float('nan')):,.0f} MiB/s"
        lines.append([row["name"], f"{row['median']:,.0f}",
                      f"{row['low']:,.0f}–{row['high']:,.0f}", f"{row['kept']:.1f} %",
                      f"× {row['median'] / peer:.2f}", row["io_class"] or "—", reader, target])
    remarks = []
    own_reader, peer_reader = own.get("reader_mib_s", 0), peer_row.get("reader_mib_s", 0)
    if own_reader < 0.1 * peer_reader:
        remarks.append(
            f"Disk: `lullrun`'s reader read {own_reader:,.0f} MiB/s while the foreground ran, "
            f"against {peer_reader:,.0f} MiB/s under `ionice -c3`: at idle CPU priority it "
            "was kept from the processor by the machine's other work, so its row says little "
            "about the disk.")
    return Section(TITLE, [text, table(
        ["streaming reader started", "foreground IOPS", "spread", "of its IOPS alone",
         "vs `ionice -c3`", "reader's I/O class (`ionice -p`)", "reader meanwhile", "target"],
        "lrrrrlrl", lines)], targets, remarks)


def summary(disk):
    label = "8. foreground 4 KiB random reads beside a streaming reader, IOPS (median"
    rule = "≥ `ionice -c3`'s"
    if "skipped" in disk:
        return Summary(label + ")", disk["skipped"], "—", "≥ those beside `ionice -c3`")
    rows = {row["name"]: row for row in disk["rows"]}
    own, peer, plain = rows["lullrun"], rows["ionice -c3"], rows["plainly"]
    return Summary(
        f"{label}; {disk['scheduler']})", f"{own['median']:,.0f} ({own['kept']:.1f} % of alone)",
        f"alone {rows['none (foreground alone)']['median']:,.0f}, plainly "
        f"{plain['median']:,.0f} ({plain['kept']:.1f} %), `ionice -c3` {peer['median']:,.0f} "
        f"({peer['kept']:.1f} %)", rule)
