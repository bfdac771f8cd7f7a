"""The results as rows of figures, and those rows as a text table and as CSV."""

import csv
import io

from . import stats

# The comparison's tools, in the order they are shown; "baseline" is a second tolva.exe
# (--baseline), measured the same way in the same rounds.
TOOLS = ("tolva", "baseline", "xcopy", "copy", "cp")
TOLVAS = ("tolva", "baseline")
TOOL_NAMES = {"tolva": "tolva.exe", "baseline": "baseline tolva.exe", "xcopy": "wine xcopy",
              "copy": "wine cmd /c copy", "cp": "cp (native)",
              "bound": "one-read bound"}
# Not a tool: the time one chunk read at a time takes at best over a slow link, a row
# of its own where the workload has one.
BOUND = "bound"
# The two ways of driving the tools: the bench's own (Python, its later starts of
# Workload.per_start files) and a plain shell script (bench/scripted-copy.sh).
HARNESSES = ("bench", "scripted")

CSV_FIELDS = (
    "machine", "harness", "workload", "label", "tool", "files", "bytes", "per_start", "rounds",
    "wall_median_s", "wall_min_s", "wall_max_s", "mb_per_s",
    "cpu_ms", "cpu_procs_ms", "cpu_wineserver_ms", "cpu_ms_per_gib",
    "speed_vs_xcopy", "tolva_vs_baseline", "tolva_vs_xcopy", "tolva_vs_copy", "tolva_vs_cp",
    "tolva_vs_bound",
    "ms_per_task", "peak_mem_mib", "kib_per_task", "handles_peak", "handles_per_task",
    "worst_answer_ms", "close_s", "close_killed", "design_bound_fraction",
    "kernel_mb_per_s", "measured_mb_per_s", "kernel_to_measured",
    "on_disk_median_s", "tolva_vs_xcopy_on_disk",
)


class WorkloadResult:
    """What one workload measured under one harness: per tool, its Runs."""

    def __init__(self, name, label, files, nbytes, harness="bench", per_start=None):
        self.name, self.label, self.files, self.bytes = name, label, files, nbytes
        self.harness, self.per_start = harness, per_start
        self.runs = {}           # tool -> stats.Runs
        self.design_bound = None  # bytes per second Tolva could reach at best
        self.delay_ms = None      # what the slow share added per request
        self.one_read_wall = None  # seconds with one chunk read in flight at best
        self.speed_check = []    # dicts from speed_check, one per round
        self.incidents = []      # faults of the program seen on the way (runs redone)

    def tool_runs(self, tool):
        return self.runs.setdefault(tool, stats.Runs())


def build_rows(results, machine=""):
    """One dict per workload, harness and tool (plus one per speed_check), with every CSV
    field; `machine` is the bench's heading line about the machine, on every row."""
    rows = []
    for w in results:
        walls = {t: r.wall_median() for t, r in w.runs.items() if len(r)}
        on_disk = {t: r.extra_median("on_disk_s") for t, r in w.runs.items()}
        for tool in TOOLS:
            runs = w.runs.get(tool)
            if not runs or not len(runs):
                continue
            wall = walls[tool]
            cpu, procs, server = runs.cpu_median()
            row = dict.fromkeys(CSV_FIELDS)
            row.update(machine=machine, harness=w.harness, workload=w.name, label=w.label,
                       tool=tool, files=w.files, bytes=w.bytes,
                       per_start=w.per_start if tool in TOLVAS else None,
                       rounds=len(runs), wall_median_s=wall, wall_min_s=min(runs.wall),
                       wall_max_s=max(runs.wall), mb_per_s=stats.mb_per_s(w.bytes, wall),
                       cpu_ms=_ms(cpu), cpu_procs_ms=_ms(procs), cpu_wineserver_ms=_ms(server),
                       cpu_ms_per_gib=None if cpu is None else stats.ms_per_gib(cpu, w.bytes),
                       speed_vs_xcopy=stats.speed_ratio(wall, walls.get("xcopy")),
                       on_disk_median_s=on_disk.get(tool))
            if tool in TOLVAS:
                others = ("baseline", "xcopy", "copy", "cp") if tool == "tolva" else ()
                for other in others:
                    row["tolva_vs_" + other] = stats.speed_ratio(wall, walls.get(other))
                if on_disk.get(tool) is not None:
                    row["tolva_vs_xcopy_on_disk"] = stats.speed_ratio(on_disk[tool],
                                                                      on_disk.get("xcopy"))
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
                row["tolva_vs_bound"] = stats.speed_ratio(wall, w.one_read_wall)
            rows.append(row)
        if w.one_read_wall and walls:
            row = dict.fromkeys(CSV_FIELDS)
            wall = w.one_read_wall
            row.update(machine=machine, harness=w.harness, workload=w.name, label=w.label,
                       tool=BOUND, files=w.files, bytes=w.bytes, wall_median_s=wall,
                       wall_min_s=wall, wall_max_s=wall, mb_per_s=stats.mb_per_s(w.bytes, wall),
                       speed_vs_xcopy=stats.speed_ratio(wall, walls.get("xcopy")))
            rows.append(row)
        if w.speed_check:
            row = dict.fromkeys(CSV_FIELDS)
            kernel = stats.median([c["kernel_Bps"] for c in w.speed_check])
            measured = stats.median([c["measured_Bps"] for c in w.speed_check])
            row.update(machine=machine, harness=w.harness, workload=w.name, label=w.label,
                       tool="speed_check", files=w.files, bytes=w.bytes, rounds=len(w.speed_check), kernel_mb_per_s=kernel / 1e6,
                       measured_mb_per_s=measured / 1e6,
                       kernel_to_measured=stats.median([c["ratio"] for c in w.speed_check]))
            rows.append(row)
    return rows


def _ms(seconds):
    return None if seconds is None else seconds * 1e3


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


def _present(rows, field, value):
    return any(r[field] == value for r in rows)


def comparison_table(rows):
    """Wall time, MB/s, CPU and Tolva's ratios per workload, harness and tool; the
    harness and baseline columns only when the run had them."""
    rows = [r for r in rows if r["tool"] != "speed_check"]
    harnesses = len({r["harness"] for r in rows}) > 1
    baseline = _present(rows, "tool", "baseline")
    bound = _present(rows, "tool", BOUND)
    body = []
    for r in rows:
        cpu = number(r["cpu_ms_per_gib"], 0)
        if r["cpu_wineserver_ms"] is not None and r["bytes"]:
            cpu += f" ({stats.ms_per_gib(r['cpu_wineserver_ms'] / 1e3, r['bytes']):.0f})"
        line = [r["label"]] + ([r["harness"]] if harnesses else []) + [
            TOOL_NAMES[r["tool"]], wall_cell(r), number(r["mb_per_s"]), cpu]
        line += [ratio(r["tolva_vs_baseline"])] if baseline else []
        body.append(line + [ratio(r["tolva_vs_xcopy"]), ratio(r["tolva_vs_copy"]),
                            ratio(r["tolva_vs_cp"])] +
                    ([ratio(r["tolva_vs_bound"])] if bound else []))
    header = ["workload"] + (["harness"] if harnesses else []) + [
        "tool", "wall s median [min-max]", "MB/s", "CPU ms/GiB (wineserver)"]
    header += ["Tolva/baseline"] if baseline else []
    return text_table(header + ["Tolva/xcopy", "Tolva/copy", "Tolva/cp"] +
                      (["Tolva/one-read bound"] if bound else []), body,
                      left=3 if harnesses else 2)


def tolva_table(rows):
    """Tolva's own figures (the bench harness measures them; the script does not)."""
    rows = [r for r in rows if r["tool"] in TOLVAS and r["harness"] == "bench"]
    body = []
    for r in rows:
        body.append([r["label"], TOOL_NAMES[r["tool"]], r["files"], number(r["ms_per_task"], 2),
                     number(r["peak_mem_mib"]), number(r["kib_per_task"], 1),
                     number(r["handles_peak"], 0), number(r["handles_per_task"], 3),
                     number(r["worst_answer_ms"]), number(r["cpu_ms"], 0),
                     number(r["close_s"], 2) + (f" ({r['close_killed']} killed)"
                                                if r["close_killed"] else "")])
    return text_table(["workload", "tool", "tasks", "ms/task", "peak MiB", "KiB/task",
                       "handles", "handles/task", "worst answer ms", "CPU ms", "close s"], body,
                      left=2)


def on_disk_table(rows):
    """Each tool's time until its copies were on the disk, and Tolva's ratio to xcopy's."""
    rows = [r for r in rows if r["on_disk_median_s"] is not None]
    body = [[r["label"], TOOL_NAMES[r["tool"]], number(r["on_disk_median_s"], 3),
             number(r["wall_median_s"], 3), ratio(r["tolva_vs_xcopy_on_disk"])] for r in rows]
    return text_table(["workload", "tool", "on disk s", "wall s", "Tolva/xcopy on disk"], body,
                      left=2)


def disagreements(rows):
    """Where the two harnesses timed one tool on one workload with ranges that do not
    overlap: one line each, with both medians and ranges."""
    found, by_key = [], {}
    for r in rows:
        if r["tool"] != "speed_check":
            by_key.setdefault((r["workload"], r["tool"]), {})[r["harness"]] = r
    for (workload, tool), pair in by_key.items():
        bench, scripted = pair.get("bench"), pair.get("scripted")
        if not bench or not scripted:
            continue
        apart = (bench["wall_max_s"] < scripted["wall_min_s"] or
                 scripted["wall_max_s"] < bench["wall_min_s"])
        if apart:
            starts = ""
            if tool in TOLVAS:
                starts = (f" (later starts of {bench['per_start']} and {scripted['per_start']} "
                          "files)")
            found.append(f"{bench['label']}, {TOOL_NAMES[tool]}: the harnesses disagree beyond "
                         f"their ranges{starts}: bench {wall_cell(bench)} s, scripted "
                         f"{wall_cell(scripted)} s")
    return found


def to_csv(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_FIELDS, lineterminator="\n")
    writer.writeheader()
    for r in rows:
        writer.writerow({k: ("" if v is None else (f"{v:.6g}" if isinstance(v, float) else v))
                         for k, v in r.items()})
    return out.getvalue()
