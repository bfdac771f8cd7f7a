"""Running each tool on one workload: tolva.exe driven as a user drives it (a first
start, then later starts that hand the files over), and the three copy commands."""

import os
import shutil
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

from . import procs, tolvalog
from .procs import BenchFailure, HandOffLost

# A Windows command line may hold 32,767 characters; a later start stays below it with
# room for the program path, as the Explorer menu splits a large selection.
MAX_START_CHARS = 30000
POLL_SECONDS = 0.002
# Full paths: for a bare name ("wine xcopy") Wine runs start.exe, which starts the tool
# as a process of its own that nobody waits for, and its CPU time would be lost.
XCOPY = "C:\\windows\\system32\\xcopy.exe"
CMD = "C:\\windows\\system32\\cmd.exe"


def winpath(path):
    """The Wine path of a Linux path: /tmp/x -> Z:\\tmp\\x; a path in the SMB client's
    mount of the test server (TOLVA_SMB_MOUNT_UNIX) by its UNC name, as a user names it."""
    path = os.path.abspath(path)
    mount, unc = os.environ.get("TOLVA_SMB_MOUNT_UNIX"), os.environ.get("TOLVA_SMB_SHARE")
    if mount and unc and (path == mount or path.startswith(mount + "/")):
        return unc + path[len(mount):].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")


@dataclass
class Context:
    tolva_exe: str        # the build under test, copied beside each round's data files
    probe_exe: str
    wineserver: int = None  # pid, for its CPU time
    failed_log_dir: str = None  # where the log of a failed Tolva run is kept
    baseline_exe: str = None  # a second tolva.exe measured beside it (--baseline)
    extra: dict = field(default_factory=dict)

    def exe_of(self, tool):
        return self.baseline_exe if tool == "baseline" else self.tolva_exe

    def server_cpu(self):
        return procs.cpu_seconds(self.wineserver) if self.wineserver else None


@dataclass
class Measurement:
    wall: float
    cpu_procs: float
    cpu_server: float = None
    extra: dict = field(default_factory=dict)


def _delta(before, after):
    return None if before is None or after is None else after - before


def copy_command(tool, sources, source_folder, destination):
    """The command line of a copy tool; Wine's tools get Windows paths. The folders have
    blanks in their names, so Wine quotes every path as a user would type it."""
    if tool == "xcopy":
        return ["wine", XCOPY, winpath(source_folder) + "\\*", winpath(destination), "/Y", "/Q"]
    if tool == "copy":
        return ["wine", CMD, "/c", "copy", "/Y", winpath(source_folder) + "\\*",
                winpath(destination)]
    if tool == "cp":
        return ["cp", "--"] + list(sources) + [destination + "/"]
    raise ValueError(tool)


def run_copy_tool(ctx, tool, sources, source_folder, destination, timeout):
    args = copy_command(tool, sources, source_folder, destination)
    server = ctx.server_cpu()
    code, wall, cpu = procs.run(args, timeout)
    server = _delta(server, ctx.server_cpu())
    if code != 0:
        raise BenchFailure(f"{' '.join(args[:3])} ... ended with exit code {code}")
    return Measurement(wall, cpu, server)


class TolvaInstance:
    """One fresh copy of tolva.exe (`source`, else the build under test) in `folder` (its
    tolva.info and tolva.exe.log beside it), started with no arguments and then handed
    files by later starts."""

    def __init__(self, ctx, folder, source=None):
        self.ctx = ctx
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        self.exe = os.path.join(folder, "tolva.exe")
        shutil.copyfile(source or ctx.tolva_exe, self.exe)
        self.log = tolvalog.LogFollower(self.exe + ".log")
        self.child = None
        self.windows_pid = None
        self.later_pids = []  # Linux process ids of the later starts made

    def _probe(self, *args, timeout=120):
        return run_probe(self.ctx.probe_exe, *args, timeout=timeout)

    def start(self, timeout=90):
        """Starts the first instance and waits until its window is up and its kernel idle."""
        if not display_alive():
            raise BenchFailure(f"the display {os.environ.get('DISPLAY')} is gone (was its Xvfb "
                               "ended by someone else?)")
        # Wine's own error lines go to a file: a start that dies before Tolva's log
        # exists says nothing anywhere else.
        errors = os.path.join(self.folder, "wine-errors.txt")
        with open(errors, "wb") as sink:
            self.child = procs.Child(["wine", self.exe], cwd=self.folder, start_new_session=True,
                                     stderr=sink, env=dict(os.environ, WINEDEBUG="err+all"))
        code, out = self._probe("wait", "--timeout", str(timeout * 1000))
        if code != 0:
            ended = (f"ended with exit code {self.child.exit_code}" if self.child.poll()
                     else "still running")
            with open(errors, "rb") as f:
                said = f.read()[-600:].decode(errors="replace").replace("\n", "|") or "nothing"
            raise BenchFailure(f"{self.exe} showed no window within {timeout} s (the process "
                               f"{ended}; Wine's errors: {said})")
        self.windows_pid = tolvalog.parse_pairs(out).get("pid")
        text = b""
        deadline = time.monotonic() + timeout
        while b"nothing to do" not in text:
            if time.monotonic() > deadline or self.child.poll():
                raise BenchFailure(f"{self.exe} did not become idle within {timeout} s")
            text += self.log.new_bytes()
            time.sleep(0.01)

    def copy(self, sources, destination, per_start, watch_window, timeout):
        """Timed: hands `sources` (Linux paths) over in later starts of `per_start` files,
        until the log holds one "[NAME] - complete." line per file."""
        counter = tolvalog.CompletionCounter(
            [tolvalog.task_name(os.path.basename(s)) for s in sources])
        starts = tolvalog.hand_offs([winpath(s) for s in sources], per_start, MAX_START_CHARS)
        dest = winpath(destination)
        probe = None
        if watch_window:
            probe = subprocess.Popen(
                ["wine", self.ctx.probe_exe, "watch", "--stdin", "--pid", str(self.windows_pid)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True, start_new_session=True)
            if not probe.stdout.readline().startswith("watching"):
                raise BenchFailure("tolva_probe could not watch the window")

        try:
            return self._timed(counter, starts, dest, probe, timeout)
        finally:
            if probe and probe.poll() is None:
                probe.kill()
                probe.wait()

    def _timed(self, counter, starts, dest, probe, timeout):
        server0, own0 = self.ctx.server_cpu(), procs.cpu_seconds(self.child.pid)
        start = time.perf_counter()
        deadline = time.monotonic() + timeout
        running, later_cpu, done_at = None, 0.0, None
        pending = list(starts)
        while True:
            if running is None and pending:
                running = procs.Child(["wine", self.exe, pending.pop(0), dest], cwd=self.folder)
                self.later_pids.append(running.pid)
            if running is not None and running.poll():
                if running.exit_code != 0 and not running.killed:
                    raise BenchFailure(f"a later start of tolva.exe ended with exit code "
                                       f"{running.exit_code}")
                later_cpu += running.cpu
                running = None
            if done_at is None:
                counter.feed(self.log.new_bytes())
                if counter.kernel_starts:
                    made = len(starts) - len(pending)
                    if running:
                        running.kill()  # it became an instance of its own
                    raise HandOffLost(
                        f"later start {made} of {len(starts)} started a second instance "
                        f"instead of handing over to the running one; "
                        f"{len(counter.completed)} of {len(counter.expected)} files complete")
                if counter.done:
                    done_at = time.perf_counter()
                    own1, server1 = procs.cpu_seconds(self.child.pid), self.ctx.server_cpu()
                    peak = procs.vm_hwm_kib(self.child.pid)
            if done_at is not None and running is None and not pending:
                break
            if time.monotonic() > deadline:
                if running:
                    # A later start that never ends is worth its stacks before it goes.
                    stacks = hung_program_stacks(self.ctx.failed_log_dir)
                    running.kill()
                missing = counter.missing()
                state = (f"{len(pending)} of {len(starts)} later starts not yet made, "
                         f"{'one still running' if running else 'none running'}")
                raise BenchFailure(f"{len(missing)} of {len(counter.expected)} files were not "
                                   f"complete after {timeout:.0f} s (first: {missing[:3]}; "
                                   f"{state}){stacks if running else ''}")
            if self.child.poll():
                raise BenchFailure(f"tolva.exe ended during the copy (exit code "
                                   f"{self.child.exit_code})")
            time.sleep(POLL_SECONDS)

        extra = {"peak_kib": peak}
        if probe:
            out, _ = probe.communicate("", timeout=30)  # closing stdin ends the watch
            figures = tolvalog.parse_pairs(out.strip().splitlines()[-1] if out.strip() else "")
            if "worst_answer_ms" not in figures:
                raise BenchFailure("tolva_probe printed no figures")
            extra["worst_answer_ms"] = float(figures["worst_answer_ms"])
            if "handles_peak" in figures:
                extra["handles"] = int(figures["handles_peak"])
        cpu = _delta(own0, own1)
        if cpu is None:
            raise BenchFailure("cannot read tolva.exe's CPU time from /proc")
        return Measurement(done_at - start, cpu + later_cpu, _delta(server0, server1), extra)

    def close(self, limit=60):
        """Closes the window as a user does (WM_CLOSE) and waits for the process to end.
        Its work is done and checked by then, so one that does not end within `limit` s
        is killed; returns (seconds the close took, or None when it was killed; why)."""
        if self.child is None or self.child.poll():
            return 0.0, ""
        start = time.perf_counter()
        code, out = 1, "no window"
        if self.windows_pid:
            code, out = self._probe("close", "--pid", str(self.windows_pid), "--timeout",
                                    str(limit * 1000), timeout=limit + 60)
        if code == 0 and _ended(self.child, 10):
            return time.perf_counter() - start, ""
        self.child.kill()
        _ended(self.child, 30)
        return None, (f"did not end within {limit} s of WM_CLOSE ({out.strip()}) and was "
                      f"killed; its log ends: {self.log_tail(2)}")

    def log_tail(self, lines=5):
        try:
            with open(self.exe + ".log", "rb") as f:
                text = f.read().decode("utf-8", "replace")
        except OSError:
            return "(no log)"
        return " | ".join(text.strip().splitlines()[-lines:])


def tolva_stacks(backtraces):
    """The part of winedbg's "bt all" output about tolva.exe processes' threads."""
    kept, keep = [], False
    for line in backtraces.splitlines():
        if line.startswith("Backtracing for thread"):
            keep = "tolva.exe" in line
        if keep:
            kept.append(line)
    return "\n".join(kept)


def hung_program_stacks(save_dir, timeout=60):
    """Every thread's stack of every tolva.exe in the prefix, from winedbg, for the
    failure message (and the whole "bt all" saved in `save_dir`); best effort."""
    try:
        out = subprocess.run(["wine", "winedbg"], input="bt all\nquit\n", capture_output=True,
                             text=True, errors="replace", timeout=timeout).stdout
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"; no stacks ({e})"
    if save_dir:
        os.makedirs(save_dir, exist_ok=True)
        with open(os.path.join(save_dir, "failed-run-stacks.txt"), "w") as f:
            f.write(out)
    return "; stacks of tolva.exe:\n" + (tolva_stacks(out) or "(none found)")


def run_probe(probe_exe, *args, timeout=120):
    """Runs tolva_probe to its end: (exit code, its output). The output goes through a
    file, not a pipe: a Wine background process the probe happens to start (the desktop
    window's) inherits its output and would hold a pipe open for ever."""
    with tempfile.TemporaryFile("w+") as out:
        child = procs.Child(["wine", probe_exe, *args], stdout=out, start_new_session=True)
        try:
            code = child.wait(timeout)
        except BenchFailure:
            raise BenchFailure(f"tolva_probe {args[0]} hung for {timeout} s"
                               f"{'' if display_alive() else ' (the display is gone)'}") from None
        out.seek(0)
        return code, out.read()


def warm_up_desktop(probe_exe):
    """Brings up Wine's desktop window (explorer.exe /desktop) before any timing, with
    its output sent nowhere: started by the first window of a run, it would add its own
    start to that run, and two programs that start it at the same moment can both wait
    for it for ever."""
    subprocess.run(["wine", probe_exe, "wait", "--timeout", "0"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
                   timeout=120)


def display_alive():
    """Whether the X display in DISPLAY (":N", a local one) still takes connections."""
    number = os.environ.get("DISPLAY", "").lstrip(":").split(".")[0]
    if not number.isdigit():
        return True  # not a local display we can look at: assume it is there
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(f"/tmp/.X11-unix/X{number}")
            return True
        except OSError:
            return False


def _ended(child, seconds):
    deadline = time.monotonic() + seconds
    while not child.poll():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def running_tolvas():
    """The command lines of every tolva.exe process on the machine: one left over from an
    earlier run would take a later start's files in place of the instance under test."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        text = " ".join(w.decode("utf-8", "replace") for w in words if w)
        if "tolva.exe" in text.lower():
            found.append(f"{entry}: {text[:160]}")
    return found


def run_tolva(ctx, folder, sources, destination, per_start, watch_window, timeout,
              before_copy=None, exe=None):
    """`before_copy` runs once the instance stands idle, right before the timed part;
    `exe`: the tolva.exe to run (default the build under test)."""
    instance = TolvaInstance(ctx, folder, exe)
    try:
        try:
            instance.start()
            if before_copy:
                before_copy()
            measured = instance.copy(sources, destination, per_start, watch_window, timeout)
        except BaseException as failure:
            # The first failure is the one to report; the instance only has to go.
            tail = instance.log_tail(12)
            others = running_tolvas()
            if ctx.failed_log_dir and os.path.exists(instance.exe + ".log"):
                os.makedirs(ctx.failed_log_dir, exist_ok=True)
                shutil.copyfile(instance.exe + ".log",
                                os.path.join(ctx.failed_log_dir, "failed-run-tolva.exe.log"))
            instance.close()
            if isinstance(failure, BenchFailure):
                raise type(failure)(f"{failure}; tolva.exe.log ends: {tail}; tolva.exe "
                                    f"processes then: {others or 'none'}") from None
            raise
        seconds, why = instance.close()
        if seconds is not None:
            measured.extra["close_s"] = seconds
        else:
            measured.extra["close_killed"] = why
        return measured
    finally:
        shutil.rmtree(folder, ignore_errors=True)


SCRIPT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "scripted-copy.sh")


def scripted_command(ctx, tool, sources, source_folder, destination, per_start, folder):
    """The command line of bench/scripted-copy.sh for one tool's timed run; for Tolva
    the Windows paths of `sources` go into a list file in `folder`."""
    if tool in ("tolva", "baseline"):
        os.makedirs(folder, exist_ok=True)
        listing = os.path.join(folder, "sources.txt")
        with open(listing, "w") as f:
            f.write("".join(winpath(s) + "\n" for s in sources))
        return [SCRIPT, "tolva", ctx.exe_of(tool), ctx.probe_exe, os.path.join(folder, "run"),
                listing, winpath(destination), destination, str(per_start)]
    if tool in ("xcopy", "copy"):
        return [SCRIPT, tool, winpath(source_folder), winpath(destination), destination]
    if tool == "cp":
        return [SCRIPT, tool, source_folder, destination]
    raise ValueError(tool)


def run_scripted(ctx, tool, sources, source_folder, destination, per_start, folder, timeout):
    """One run through the plain script: only its own clock's wall time is known."""
    if tool in ("tolva", "baseline") and per_start * max(len(winpath(s)) + 1 for s in sources) \
            > MAX_START_CHARS:
        raise BenchFailure(f"{per_start} files do not fit one later start's command line")
    args = scripted_command(ctx, tool, sources, source_folder, destination, per_start, folder)
    with tempfile.TemporaryFile("w+") as out, tempfile.TemporaryFile("w+") as err:
        child = procs.Child(args, stdout=out, stderr=err, start_new_session=True)
        try:
            code = child.wait(timeout)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        out.seek(0)
        err.seek(0)
        pairs = tolvalog.parse_pairs(out.read().replace("\n", " "))
        why = err.read().strip()[-400:]
    if code == 3:
        raise HandOffLost(why)
    if code != 0 or "wall" not in pairs:
        raise BenchFailure(f"scripted-copy.sh {tool} ended with exit code {code}: {why}")
    return Measurement(float(pairs["wall"]), None)
