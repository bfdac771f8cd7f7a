"""Linux-side process figures: CPU time, peak memory, the prefix's wineserver, and
starting a program so that its own CPU time can be read when it ends."""

import os
import signal
import subprocess
import threading
import time

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


class BenchFailure(Exception):
    """A run that makes the whole bench worthless (a wrong copy, a tool that failed)."""


class HandOffLost(BenchFailure):
    """A later start of tolva.exe did not reach the running instance and started a
    second one: a fault of the program worth reporting, after which the run is redone."""


def _stat_fields(pid):
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    # The command name may hold spaces and parentheses: the fields start after the last ')'.
    return text[text.rindex(")") + 2:].split()


def cpu_seconds(pid):
    """User + system time of every thread of the process so far; None once it is gone."""
    try:
        fields = _stat_fields(pid)
    except (OSError, ValueError):
        return None
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def vm_hwm_kib(pid):
    """The process's peak resident memory (VmHWM), in KiB; None when unknown."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def wineserver_pid(prefix):
    """The wineserver serving `prefix`: it works in a folder named after the prefix's
    device and inode, server-<dev>-<inode>. None when none runs."""
    st = os.stat(prefix)
    folder = "server-%x-%x" % (st.st_dev, st.st_ino)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            exe = os.path.basename(os.readlink(f"/proc/{entry}/exe"))
            cwd = os.path.basename(os.readlink(f"/proc/{entry}/cwd"))
        except OSError:
            continue
        if exe.startswith("wineserver") and cwd == folder:
            return int(entry)
    return None


class Child:
    """A started program whose end is collected with wait4, so that its user and system
    time (and that of the children it waited for) are known."""

    def __init__(self, args, **popen_args):
        popen_args.setdefault("stdin", subprocess.DEVNULL)
        popen_args.setdefault("stdout", subprocess.DEVNULL)
        popen_args.setdefault("stderr", subprocess.DEVNULL)
        self.args = args
        self.popen = subprocess.Popen(args, **popen_args)
        self.pid = self.popen.pid
        self.exit_code = None
        self.cpu = None
        self.killed = False

    def _collect(self, flags):
        pid, status, usage = os.wait4(self.pid, flags)
        if pid == 0:
            return False
        self.exit_code = os.waitstatus_to_exitcode(status)
        self.cpu = usage.ru_utime + usage.ru_stime
        self.popen.returncode = self.exit_code  # tell Popen the child is gone
        return True

    def poll(self):
        """True once the program has ended (and its figures are in)."""
        return self.exit_code is not None or self._collect(os.WNOHANG)

    def wait(self, timeout):
        """Blocks until the end, without polling; kills the program after `timeout` s
        and raises BenchFailure."""
        if self.exit_code is not None:
            return self.exit_code
        timer = threading.Timer(timeout, self.kill)
        timer.start()
        try:
            self._collect(0)
        finally:
            timer.cancel()
        if self.exit_code == -signal.SIGKILL and self.killed:
            raise BenchFailure(f"{self.args[0:2]} did not end within {timeout:.0f} s")
        return self.exit_code

    def kill(self):
        if self.exit_code is None:
            self.killed = True
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def run(args, timeout, **popen_args):
    """Runs a program to its end: (exit code, wall seconds, CPU seconds)."""
    start = time.perf_counter()
    child = Child(args, **popen_args)
    code = child.wait(timeout)
    return code, time.perf_counter() - start, child.cpu
