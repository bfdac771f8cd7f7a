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


def describe():
    memory = _memory_gib()
    return (f"{_cpu_model()}, {os.cpu_count()} cores, "
            f"{memory:.1f} GiB memory, Linux {platform.release()}, {_wine_version()}, "
            f"{time.strftime('%Y-%m-%d %H:%M %Z')}")
