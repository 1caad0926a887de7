"""8. Disk, as runs saved before the figure grew measured it: one disk
scheduler, a streaming reader with many reads in flight, started plainly,
under `ionice -c3` and under lullrun, and the target "at least what `ionice
-c3` keeps". Their data holds "rows" and no "schedulers"; this renders it as
it was rendered then."""

from .report import Section, Summary, Target, table, verdict

TITLE = "8. Disk: a foreground's random reads beside a streaming reader"
TARGET = "disk, lullrun: foreground IOPS ≥ those beside `ionice -c3`"


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
