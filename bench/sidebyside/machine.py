"""A one-paragraph description of the machine the numbers come from."""

import os
import platform
import subprocess
import time


def _cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def _memory_gib():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) / 1024 / 1024
    except OSError:
        pass
    return None


def _wine_version():
    try:
        out = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30,
                             stdin=subprocess.DEVNULL)
        return out.stdout.strip() or "unknown Wine"
    except (OSError, subprocess.SubprocessError):
        return "no Wine"


def _read_int(path):
    try:
        with open(path) as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def _free_page_reporting(folder="/sys/module/page_reporting/parameters"):
    """On a virtual machine that hands free memory back to its host, a copy that lands in
    such memory pays for the host to give it back: big copies then vary from round to
    round, for every tool alike. Says so, with the kernel's settings, or "" elsewhere."""
    order = _read_int(os.path.join(folder, "page_reporting_order"))
    if order is None:
        return ""
    text = f", free memory handed back to the host in blocks of {4 << order >> 10} MiB"
    delay = _read_int(os.path.join(folder, "min_free_ms"))
    return text + (f" once free for {delay} ms" if delay is not None else "")


def describe():
    memory = _memory_gib()
    return (f"{_cpu_model()}, {os.cpu_count()} cores, "
            f"{memory:.1f} GiB memory{_free_page_reporting()}, Linux {platform.release()}, "
            f"{_wine_version()}, {time.strftime('%Y-%m-%d %H:%M %Z')}")
