"""The report writer: from a run's data alone (what `bench/run` saves as
results.json), the report with a section per figure, the targets and a
closing note; the short table for README; and the SVG of figure 1.

Each figure's module turns its own data into a Section (its title, its
text and table, and its targets, each with the sentence that explains it
when missed) and a Summary (its row of the short table); this writer only
puts them together, so that a target is judged in one place and the
tables, the list of targets, the short table's verdicts and the closing
note all follow from it."""

import os
import shutil
import subprocess
from dataclasses import dataclass, field

from .harness import ROOT, say


@dataclass
class Target:
    name: str             # as the list of targets names it
    measured: str
    met: object           # True, False, or None where it could not be measured
    note: str = ""        # the closing note's sentence on it, where it is missed


@dataclass
class Section:
    title: str
    blocks: list          # paragraphs (text) and tables (lists of lines), a blank line between
    targets: list
    remarks: list = field(default_factory=list)  # the closing note's sentences beyond the targets


@dataclass
class Summary:
    label: str            # the short table's row: the figure, lullrun's figures, the peers'
    ours: str
    peers: str
    rule: str             # the target in a few words; the verdict follows from the section's


def verdict(met):
    if met is None:
        return "skipped"
    return "met" if met else "**missed**"


def overall(targets):
    """One verdict for a figure's targets: met where every one measured is."""
    measured = [target.met for target in targets if target.met is not None]
    return verdict(all(measured) if measured else None)


def row(cells):
    return "| " + " | ".join(cells) + " |"


def table(headers, aligns, rows):
    """A Markdown table; `aligns` holds an l or r a column. A row shorter
    than the header (a row that could not be measured, which says why in its
    second cell) is left empty to the end."""
    lines = [row(headers), "|" + "|".join("---:" if a == "r" else "---" for a in aligns) + "|"]
    for cells in rows:
        lines.append(row(cells) + " |" * (len(headers) - len(cells)))
    return lines


def skipped(data):
    """Whether a figure could not be measured at all."""
    return isinstance(data, dict) and "skipped" in data and "rows" not in data


def present(results, figures):
    """The figures this run's data holds, in the report's order (data saved
    before a figure existed renders without it)."""
    return [figure for figure in figures if figure.KEY in results]


def render(settings, results, figures):
    """The full report and the short table, from a run's data."""
    shown = present(results, figures)
    sections = [figure.section(results[figure.KEY], settings, results["machine"])
                for figure in shown]
    note = closing_note(results, sections, shown)
    return report(settings, results, sections, note), summary(results, shown, sections, note)


def report(settings, results, sections, note):
    """The full report: every figure's section, then the targets."""
    m = results["machine"]
    out = [f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory_gb']} GB, {m['system']}, "
           f"kernel {m['kernel']}, autogroup {'on' if m['autogroup'] else 'off'}; other work "
           f"kept its CPUs {m['busy']:.0f} % busy before the run and {results['busy_end']:.0f} % "
           f"after it; {m['date']}.",
           f"Run: {'quick smoke run (figures not meaningful)' if settings.quick else 'full'}.", ""]
    for section in sections:
        out += [f"### {section.title}", ""]
        for block in section.blocks:
            out += [block] if isinstance(block, str) else block
            out.append("")
    targets = [target for section in sections for target in section.targets]
    out += ["### Targets", "", "| target | measured | |", "|---|---|---|"]
    out += [f"| {t.name} | {t.measured} | {verdict(t.met)} |" for t in targets]
    return "\n".join(out + ["", note] + busy_note(results)) + "\n"


def summary(results, figures, sections, note):
    """One row per figure, lullrun beside its peers: the table for README."""
    m = results["machine"]
    out = [f"Measured {m['date']} on {m['cpu']}, {m['cores']} cores, {m['system']}, kernel "
           f"{m['kernel']}, autogroup {'on' if m['autogroup'] else 'off'}; other work kept its "
           f"CPUs {m['busy']:.0f} % busy before the run and {results['busy_end']:.0f} % after "
           "it.", "", "| figure | lullrun | peers | target |", "|---|---|---|---|"]
    for figure, section in zip(figures, sections):
        data = results[figure.KEY]
        short = figure.summary(data)
        rule = short.rule if skipped(data) else f"{short.rule}: {overall(section.targets)}"
        out.append(row([short.label, short.ours, short.peers, rule]))
    return "\n".join(out + ["", note] + busy_note(results)) + "\n"


def closing_note(results, sections, figures):
    """Which targets were missed, each with the figures that say why, and
    which figures could not be measured."""
    notes = []
    for section in sections:
        notes += section.remarks
        # A missed target without a sentence of its own is named with its measure: the
        # note never says every target is met while one is not.
        notes += [t.note or f"{t.name}: {t.measured}." for t in section.targets
                  if t.met is False]
    missing = skipped_parts(results, figures)
    if not notes:
        return "Every target measured is met. " + missing if missing else "Every target is met."
    return "Targets missed in this run: " + " ".join(notes) + (" " + missing if missing else "")


def skipped_parts(results, figures):
    """A sentence on the figures, or their rows, this run could not measure."""
    by_reason = {}
    for figure in present(results, figures):
        value = results[figure.KEY]
        rows = value if isinstance(value, list) else value.get("rows", [value])
        for each in rows:
            if "skipped" in each:
                reason = each["skipped"].removeprefix("skipped (").removesuffix(")")
                numbers = by_reason.setdefault(reason, [])
                if figure.NUMBER not in numbers:
                    numbers.append(figure.NUMBER)
    parts = [f"{', '.join(map(str, numbers))} ({reason})" for reason, numbers in by_reason.items()]
    return ("Not measured in this run, in figures " + "; ".join(parts) + ".") if parts else ""


def busy_note(results):
    """A paragraph (as a blank line and its text) on the other work that
    ran beside the benchmark, where there was much of it."""
    busy = max(results["machine"]["busy"], results["busy_end"])
    if busy <= 20:
        return []
    return ["", f"The machine was busy with other work around this run (up to {busy:.0f} % of its "
            f"CPU time, on {results['machine']['cores']} cores). The wrapper's child runs at idle "
            "priority in a group of the least weight, so whatever else runs goes first: figures "
            "that include the child's own run (start cost, the JVM's start) stretch with that "
            "load, and the interference ratios carry the other load's swings."]


# ---------------------------------------------------------------- figure

def ensure_gnuplot():
    if shutil.which("gnuplot"):
        return True
    say("installing gnuplot-nox to draw the figure ...")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = ["apt-get", "install", "-y", "--no-install-recommends", "gnuplot-nox"]
    if subprocess.run(install, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        subprocess.run(["apt-get", "update"], env=env, stdout=subprocess.DEVNULL)
        subprocess.run(install, env=env, stdout=subprocess.DEVNULL)
    return shutil.which("gnuplot") is not None


def draw(results, svg):
    # The figure is drawn from the interference figure's data: a run of other
    # figures only (--only disk) has none to draw.
    if "interference" not in results:
        return False
    if not ensure_gnuplot():
        say("bench: gnuplot could not be installed; no figure drawn")
        return False
    inter = results["interference"]
    m = results["machine"]
    data = svg.with_suffix(".dat")
    with data.open("w") as out:
        for row in inter["rows"]:
            colour = 2 if row["name"].startswith("lullrun") else (0 if "alone" in row["name"] else 1)
            label = row["name"].replace(" (", "\\n(").replace('"', "")
            out.write(f"\"{label}\" {row['median']:.2f} {row['low']:.2f} {row['high']:.2f} "
                      f"{colour}\n")
    title = (f"Foreground ({m['cores']} busy threads, own session) beside a hog of "
             f"{inter['hog_threads']} busy threads")
    subtitle = f"{m['cpu']}, {m['cores']} cores, kernel {m['kernel']}, {m['date']}"
    top = max(115, 10 * int(max(row["high"] for row in inter["rows"]) / 10 + 2))
    script = f"""
set terminal svg size 900,500 dynamic font "sans,12" background rgb "white"
set output "{svg}"
set title "{title}\\n{{/*0.8 {subtitle}}}"
set ylabel "foreground work, % of its work alone"
set yrange [0:{top}]
set xrange [-0.6:{len(inter['rows']) - 0.4}]
set bmargin 5
set grid ytics lc rgb "#dddddd"
set style fill solid 0.75 border rgb "#333333"
set boxwidth 0.6
set key outside bottom center horizontal
set palette defined (0 "#999999", 1 "#d9822b", 2 "#3a7dc9")
unset colorbox
set cbrange [0:2]
plot "{data}" using 0:2:5:xtic(1) with boxes lc palette notitle, \\
     "" using 0:2:3:4 with yerrorbars lc rgb "black" ps 0 title "spread (min–max)", \\
     "" using 0:($4 + 4):(sprintf("%.0f %%", $2)) with labels notitle, \\
     95 with lines dt 2 lw 1.5 lc rgb "#c03030" title "target: 95 %"
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    data.unlink()
    return True


def record(text, short, svg):
    docs = ROOT / "docs"
    docs.mkdir(exist_ok=True)
    shutil.copyfile(svg, docs / "interference.svg")
    (docs / "benchmarks.md").write_text(
        "# Benchmarks\n\n"
        "The latest full run of `bench/run`; README's Benchmarks section says what is measured "
        "and how.\n\n" + short + "\n![Foreground work beside a hog, by the way the hog was "
        "started](interference.svg)\n\n## Every figure\n\n" + text)
    readme = ROOT / "README.md"
    begin, finish = "<!-- bench:begin -->", "<!-- bench:end -->"
    content = readme.read_text() if readme.exists() else ""
    if begin in content and finish in content:
        head, rest = content.split(begin, 1)
        _, tail = rest.split(finish, 1)
        readme.write_text(head + begin + "\n" + short + finish + tail)
        say("recorded: docs/benchmarks.md, docs/interference.svg, README.md")
    else:
        say("recorded: docs/benchmarks.md, docs/interference.svg (README.md has no bench markers)")

