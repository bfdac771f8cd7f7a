#!/usr/bin/python3
"""Side-by-side benchmark: the real tolva.exe (and a baseline tolva.exe, if given)
against wine xcopy, wine cmd /c copy and native cp, on the same random files, round by
round in turns, every copy checked byte for byte. Run it through scripts/bench, which
builds everything and brings up Wine (a prefix, a warm wineserver, a virtual display)
first.

Two harnesses time the tools, in the same rounds: the bench's own (this program starts
each tool and watches Tolva's log) and a plain shell script (bench/scripted-copy.sh)
that does what a user's script does. Prints one table of wall time, MB/s, CPU and speed
ratios per workload, harness and tool, where the harnesses disagree, one of Tolva's own
figures (memory, handles, window answer), the slow-share bound and the kernel's own
speed figures; writes the same as CSV and a chart (PNG, with gnuplot), each headed by
the machine they come from.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sidebyside import chart, machine, procs, report, stats, tolvalog, tools, workloads  # noqa: E402
from sidebyside.procs import BenchFailure, HandOffLost  # noqa: E402
from sidebyside.share import ShareUnavailable, TestShare  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The slow share: the most it serves per request (what it adds per request is the
# workload's share_delay_ms).
SHARE_REQUEST = 128 * 1024
# Tolva's chunk: with one read in flight a file comes no faster than one per round trip.
CHUNK = 256 * 1024
# Files per later start of Tolva in the scripted harness, unless --per-start says.
SCRIPTED_PER_START = 100


def say(text):
    print(text, file=sys.stderr, flush=True)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="scripts/bench", description=__doc__.split("\n\n")[0])
    p.add_argument("--rounds", type=int, default=None,
                   help="rounds per workload, the median is shown (default 5; 2 with --quick)")
    p.add_argument("--quick", action="store_true", help="tiny workloads: a check that all runs")
    p.add_argument("--only", default="",
                   help="comma-separated workloads: W1,W2,W3,W4,scale or scale-N")
    p.add_argument("--tolva", default=os.environ.get("TOLVA_EXE"),
                   help="the tolva.exe to measure (default: env TOLVA_EXE, else the build's)")
    p.add_argument("--baseline", default=None, metavar="PATH",
                   help="a second tolva.exe (or a build folder holding tolva/tolva.exe) "
                        "measured in the same rounds, as a column of its own")
    p.add_argument("--mode", choices=("both", "bench", "scripted"), default="both",
                   help="which harness times the tools: the bench's own, the plain script "
                        "(later starts of --per-start files), or both in the same rounds")
    p.add_argument("--per-start", type=int, default=None, metavar="N",
                   help="files per later start of Tolva in both harnesses (default: 500 "
                        f"in the bench's, {SCRIPTED_PER_START} in the script's)")
    p.add_argument("--files-at-once", default=None, metavar="N|all",
                   help="the measured tolva.exe's \"Files copying at once\" (a --baseline "
                        "runs with the stored default, so one build may be set against itself)")
    p.add_argument("--speed-limit", type=int, default=None, metavar="MBPS",
                   help="the measured tolva.exe's \"Limit speed to N Mbps\"; the report says "
                        "how close to the cap each workload ran")
    p.add_argument("--tools", default="", metavar="LIST",
                   help="comma-separated: only these of tolva, baseline, xcopy, copy, cp")
    p.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))
    p.add_argument("--out", default=None, help="folder for compare.csv (default BUILD/bench)")
    p.add_argument("--chart", default=None, help="where the PNG goes (default OUT/compare.png)")
    p.add_argument("--no-chart", action="store_true")
    p.add_argument("--keep", action="store_true", help="keep the temporary folder")
    args = p.parse_args(argv)
    if args.rounds is None:
        args.rounds = 2 if args.quick else 5
    if args.rounds < 1:
        p.error("--rounds must be at least 1")
    if args.per_start is not None and args.per_start < 1:
        p.error("--per-start must be at least 1")
    args.harnesses = report.HARNESSES if args.mode == "both" else (args.mode,)
    if args.files_at_once not in (None, "all") and not args.files_at_once.isdigit():
        p.error("--files-at-once takes a number or 'all'")
    args.settings = {}
    if args.files_at_once is not None:
        args.settings["FilesAtOnce"] = "0" if args.files_at_once == "all" else args.files_at_once
    if args.speed_limit is not None:
        args.settings["SpeedLimit"] = str(args.speed_limit)
    return args


def store_settings(settings):
    """The program's own registry values in the prefix: `settings` stored, the other
    values this bench can set removed (the program's defaults)."""
    for name in ("FilesAtOnce", "SpeedLimit"):
        key = ["wine", "reg"]
        if name in settings:
            key += ["add", r"HKCU\Software\Tolva", "/v", name, "/t", "REG_SZ", "/d",
                    settings[name], "/f"]
        else:
            key += ["delete", r"HKCU\Software\Tolva", "/v", name, "/f"]
        subprocess.run(key, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


def find_tolva(path):
    """A tolva.exe, or the one in a build folder (tolva/tolva.exe) or folder; None if none."""
    for candidate in (path, os.path.join(path, "tolva", "tolva.exe"),
                      os.path.join(path, "tolva.exe")):
        if os.path.isfile(candidate):
            return os.path.abspath(candidate)
    return None


def per_start(args, w, harness):
    if args.per_start:
        return args.per_start
    return w.per_start if harness == "bench" else min(w.per_start, SCRIPTED_PER_START)


def run_timeout(w):
    """Generous: a run that needs this long has gone wrong."""
    return 120 + w.total / 4e6 + w.count * 0.2


def speed_check(exe, sources, destination, timeout):
    result = subprocess.run(["wine", exe, "--dest", tools.winpath(destination)] +
                            [tools.winpath(s) for s in sources], capture_output=True, text=True,
                            stdin=subprocess.DEVNULL, timeout=timeout)
    code, out = result.returncode, result.stdout.strip()
    if code != 0:
        raise BenchFailure(f"speed_check failed ({code}): {result.stderr.strip()[-300:]}")
    pairs = tolvalog.parse_pairs(out.splitlines()[-1] if out else "")
    if "ratio" not in pairs:
        say(f"speed_check: no halfway moment seen ({out})")
        return None
    return {k: float(v) for k, v in pairs.items()}


# Runs of Tolva redone per workload after a lost hand-off, before the bench gives up.
MAX_REDONE = 3


def tolva_run(ctx, w, r, tool, harness, sources, source_folder, destination, scratch,
              result):
    for attempt in range(MAX_REDONE + 1):
        folder = os.path.join(scratch, f"{tool} {harness} {w.name} r{r + 1}.{attempt}")
        try:
            if harness == "scripted":
                return tools.run_scripted(ctx, tool, sources, source_folder, destination,
                                          result.per_start, folder, run_timeout(w) + 120)
            store_settings(ctx.extra.get("settings", {}) if tool == "tolva" else {})
            # Emptied once Tolva stands idle, as it is for the other tools right before
            # they start (see workloads.empty).
            return tools.run_tolva(ctx, folder, sources, destination, result.per_start,
                                   w.probe, run_timeout(w), lambda: workloads.empty(destination),
                                   ctx.exe_of(tool))
        except HandOffLost as e:
            result.incidents.append(f"round {r + 1}: {e}")
            say(f"  {w.name} round {r + 1}: LOST HAND-OFF, run redone: {e}")
            if len(result.incidents) > MAX_REDONE:
                raise
    raise AssertionError("unreachable")


def run_rounds(ctx, w, results, rounds, sources, source_folder, check_sources, destination,
               scratch, speed_check_exe=None):
    """Every round runs every tool under every harness once, in orders that change."""
    for r in range(rounds):
        for result in workloads.round_order(results, r):
            harness = result.harness
            for tool in workloads.round_order(w.tools, r):
                if tool in report.TOLVAS:
                    m = tolva_run(ctx, w, r, tool, harness, sources, source_folder,
                                  destination, scratch, result)
                elif harness == "scripted":
                    m = tools.run_scripted(ctx, tool, sources, source_folder, destination,
                                           result.per_start, os.path.join(scratch, "script"),
                                           run_timeout(w))
                else:
                    workloads.empty(destination)
                    m = tools.run_copy_tool(ctx, tool, sources, source_folder, destination,
                                            run_timeout(w))
                try:
                    workloads.verify(check_sources, destination)
                except BenchFailure as e:
                    raise BenchFailure(f"{w.name}, {harness}, {report.TOOL_NAMES[tool]}, "
                                       f"round {r + 1}: {e}")
                if harness == "bench" and not w.on_share:
                    # Tolva's copies are on the disk when it calls them complete; the
                    # platform's tools leave theirs in memory: timed to the disk too.
                    m.extra["on_disk_s"] = m.wall + workloads.flush_seconds(destination)
                result.tool_runs(tool).add(m.wall, m.cpu_procs, m.cpu_server, **m.extra)
                say(f"  {w.name} round {r + 1}/{rounds}: {harness:<8} "
                    f"{report.TOOL_NAMES[tool]:<18} {m.wall:8.3f} s")
        result = next((x for x in results if x.harness == "bench"), None)
        if speed_check_exe and result:
            workloads.empty(destination)
            figures = speed_check(speed_check_exe, sources, destination, run_timeout(w))
            workloads.verify(check_sources, destination)
            if figures:
                result.speed_check.append(figures)
                say(f"  {w.name} round {r + 1}/{rounds}: speed_check       kernel "
                    f"{figures['kernel_Bps'] / 1e6:.1f} MB/s, measured "
                    f"{figures['measured_Bps'] / 1e6:.1f} MB/s")
    workloads.empty(destination)


def run_workload(ctx, args, w, scratch, build_dir):
    """The workload's results, one per harness; None when it could not run here."""
    rounds = args.rounds
    results = [report.WorkloadResult(w.name, w.label, w.count, w.total, harness,
                                     per_start(args, w, harness)) for harness in args.harnesses]
    destination = os.path.join(scratch, f"{w.name} dst")
    say(f"{w.label}: making the sources")
    if not w.on_share:
        folder = os.path.join(scratch, f"{w.name} src")
        sources = workloads.make_sources(folder, w)
        workloads.page_cache(sources)
        try:
            run_rounds(ctx, w, results, rounds, sources, folder, sources, destination, scratch)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        return results

    if w.on_samba:
        return run_samba_workload(ctx, w, results, rounds, scratch, destination)

    daemon = os.path.join(build_dir, "tests", "testshare", "testshare")
    backing = os.path.join(scratch, "share backing")
    mount = os.path.join(scratch, "share mount")
    try:
        with TestShare(daemon, backing, mount, os.path.join(scratch, "testshare.log")) as share:
            backed = workloads.make_sources(os.path.join(backing, w.name), w)
            workloads.page_cache(backed)  # the share reads its backing files
            share.control(f"delay-read * {w.share_delay_ms}")
            sources = [os.path.join(mount, w.name, os.path.basename(p)) for p in backed]
            for result in results:
                result.delay_ms = w.share_delay_ms
                result.design_bound = w.count * SHARE_REQUEST / (w.share_delay_ms / 1e3)
                if w.one_read_bound:
                    result.one_read_wall = w.total / (CHUNK / (w.share_delay_ms / 1e3))
            exe = os.path.join(build_dir, "bench", "speed_check.exe")
            run_rounds(ctx, w, results, rounds, sources, os.path.join(mount, w.name), backed,
                       destination, scratch, exe if os.path.exists(exe) else None)
    except ShareUnavailable as e:
        say(f"{w.label}: skipped, no test share: {e}")
        return None
    return results


def run_samba_workload(ctx, w, results, rounds, scratch, destination):
    """Sources written on the server's side, read by every tool through the client."""
    backing, mount = os.environ.get("TOLVA_SMB_BACKING_UNIX"), os.environ.get("TOLVA_SMB_MOUNT_UNIX")
    if not backing or not mount:
        say(f"{w.label}: skipped, no SMB server (with-samba.sh said why)")
        return None
    backed = workloads.make_sources(os.path.join(backing, w.name), w)
    workloads.page_cache(backed)  # the server reads from its page cache, as a busy one does
    sources = [os.path.join(mount, w.name, os.path.basename(p)) for p in backed]
    try:
        run_rounds(ctx, w, results, rounds, sources, os.path.join(mount, w.name), backed,
                   destination, scratch)
    finally:
        shutil.rmtree(os.path.join(backing, w.name), ignore_errors=True)
    return results


def share_lines(results, rows):
    out = []
    for w in results:
        if not w.design_bound or w.harness != "bench":
            continue
        single = SHARE_REQUEST / (w.delay_ms / 1e3)
        if w.one_read_wall:
            out.append(f"{w.name} one-read bound: {w.files} x {w.bytes // w.files // stats.MIB} "
                       f"MiB read {CHUNK // 1024} KiB per {w.delay_ms} ms round trip, one read "
                       f"at a time = {w.one_read_wall:.2f} s.")
            for r in rows:
                if r["workload"] == w.name and r["tool"] in report.TOOLS and \
                        r["harness"] == "bench":
                    out.append(f"  {report.TOOL_NAMES[r['tool']]:<17} {r['wall_median_s']:7.3f} s"
                               f" = {w.one_read_wall / r['wall_median_s']:5.2f} x the one-read "
                               "bound")
        out.append(f"{w.name} slow share: {w.files} files in parallel, each one "
                   f"{SHARE_REQUEST // 1024} KiB request per {w.delay_ms} ms round trip = "
                   f"{w.design_bound / stats.MIB:.0f} MiB/s design bound; one reader alone: "
                   f"{single / stats.MIB:.0f} MiB/s.")
        for r in rows:
            if r["workload"] == w.name and r["tool"] in report.TOOLS and r["harness"] == "bench":
                speed = w.bytes / r["wall_median_s"]
                out.append(f"  {report.TOOL_NAMES[r['tool']]:<17} {speed / stats.MIB:7.1f} MiB/s"
                           f" = {speed / w.design_bound * 100:5.1f} % of the bound, "
                           f"{speed / single:4.2f} x one reader")
        if w.speed_check:
            kernel = stats.median([c["kernel_Bps"] for c in w.speed_check])
            measured = stats.median([c["measured_Bps"] for c in w.speed_check])
            recent = stats.median([c["recent_Bps"] for c in w.speed_check])
            ratio = stats.median([c["ratio"] for c in w.speed_check])
            flag = ("  <-- differs by more than 15 %" if abs(ratio - 1) > 0.15 else "")
            if kernel == 0:
                flag += " (no speed figure yet: too few reads per task)"
            out.append(f"  speed_check (the kernel alone, median of {len(w.speed_check)}): at the "
                       f"moment every task passed half its size, the tasks' speeds add up to "
                       f"{kernel / 1e6:.1f} MB/s; measured from outside (bytes copied by then / "
                       f"time since Start) {measured / 1e6:.1f} MB/s, over the last 0.2 s "
                       f"{recent / 1e6:.1f} MB/s; kernel/measured = {ratio:.2f}{flag}")
        elif w.design_bound:
            out.append("  speed_check: no figures (not built, or no halfway moment seen)")
    return out


def cap_lines(results, rows, mbps):
    """How close to the speed cap tolva.exe ran: the program's Mbps are 1,024,000 bits/s."""
    if not mbps:
        return []
    cap = mbps * 128000
    out = [f"Speed cap {mbps} Mbps = {cap / 1e6:.3f} MB/s for all files together:"]
    for w in results:
        for r in rows:
            if r["workload"] == w.name and r["tool"] == "tolva" and r["harness"] == w.harness:
                speed = w.bytes / r["wall_median_s"]
                out.append(f"  {w.name} ({w.harness}) {speed / 1e6:8.3f} MB/s = "
                           f"{speed / cap * 100:5.1f} % of the cap")
    return out


def exe_line(what, path):
    return (f"{what}: {path} ({os.path.getsize(path)} bytes, built "
            f"{time.strftime('%Y-%m-%d %H:%M', time.localtime(os.path.getmtime(path)))})")


def snapshot(path, folder, name):
    """A copy of `path` that no build can replace while the bench runs."""
    os.makedirs(folder, exist_ok=True)
    copy = os.path.join(folder, name)
    shutil.copyfile(path, copy)
    return copy


def main(argv):
    args = parse_args(argv)
    build_dir = os.path.abspath(args.build_dir)
    tolva_exe = os.path.abspath(args.tolva or os.path.join(build_dir, "tolva", "tolva.exe"))
    probe_exe = os.path.join(build_dir, "bench", "tolva_probe.exe")
    out_dir = os.path.abspath(args.out or os.path.join(build_dir, "bench"))
    png = os.path.abspath(args.chart or os.path.join(out_dir, "compare.png"))
    for needed in (tolva_exe, probe_exe):
        if not os.path.isfile(needed):
            say(f"bench: {needed} is missing (build first: scripts/build)")
            return 2
    baseline_exe = None
    if args.baseline:
        baseline_exe = find_tolva(os.path.abspath(args.baseline))
        if not baseline_exe:
            say(f"bench: no tolva.exe at {args.baseline} (nor in its tolva/ folder)")
            return 2
    if not os.environ.get("DISPLAY") or not os.environ.get("WINEPREFIX"):
        say("bench: needs a display and a Wine prefix: run it through scripts/bench")
        return 2
    try:
        selected = workloads.select(workloads.plan(args.quick), args.only)
    except ValueError as e:
        say(f"bench: {e}")
        return 2
    wanted = {t.strip() for t in args.tools.split(",") if t.strip()}
    for w in selected:
        if baseline_exe and "tolva" in w.tools:
            i = w.tools.index("tolva") + 1
            w.tools = w.tools[:i] + ("baseline",) + w.tools[i:]
        if wanted:
            w.tools = tuple(t for t in w.tools if t in wanted)

    server = procs.wineserver_pid(os.environ["WINEPREFIX"])
    if server is None:
        say("bench: no wineserver found for the prefix; its CPU time is left out")
    try:
        tools.warm_up_desktop(probe_exe)
    except subprocess.TimeoutExpired:
        say("bench: Wine's desktop did not come up within 120 s")
        return 1
    machine_line = "Machine: " + machine.describe()
    harness_text = {
        "bench": "bench = this program starts each tool and reads Tolva's log every 2 ms",
        "scripted": "scripted = bench/scripted-copy.sh, a plain shell script, does the same "
                    "with its own clock and reads the log every 20 ms"}
    default_starts = {"bench": "500", "scripted": str(SCRIPTED_PER_START)}
    starts = ", ".join(f"{h}: {args.per_start or default_starts[h]}" for h in args.harnesses)
    heading = [machine_line,
               "Side-by-side copy benchmark. " + exe_line("tolva.exe", tolva_exe)]
    if baseline_exe:
        heading.append(exe_line("baseline tolva.exe", baseline_exe) +
                       ", its rounds interleaved with the other tools'")
    heading += [f"{args.rounds} rounds per workload, tools in turn (the order turns each round, "
                "and runs backwards every other round), median [min-max]; MB/s = 10^6 bytes/s; "
                "every copy checked byte for byte.",
                "Harnesses: " + "; ".join(harness_text[h] for h in args.harnesses) +
                f". Files per later start of Tolva: {starts}.",
                "CPU = user+sys of the processes the bench started (for Tolva: the running "
                "instance over the timed span plus every later start), plus the wineserver's "
                "(in brackets) from /proc; ratios are speed ratios, >1: Tolva is faster.",
                "Tolva is timed from its first later start until its log holds one "
                "'[NAME] - complete.' line per file; its window already stood idle. "
                "'close s': from WM_CLOSE until its process ended, untimed.",
                "Figures move from machine to machine (and with the load beside the bench): "
                "quote them with the machine line."]
    os.makedirs(out_dir, exist_ok=True)
    scratch_parent = os.environ.get("TMPDIR", "/tmp")
    # A blank in every path makes Wine quote each argument exactly as a user types it.
    scratch = tempfile.mkdtemp(prefix="tolva bench.", dir=scratch_parent)
    programs = os.path.join(scratch, "programs")
    ctx = tools.Context(snapshot(tolva_exe, programs, "tolva.exe"), probe_exe, server,
                        failed_log_dir=out_dir,
                        baseline_exe=baseline_exe and snapshot(baseline_exe, programs,
                                                               "baseline.exe"))
    ctx.extra["settings"] = args.settings
    if args.settings:
        heading.append("tolva.exe runs with " + ", ".join(f"{k} = {v}" for k, v in
                                                         sorted(args.settings.items())) +
                       (" (the baseline with the defaults)" if baseline_exe else "") + ".")
    results = []
    started = time.monotonic()
    status = 0
    try:
        for w in selected:
            results += run_workload(ctx, args, w, scratch, build_dir) or []
    except BenchFailure as e:
        say(f"bench FAILED: {e}")
        status = 1
    except KeyboardInterrupt:
        say("bench: interrupted")
        status = 130
    finally:
        if args.keep:
            say(f"bench: kept {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)

    if status == 1 or not results:
        return status or 1
    rows = report.build_rows(results, machine_line[len("Machine: "):])
    if status:
        heading.append("INTERRUPTED: only the workloads finished are shown.")
    text = "\n".join(heading) + "\n\n" + report.comparison_table(rows) + "\n"
    disagree = report.disagreements(rows)
    if len(args.harnesses) > 1:
        text += ("Where the harnesses disagree beyond their ranges:\n  " +
                 "\n  ".join(disagree or ["nowhere"]) + "\n\n")
    if any(r["on_disk_median_s"] is not None for r in rows):
        text += ("Until every copy is on the disk: each tool's time plus an fsync of every "
                 "copy it made, right after it (Tolva flushes each copy before it calls it "
                 "complete; the others leave theirs in memory), median over the rounds:\n")
        text += report.on_disk_table(rows) + "\n"
    if any(r["harness"] == "bench" and r["tool"] in report.TOLVAS for r in rows):
        text += "Tolva's own figures, median over the rounds (worst answer: the worst round; " \
                "handles and answer from tolva_probe, only where it ran):\n"
        text += report.tolva_table(rows)
    lines = share_lines(results, rows) + cap_lines(results, rows, args.speed_limit)
    for w in results:
        for tool in report.TOLVAS:
            for why in w.runs.get(tool, stats.Runs()).close_killed:
                lines.append(f"{w.name} {report.TOOL_NAMES[tool]}, after a checked copy, "
                             f"{why[:300]}")
        for incident in w.incidents:
            lines.append(f"{w.name} ({w.harness}) tolva.exe, lost hand-off (that run was redone, "
                         f"the table holds the redone one): {incident[:400]}")
    if lines:
        text += "\n" + "\n".join(lines) + "\n"
    text += f"\nWhole bench: {time.monotonic() - started:.0f} s.\n"
    print(text, end="", flush=True)
    csv_path = os.path.join(out_dir, "compare.csv")
    with open(csv_path, "w") as f:
        f.write(report.to_csv(rows))
    with open(os.path.join(out_dir, "compare.txt"), "w") as f:
        f.write(text)
    print(f"CSV: {csv_path}")
    title = f"Copy speed relative to wine xcopy ({args.rounds} rounds, median)"
    if not args.no_chart and chart.draw(rows, png, title, say, machine_line):
        print(f"Chart: {png}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
