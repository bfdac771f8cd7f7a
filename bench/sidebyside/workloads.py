"""The workloads: which files, how they are handed to Tolva, which tools copy them;
making their random sources, emptying a destination, and checking a copy."""

import os
import shutil
import time
from dataclasses import dataclass, field

from .procs import BenchFailure

KIB, MIB, GIB = 1024, 1024 ** 2, 1024 ** 3
ALL_TOOLS = ("tolva", "xcopy", "copy", "cp")


@dataclass
class Workload:
    name: str            # W1 ... W4, scale-N
    label: str           # as printed
    count: int
    size: int            # bytes per file
    per_start: int = 500  # files per later start of tolva.exe (if they fit the line)
    tools: tuple = ALL_TOOLS
    on_share: bool = False  # sources read through the slow test share
    share_delay_ms: int = 2  # what the share adds to every read request
    one_read_bound: bool = False  # compared with one chunk read at a time, back to back
    on_samba: bool = False  # sources on a real SMB server, by UNC path
    probe: bool = False     # watch Tolva's window and handles during its runs
    group: str = ""         # what --only may name besides the workload's own name
    files: list = field(default_factory=list)

    @property
    def total(self):
        return self.count * self.size

    def file_names(self):
        return [f"{self.name.lower()}-{i:05d}.bin" for i in range(self.count)]


def size_text(n):
    for unit, scale in (("GiB", GIB), ("MiB", MIB), ("KiB", KIB)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def _make(name, count, size, **kw):
    label = kw.pop("label", None) or f"{name} {count} x {size_text(size)}"
    return Workload(name, label, count, size, **kw)


def plan(quick):
    """Every workload, in the order they run; `quick` makes each one tiny."""
    # S1 and S2 come from a real SMB server (Samba through the smbnetfs client): every
    # tool but cp, which reads the client's mount, gets \\fileserver\public paths.
    samba = dict(on_samba=True, tools=("tolva", "xcopy", "cp"), group="samba")
    # W5: one big file over a slow link (a branch office over a VPN), 5 ms per request.
    slow_link = dict(on_share=True, share_delay_ms=5, one_read_bound=True,
                     tools=("tolva", "xcopy", "cp"))
    if quick:
        w = [_make("W1", 1, 4 * MIB), _make("W2", 4, 1 * MIB),
             _make("W3", 40, 16 * KIB, per_start=10, probe=True),
             _make("W4", 8, 512 * KIB, on_share=True),
             _make("W5", 1, 8 * MIB, **slow_link),
             _make("S1", 1, 4 * MIB, **samba), _make("S2", 20, 64 * KIB, **samba)]
        scale = (10, 50)
    else:
        w = [_make("W1", 1, GIB), _make("W2", 16, 64 * MIB),
             _make("W3", 2000, 16 * KIB, probe=True),
             _make("W4", 8, 32 * MIB, on_share=True),
             _make("W5", 1, 128 * MIB, **slow_link),
             _make("S1", 1, 256 * MIB, **samba), _make("S2", 500, 64 * KIB, **samba)]
        scale = (10, 100, 1000, 5000)
    for n in scale:
        w.append(_make(f"scale-{n}", n, 64 * KIB, label=f"scale {n} x 64 KiB",
                       tools=("tolva", "xcopy"), probe=True, group="scale"))
    return w


def select(workloads, only):
    """The workloads named in `only` ('W3,scale' or 'scale-100'); all when empty."""
    if not only:
        return list(workloads)
    wanted = {name.strip().lower() for name in only.split(",") if name.strip()}
    known = {w.name.lower() for w in workloads} | {w.group for w in workloads if w.group}
    unknown = wanted - known
    if unknown:
        raise ValueError("unknown workload(s): " + ", ".join(sorted(unknown)) +
                         "; known: " + ", ".join(sorted(known)))
    return [w for w in workloads if w.name.lower() in wanted or w.group in wanted]


def round_order(items, r):
    """The order of round `r`: turned by `r`, and backwards in every other round, so that
    no tool always runs right after the same one. The one after a tool that left a
    gigabyte for the disk pays for it: one build timed as two tools in a fixed order took
    1.27 s in the first place and 0.94 s in the second (W1, 5 rounds)."""
    items = list(items) if r % 2 == 0 else list(reversed(items))
    by = r % len(items)
    return items[by:] + items[:by]


def make_sources(folder, workload):
    """Writes the workload's files of random bytes (nothing a tool could skip or
    compress) into `folder`; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = []
    for name in workload.file_names():
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            left = workload.size
            while left:
                n = min(left, 8 * MIB)
                f.write(os.urandom(n))
                left -= n
        paths.append(path)
    return paths


def page_cache(paths):
    """Reads every file once, so that no tool pays for the disk and the others not."""
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.read(8 * MIB):
                pass


def empty(folder):
    """Removes everything in `folder` and flushes, so the next run starts alike. Every
    tool's timed run must follow it at once: on a virtual machine that hands free memory
    back to its host (Linux free page reporting), how long ago memory was freed changes
    what writing a copy into it costs (measured one night: a 1 GiB copy took 0.19-0.20 s
    right after the delete, 0.69-0.85 s when 3 s passed in between)."""
    os.makedirs(folder, exist_ok=True)
    for entry in os.scandir(folder):
        if entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path)
        else:
            os.unlink(entry.path)
    os.sync()


def flush_seconds(folder):
    """How long it takes to put every file in `folder` on the disk (an fsync each): what
    a tool that leaves its copies in memory still owes when it ends."""
    start = time.perf_counter()
    for entry in os.scandir(folder):
        if entry.is_file(follow_symlinks=False):
            fd = os.open(entry.path, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
    return time.perf_counter() - start


def verify(sources, folder):
    """Every source's copy in `folder` must hold the same bytes; BenchFailure names the
    first file that is missing or differs (and where)."""
    for source in sources:
        copy = os.path.join(folder, os.path.basename(source))
        try:
            theirs = open(copy, "rb")
        except FileNotFoundError:
            raise BenchFailure(f"{copy} is missing") from None
        with open(source, "rb") as ours, theirs:
            offset = 0
            while True:
                a, b = ours.read(MIB), theirs.read(MIB)
                if a != b:
                    at = offset + next((i for i, (x, y) in enumerate(zip(a, b)) if x != y),
                                       min(len(a), len(b)))
                    raise BenchFailure(f"{copy} differs from its source {source} "
                                       f"from byte {at} on")
                if not a:
                    break
                offset += len(a)
    extra = set(os.listdir(folder)) - {os.path.basename(s) for s in sources}
    if extra:
        raise BenchFailure(f"{folder} holds files no source has: {sorted(extra)[:3]}")
