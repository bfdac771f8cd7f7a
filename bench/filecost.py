#!/usr/bin/python3
"""Where a small file's time goes: Tolva against wine xcopy on many small files, per file.

Run it through `scripts/bench --cost [--files N] [--size BYTES] [--per-start N]
[--rounds N] [--tolva PATH]`, which builds everything and brings up Wine first. Two
phases on the same random files:

1. Plain runs (the wineserver as always), tools in turn: wall time and CPU per file, of
   the processes (for Tolva: the running instance over the timed span plus its later
   starts) and of the wineserver.
2. Traced runs, once per tool: the prefix's wineserver restarted with its request trace
   on (Wine's +server channel, `wineserver -d1`) and the tool's main process under
   `strace -f -c`. Counted per file over the timed span: wineserver requests (by
   process and by request), list-file rewrites (creations of tolva.info.tmp), log lines,
   posted window messages (send_message requests), threads started, and the Linux
   system calls of the process (futex calls are the threads handing work to each other).

Tracing slows everything down; only the plain runs' times mean anything.
"""

import argparse
import collections
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sidebyside import machine, procs, stats, tools, workloads  # noqa: E402
from sidebyside.procs import BenchFailure  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REQUEST = re.compile(r"^([0-9a-f]{4,8}): ([a-z_0-9]+)\( ?(.*)$")
UNIX_TID = re.compile(r"unix_tid=(\d+)")


def say(text):
    print(text, file=sys.stderr, flush=True)


class ServerTrace:
    """Request counts from a `wineserver -d1` trace between two offsets of its file.
    A request line is "TID: name( args )"; its reply "TID: name() = STATUS {...}"."""

    def __init__(self, path):
        self.path = path

    def offset(self):
        return os.path.getsize(self.path)

    def count(self, start, end, classify):
        """{class: Counter(request name)} for requests in [start, end), each thread put
        in a class by `classify(unix_tid, started_in_span)`; plus {class: [lines]} of the
        requests whose details are wanted (create_file, send_message, new_thread)."""
        threads = {}
        counts = collections.defaultdict(collections.Counter)
        details = collections.defaultdict(list)
        with open(self.path, "rb") as f:
            position = 0
            for raw in f:
                line = raw.decode("utf-8", "replace")
                position += len(raw)
                if position > end:
                    break
                m = REQUEST.match(line)
                if not m or m.group(3).startswith(") ="):
                    continue
                tid, name, args = m.groups()
                if name in ("init_first_thread", "init_thread"):
                    unix_tid = UNIX_TID.search(args)
                    if unix_tid:  # thread ids are used again: the latest start counts
                        threads[tid] = (int(unix_tid.group(1)), position > start)
                if position <= start:
                    continue
                cls = classify(*threads.get(tid, (None, False)))
                counts[cls][name] += 1
                if name in ("create_file", "send_message", "new_thread"):
                    details[cls].append(line)
        return counts, details


def task_ids(pid):
    """The Linux thread ids of a running process."""
    try:
        return {int(t) for t in os.listdir(f"/proc/{pid}/task")}
    except OSError:
        return set()


def start_server(trace_path=None):
    """(Re)starts the prefix's persistent wineserver, tracing requests into `trace_path`."""
    subprocess.run(["wineserver", "-k"], stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], stderr=subprocess.DEVNULL)
    args = ["wineserver", "-p", "-f"] + (["-d1"] if trace_path else [])
    err = open(trace_path, "wb") if trace_path else subprocess.DEVNULL
    subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                     start_new_session=True)
    deadline = time.monotonic() + 30
    while procs.wineserver_pid(os.environ["WINEPREFIX"]) is None:
        if time.monotonic() > deadline:
            raise BenchFailure("the wineserver did not start")
        time.sleep(0.05)
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    return procs.wineserver_pid(os.environ["WINEPREFIX"])


class Strace:
    """`strace -f -c` attached to a running process until stopped: its system calls."""

    def __init__(self, pid, path):
        self.path = path
        self.child = subprocess.Popen(["strace", "-f", "-c", "-o", path, "-p", str(pid)],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # attached to every thread

    def stop(self):
        self.child.send_signal(signal.SIGINT)
        self.child.wait(timeout=60)
        return read_strace_summary(self.path)


def read_strace_summary(path):
    """{syscall: calls} from `strace -c` output."""
    calls = {}
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return calls
    for line in text.splitlines():
        cells = line.split()
        if len(cells) >= 5 and cells[0][0].isdigit() and cells[-1] != "total":
            try:
                calls[cells[-1]] = int(cells[3])
            except ValueError:
                pass
    return calls


def tolva_run(ctx, scratch, sources, destination, per_start, tag, trace=None):
    folder = os.path.join(scratch, f"tolva {tag}")
    instance = tools.TolvaInstance(ctx, folder)
    found = {}
    try:
        instance.start()
        workloads.empty(destination)
        log_before = os.path.getsize(instance.exe + ".log")
        strace = start = None
        if trace:
            strace = Strace(instance.child.pid, os.path.join(scratch, f"strace tolva {tag}"))
            start = trace.offset()
            threads_before = task_ids(instance.child.pid)
        m = instance.copy(sources, destination, per_start, False, 600)
        later = instance.later_pids
        if trace:
            end = trace.offset()
            mine = task_ids(instance.child.pid) | threads_before
            found["syscalls"] = strace.stop()
            found["requests"], found["details"] = trace.count(
                start, end, lambda tid, new: "instance" if tid in mine else
                ("later starts" if new else "other"))
        with open(instance.exe + ".log", "rb") as f:
            f.seek(log_before)
            found["log_lines"] = f.read().count(b"\n")
        found["wall"], found["cpu"], found["server"] = m.wall, m.cpu_procs, m.cpu_server
        found["starts"] = len(later)
    finally:
        instance.close()
        shutil.rmtree(folder, ignore_errors=True)
    workloads.verify(sources, destination)
    return found


def xcopy_run(ctx, source_folder, destination, scratch, tag, trace=None):
    workloads.empty(destination)
    args = tools.copy_command("xcopy", [], source_folder, destination)
    found = {}
    if trace:
        path = os.path.join(scratch, f"strace xcopy {tag}")
        args = ["strace", "-f", "-c", "-o", path] + args
        start = trace.offset()
    server = ctx.server_cpu()
    child = procs.Child(args)
    child.wait(600)
    found["wall"], found["cpu"] = None, child.cpu
    found["server"] = ctx.server_cpu() - server
    if trace:
        end = trace.offset()
        found["syscalls"] = read_strace_summary(path)
        # Every thread that started in the span is xcopy's (or strace's, which makes none).
        found["requests"], found["details"] = trace.count(
            start, end, lambda tid, new: "xcopy" if new else "other")
    return found


def per_file(value, files):
    return "-" if value is None else f"{value / files:.2f}"


def main(argv):
    p = argparse.ArgumentParser(prog="scripts/bench --cost", description=__doc__.split("\n\n")[0])
    p.add_argument("--files", type=int, default=2000)
    p.add_argument("--size", type=int, default=16 * 1024)
    p.add_argument("--per-start", type=int, default=500)
    p.add_argument("--rounds", type=int, default=3, help="plain runs per tool (median)")
    p.add_argument("--tolva", default=None)
    p.add_argument("--build-dir", default=os.environ.get("BUILD_DIR", os.path.join(ROOT, "build")))
    p.add_argument("--keep", action="store_true", help="keep the traces")
    args = p.parse_args(argv)
    build_dir = os.path.abspath(args.build_dir)
    tolva_exe = os.path.abspath(args.tolva or os.path.join(build_dir, "tolva", "tolva.exe"))
    probe_exe = os.path.join(build_dir, "bench", "tolva_probe.exe")
    if not shutil.which("strace"):
        say("bench --cost: needs strace (apt-get install strace)")
        return 2
    n = args.files
    scratch = tempfile.mkdtemp(prefix="tolva cost.", dir=os.environ.get("TMPDIR", "/tmp"))
    print("Machine: " + machine.describe())
    print(f"Per-file cost: {n} x {args.size} B, Tolva in later starts of {args.per_start}; "
          f"tolva.exe {tolva_exe}")
    try:
        w = workloads.Workload("C", "C", n, args.size)
        source_folder = os.path.join(scratch, "src")
        sources = workloads.make_sources(source_folder, w)
        workloads.page_cache(sources)
        destination = os.path.join(scratch, "dst")
        ctx = tools.Context(tolva_exe, probe_exe, start_server())
        tools.warm_up_desktop(probe_exe)

        plain = {"tolva": [], "xcopy": []}
        for r in range(args.rounds):
            plain["tolva"].append(tolva_run(ctx, scratch, sources, destination, args.per_start,
                                            f"plain {r}"))
            start = time.perf_counter()
            x = xcopy_run(ctx, source_folder, destination, scratch, f"plain {r}")
            x["wall"] = time.perf_counter() - start
            workloads.verify(sources, destination)
            plain["xcopy"].append(x)
            say(f"round {r + 1}: tolva {plain['tolva'][-1]['wall']:.3f} s, xcopy {x['wall']:.3f} s")

        trace_path = os.path.join(scratch, "server trace")
        ctx.wineserver = start_server(trace_path)
        tools.warm_up_desktop(probe_exe)
        trace = ServerTrace(trace_path)
        traced = {"tolva": tolva_run(ctx, scratch, sources, destination, args.per_start,
                                     "traced", trace),
                  "xcopy": xcopy_run(ctx, source_folder, destination, scratch, "traced", trace)}
        workloads.verify(sources, destination)
        print_report(n, plain, traced)
    finally:
        start_server()
        if args.keep:
            say(f"kept {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    return 0


def print_report(n, plain, traced):
    print("\nPlain runs, median (per file: ms of wall time and CPU):")
    for tool, runs in plain.items():
        wall = stats.median([r["wall"] for r in runs])
        cpu = stats.median([r["cpu"] for r in runs])
        server = stats.median([r["server"] for r in runs])
        print(f"  {tool:<6} wall {wall:.3f} s [{min(r['wall'] for r in runs):.3f}-"
              f"{max(r['wall'] for r in runs):.3f}] = {wall * 1e3 / n:.2f} ms/file; "
              f"CPU {cpu * 1e3 / n:.2f} ms/file (processes) + {server * 1e3 / n:.2f} "
              f"(wineserver)")
    print("\nTraced runs, per file:")
    for tool, found in traced.items():
        requests = found["requests"]
        mine = {c: sum(v.values()) for c, v in requests.items() if c != "other"}
        print(f"  {tool}: wineserver requests {per_file(sum(mine.values()), n)} "
              f"({', '.join(f'{c} {per_file(v, n)}' for c, v in sorted(mine.items()))}; "
              f"other processes {per_file(sum(requests.get('other', {}).values()), n)})")
        for cls in sorted(requests):
            top = requests[cls].most_common(14)
            print(f"    {cls}: " + ", ".join(f"{name} {per_file(v, n)}" for name, v in top))
        details = [line for c in mine for line in found["details"].get(c, [])]
        rewrites = sum(1 for line in details if line.split(": ", 1)[1].startswith("create_file(")
                       and "tolva.info.tmp" in line)
        posted = collections.Counter(
            re.sub(r".*msg=([0-9a-f]+).*", r"\1", line.strip())
            for line in details if ": send_message(" in line)
        threads = sum(1 for line in details if ": new_thread(" in line)
        if tool == "tolva":
            print(f"    list-file rewrites {per_file(rewrites, n)}, log lines "
                  f"{per_file(found['log_lines'], n)}, later starts {found['starts']}")
        print(f"    send_message (window notices) {per_file(sum(posted.values()), n)} by "
              "message: " + ", ".join(f"{m} {per_file(v, n)}" for m, v in posted.most_common(6))
              + f"; threads started {threads}")
        calls = found["syscalls"]
        top = sorted(calls.items(), key=lambda kv: -kv[1])[:12]
        disk = [f"{name} {per_file(calls[name], n)}" for name in ("fsync", "fdatasync")
                if name in calls]
        print(f"    Linux calls of the {'instance' if tool == 'tolva' else 'process'}: "
              + ", ".join(f"{name} {per_file(v, n)}" for name, v in top) +
              f"; to the disk: {', '.join(disk) or 'no fsync'}"
              # A name Wine does not find at once is looked for through the whole folder.
              f"; folder reads (getdents64) {per_file(calls.get('getdents64', 0), n)}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
