"""The results as rows of figures, and those rows as a text table and as CSV."""

import csv
import io

from . import stats

# The comparison's tools, in the order they are shown.
TOOLS = ("tolva", "xcopy", "copy", "cp")
TOOL_NAMES = {"tolva": "tolva.exe", "xcopy": "wine xcopy", "copy": "wine cmd /c copy",
              "cp": "cp (native)"}

CSV_FIELDS = (
    "workload", "label", "tool", "files", "bytes", "rounds",
    "wall_median_s", "wall_min_s", "wall_max_s", "mb_per_s",
    "cpu_ms", "cpu_procs_ms", "cpu_wineserver_ms", "cpu_ms_per_gib",
    "speed_vs_xcopy", "tolva_vs_xcopy", "tolva_vs_copy", "tolva_vs_cp",
    "ms_per_task", "peak_mem_mib", "kib_per_task", "handles_peak", "handles_per_task",
    "worst_answer_ms", "close_s", "close_killed", "design_bound_fraction",
    "kernel_mb_per_s", "measured_mb_per_s", "kernel_to_measured",
)


class WorkloadResult:
    """What one workload measured: per tool, its Runs."""

    def __init__(self, name, label, files, nbytes):
        self.name, self.label, self.files, self.bytes = name, label, files, nbytes
        self.runs = {}           # tool -> stats.Runs
        self.design_bound = None  # bytes per second Tolva could reach at best
        self.speed_check = []    # dicts from speed_check, one per round
        self.incidents = []      # faults of the program seen on the way (runs redone)

    def tool_runs(self, tool):
        return self.runs.setdefault(tool, stats.Runs())


def build_rows(results):
    """One dict per workload and tool (plus one per speed_check), with every CSV field."""
    rows = []
    for w in results:
        walls = {t: r.wall_median() for t, r in w.runs.items() if len(r)}
        for tool in TOOLS:
            runs = w.runs.get(tool)
            if not runs or not len(runs):
                continue
            wall = walls[tool]
            cpu, procs, server = runs.cpu_median()
            row = dict.fromkeys(CSV_FIELDS)
            row.update(workload=w.name, label=w.label, tool=tool, files=w.files, bytes=w.bytes,
                       rounds=len(runs), wall_median_s=wall, wall_min_s=min(runs.wall),
                       wall_max_s=max(runs.wall), mb_per_s=stats.mb_per_s(w.bytes, wall),
                       cpu_ms=cpu * 1e3, cpu_procs_ms=procs * 1e3,
                       cpu_wineserver_ms=None if server is None else server * 1e3,
                       cpu_ms_per_gib=stats.ms_per_gib(cpu, w.bytes),
                       speed_vs_xcopy=stats.speed_ratio(wall, walls.get("xcopy")))
            if tool == "tolva":
                for other in ("xcopy", "copy", "cp"):
                    row["tolva_vs_" + other] = stats.speed_ratio(wall, walls.get(other))
                row["ms_per_task"] = wall * 1e3 / w.files
                peak = runs.extra_median("peak_kib")
                if peak is not None:
                    row["peak_mem_mib"] = peak / 1024
                    row["kib_per_task"] = peak / w.files
                handles = runs.extra_median("handles")
                if handles is not None:
                    row["handles_peak"] = handles
                    row["handles_per_task"] = handles / w.files
                row["worst_answer_ms"] = runs.extra_max("worst_answer_ms")
                row["close_s"] = runs.extra_median("close_s")
                row["close_killed"] = len(runs.close_killed)
                if w.design_bound:
                    row["design_bound_fraction"] = w.bytes / wall / w.design_bound
            rows.append(row)
        if w.speed_check:
            row = dict.fromkeys(CSV_FIELDS)
            kernel = stats.median([c["kernel_Bps"] for c in w.speed_check])
            measured = stats.median([c["measured_Bps"] for c in w.speed_check])
            row.update(workload=w.name, label=w.label, tool="speed_check", files=w.files,
                       bytes=w.bytes, rounds=len(w.speed_check), kernel_mb_per_s=kernel / 1e6,
                       measured_mb_per_s=measured / 1e6,
                       kernel_to_measured=stats.median([c["ratio"] for c in w.speed_check]))
            rows.append(row)
    return rows


def number(value, digits=1):
    return "-" if value is None else f"{value:.{digits}f}"


def ratio(value):
    return "-" if value is None else f"{value:.2f}x"


def wall_cell(row):
    d = 3 if row["wall_median_s"] < 10 else 1
    return (f"{row['wall_median_s']:.{d}f} [{row['wall_min_s']:.{d}f}-"
            f"{row['wall_max_s']:.{d}f}]")


def text_table(header, rows, left=1):
    """Columns padded to their widest cell; the first `left` columns flush left."""
    cells = [list(map(str, header))] + [list(map(str, r)) for r in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(header))]

    def line(r):
        return "  ".join(c.ljust(w) if i < left else c.rjust(w)
                         for i, (c, w) in enumerate(zip(r, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(cells[0]), rule] + [line(r) for r in cells[1:]]) + "\n"


def comparison_table(rows):
    body = []
    for r in rows:
        if r["tool"] == "speed_check":
            continue
        cpu = number(r["cpu_ms_per_gib"], 0)
        if r["cpu_wineserver_ms"] is not None and r["bytes"]:
            cpu += f" ({stats.ms_per_gib(r['cpu_wineserver_ms'] / 1e3, r['bytes']):.0f})"
        body.append([r["label"], TOOL_NAMES[r["tool"]], wall_cell(r), number(r["mb_per_s"]),
                     cpu, ratio(r["tolva_vs_xcopy"]), ratio(r["tolva_vs_copy"]),
                     ratio(r["tolva_vs_cp"])])
    return text_table(["workload", "tool", "wall s median [min-max]", "MB/s",
                       "CPU ms/GiB (wineserver)", "Tolva/xcopy", "Tolva/copy", "Tolva/cp"],
                      body, left=2)


def tolva_table(rows):
    body = []
    for r in rows:
        if r["tool"] != "tolva":
            continue
        body.append([r["label"], r["files"], number(r["ms_per_task"], 2),
                     number(r["peak_mem_mib"]), number(r["kib_per_task"], 1),
                     number(r["handles_peak"], 0), number(r["handles_per_task"], 3),
                     number(r["worst_answer_ms"]), number(r["cpu_ms"], 0),
                     number(r["close_s"], 2) + (f" ({r['close_killed']} killed)"
                                                if r["close_killed"] else "")])
    return text_table(["workload", "tasks", "ms/task", "peak MiB", "KiB/task", "handles",
                       "handles/task", "worst answer ms", "CPU ms", "close s"], body)


def to_csv(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_FIELDS, lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({k: ("" if v is None else (f"{v:.6g}" if isinstance(v, float) else v))
                         for k, v in r.items()})
    return out.getvalue()
