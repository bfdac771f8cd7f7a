"""A PNG bar chart of each tool's speed relative to wine xcopy, drawn with gnuplot."""

import os
import shutil
import subprocess
import textwrap

from .report import TOOL_NAMES

CHART_TOOLS = ("tolva", "baseline", "copy", "cp", "bound")


def chart_data(rows):
    """(workload label, {tool: speed relative to xcopy}) in the order of the rows; a
    workload timed by both harnesses appears twice, the script's marked."""
    order, values = [], {}
    for r in rows:
        if r["tool"] in CHART_TOOLS and r["speed_vs_xcopy"]:
            key = (r["workload"], r["harness"])
            if key not in values:
                order.append(key)
                label = r["label"] + (" (script)" if r["harness"] == "scripted" else "")
                values[key] = (label, {})
            values[key][1][r["tool"]] = r["speed_vs_xcopy"]
    return [values[k] for k in order]


def chart_tools(data):
    """The tools that have a bar anywhere, in the chart's order."""
    return [t for t in CHART_TOOLS if any(t in by_tool for _, by_tool in data)]


def data_text(data):
    """gnuplot's data file: a quoted label, then one column per tool ('?' for none)."""
    tools = chart_tools(data)
    lines = ["# workload " + " ".join(tools)]
    for label, by_tool in data:
        cells = [f"{by_tool[t]:.4g}" if t in by_tool else "?" for t in tools]
        lines.append(f'"{label}" ' + " ".join(cells))
    return "\n".join(lines) + "\n"


def ensure_gnuplot(say):
    """gnuplot's path, installing Debian's gnuplot-nox when it is missing (as root, or
    through sudo without a password); None, after saying why, when that fails."""
    found = shutil.which("gnuplot")
    if found:
        return found
    prefix = [] if os.geteuid() == 0 else ["sudo", "-n"]
    if prefix and not shutil.which("sudo"):
        say("chart skipped: gnuplot is missing and this user cannot run apt-get")
        return None
    say("installing gnuplot-nox for the chart (apt-get)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    install = prefix + ["apt-get", "install", "-y", "-qq", "--no-install-recommends", "gnuplot-nox"]
    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
             "stderr": subprocess.DEVNULL, "env": env}
    if subprocess.run(install, **quiet).returncode != 0:
        subprocess.run(prefix + ["apt-get", "update", "-qq"], **quiet)
        if subprocess.run(install, **quiet).returncode != 0:
            say("chart skipped: apt-get could not install gnuplot-nox")
            return None
    return shutil.which("gnuplot")


def _quoted(text):
    """`text` as a gnuplot double-quoted string, its line breaks as \\n."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def script_text(data_path, png_path, title, data, terminal, machine=""):
    values = [v for _, by_tool in data for v in by_tool.values()]
    low, high = min(values + [1.0]), max(values + [1.0])
    log = high / low > 20
    # Room above the tallest bar for its label, and below the lowest on a log scale.
    top = high * (3 if log else 1.25)
    bottom = low / 3 if log else 0
    tools = chart_tools(data)
    n, gap = len(tools), 1
    lines = [
        f"set terminal {terminal} size 1280,720 font ',11'",
        f"set output '{png_path}'",
        f"set title {_quoted(chr(10).join([title] + textwrap.wrap(machine, 130)))} noenhanced",
        "set datafile missing '?'",
        "set style data histograms",
        f"set style histogram clustered gap {gap}",
        "set style fill solid 0.85 border -1",
        "set boxwidth 0.9",
        "set key top left",
        "set grid ytics",
        "set xtics nomirror font ',10'",
        "set ylabel 'speed relative to wine xcopy (>1: faster than xcopy)'",
        f"set yrange [{bottom:g}:{top:g}]",
    ]
    if log:
        lines.append("set logscale y")
    plots = []
    for i, tool in enumerate(tools):
        col = i + 2
        plots.append(f"'{data_path}' using {col}:xtic(1) title '{TOOL_NAMES[tool]}'")
    for i, tool in enumerate(tools):
        col = i + 2
        offset = (i - (n - 1) / 2) / (n + gap)
        plots.append(f"'{data_path}' using ($0+{offset:.4f}):{col}:(sprintf('%.2f', ${col})) "
                     "with labels offset 0,0.7 font ',9' notitle")
    plots.append("1 with lines dashtype 2 lc rgb 'black' title 'wine xcopy = 1'")
    lines.append("plot " + ", \\\n     ".join(plots))
    return "\n".join(lines) + "\n"


def draw(rows, png_path, title, say, machine=""):
    """Writes the chart; returns True when it did."""
    data = chart_data(rows)
    if not data:
        say("chart skipped: no workload has a tool to compare with xcopy")
        return False
    gnuplot = ensure_gnuplot(say)
    if not gnuplot:
        return False
    os.makedirs(os.path.dirname(os.path.abspath(png_path)), exist_ok=True)
    base = os.path.splitext(png_path)[0]
    data_path, script_path = base + ".dat", base + ".gp"
    with open(data_path, "w") as f:
        f.write(data_text(data))
    for terminal in ("pngcairo", "png"):
        with open(script_path, "w") as f:
            f.write(script_text(data_path, png_path, title, data, terminal, machine))
        result = subprocess.run([gnuplot, script_path], capture_output=True, text=True)
        if result.returncode == 0 and os.path.getsize(png_path) > 0:
            return True
    say("chart skipped: gnuplot failed: " + result.stderr.strip()[-300:])
    return False
