"""7. Interference between control groups: as 1., but with the foreground in
a cpu control group of its own and the hog started from a sibling group, as
where every application and terminal runs in a scope of its own; lullrun
with no manager on any bus, and with the stand-in manager. Target: lullrun's
foreground keeps at least 95 %."""

from . import interference
from .groups import entering, without_bus
from .harness import CORES, HELPER, LULLRUN, shuffled_rounds, spread, tool
from .report import Section, Summary, Target

NUMBER = 7
KEY = "group_interference"
MANAGED = "lullrun, the stand-in manager on the bus"


def measure(settings, tree, standin, standin_reason):
    foreground_group, job_group = tree.make("foreground"), tree.make("job")
    hog_threads = 2 * CORES
    turns = settings.group_turns
    limit = str(int((2 * turns + 1) * (settings.phase_seconds + 1) + 60))
    spin = [str(HELPER), "spin", str(hog_threads), limit]
    job, plain = entering(job_group), without_bus()
    variants = [
        ("none (foreground alone)", None, False, plain),
        ("plainly", job + spin, False, plain),
        ("nice -n 19", job + [tool("nice"), "-n", "19"] + spin, False, plain),
        ("chrt --idle 0", job + [tool("chrt"), "--idle", "0"] + spin, False, plain),
        ("lullrun, no manager on the bus", job + [str(LULLRUN)] + spin, True, plain),
    ]
    if standin is not None:
        variants.append((MANAGED, entering(job_group, manager=standin) + [str(LULLRUN)] + spin,
                         True, standin.env()))
    seen = {}

    def describe(pid):
        tree.note_group(pid)
        return tree.describe(pid)

    def sample(variant):
        name, command, wrapped, env = variant
        return interference.one_sample(
            settings, command, wrapped, seen, name, turns=turns,
            foreground_prefix=entering(foreground_group), env=env, describe=describe)

    shares = shuffled_rounds(settings.group_rounds, variants, sample,
                             "interference between groups,")
    rows = [{"name": name, **spread(shares[name]), "scheduling": seen.get(name, "")}
            for name, _, _, _ in variants]
    if standin is None:
        rows.append({"name": MANAGED, "skipped": standin_reason})
    # Each wrapper removes its child's group once the child has gone, unless
    # another wrapper's child still runs there.
    left = [tree.shown(group) for group in tree.visited if group.exists()]
    return {"hog_threads": hog_threads, "turns": turns, "rounds": settings.group_rounds,
            "left_behind": left,
            "tree": f"{tree.root} (v{tree.version})",
            "foreground_group": tree.shown(foreground_group), "job_group": tree.shown(job_group),
            "rows": rows}


def section(groups, settings, machine):
    title = ("7. Interference between control groups: the foreground in a group of its own, the "
             "hog started from a sibling group")
    if "skipped" in groups:
        return Section(title, [f"{groups['skipped'].capitalize()}."],
                       [Target("interference between groups, lullrun: ≥ 95 %", "—", None)])
    text = (f"As in 1., but the foreground runs in the control group "
            f"`{groups['foreground_group']}` and the hog of {groups['hog_threads']} threads is "
            f"started from its sibling `{groups['job_group']}` (the cpu hierarchy at "
            f"`{groups['tree']}`), as where every application and terminal runs in a scope of "
            "its own: the kernel shares the processor between the groups by weight before it "
            "looks at a thread's class or nice value. `lullrun` runs as root, once with no "
            "manager on any bus, and once with the stand-in manager on the system bus "
            "(`DBUS_SYSTEM_BUS_ADDRESS`, and /run/systemd/system present as where systemd "
            f"runs). The hog runs {groups['turns']} times for {settings.phase_seconds:g} s in "
            f"each foreground run; median of {groups['rounds']} interleaved rounds.")
    alone, spread_alone = interference.noise(groups["rows"])

    def note(row):
        stayed = groups["job_group"] in row["scheduling"].split("; group ", 1)[-1]
        return (f"Interference between groups, {row['name']}: the foreground kept "
                f"{row['median']:.1f} % ({row['low']:.1f}–{row['high']:.1f} %) against a target "
                f"of 95 %; with no hog it moved between {alone['low']:.1f} and "
                f"{alone['high']:.1f} %" +
                (", so the shortfall is within what the other load alone does." if
                 100 - row["median"] <= spread_alone else ".") +
                (" The child stayed in the job's group, beside the foreground's: nothing placed "
                 "it in an idle group." if stayed else
                 f" The child ran as: {row['scheduling']}."))

    targets = []
    lines = interference.shares_table(
        groups["rows"], targets, lambda name: f"interference between groups, {name}: ≥ 95 %",
        "hog as the kernel schedules it, and its group", note)
    left = groups.get("left_behind", [])
    after = ("Groups outside the benchmark's own that a child ran in and that were still there "
             "once every wrapper had ended (a wrapper elsewhere on the machine may have been "
             "using one): " + (", ".join(f"`{g}`" for g in left) or "none") + ".")
    return Section(title, [text, lines, after], targets)


def short_name(name):
    """A lullrun row's name without the program's name, for the short table."""
    return name.removeprefix("lullrun, ")


def summary(groups):
    label = "7. foreground work kept, the foreground in a sibling control group (median)"
    if "skipped" in groups:
        return Summary(label, groups["skipped"], "—", "≥ 95 %")
    rows = {row["name"]: row for row in groups["rows"]}
    wrapped = [row for row in groups["rows"] if row["name"].startswith("lullrun")]
    shown = [f"{short_name(row['name'])} {row['skipped']}" if "skipped" in row
             else f"{short_name(row['name'])} {row['median']:.1f} %" for row in wrapped]
    return Summary(label, ", ".join(shown),
                   f"plainly {rows['plainly']['median']:.1f} %, `nice -n 19` "
                   f"{rows['nice -n 19']['median']:.1f} %, `chrt --idle 0` "
                   f"{rows['chrt --idle 0']['median']:.1f} %", "≥ 95 %")
