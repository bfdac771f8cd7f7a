"""Summaries of repeated runs, and the figures derived from them."""

GIB = 1024 ** 3
MIB = 1024 ** 2


def median(values):
    """The middle value (the mean of the two middle ones for an even count)."""
    ordered = sorted(values)
    if not ordered:
        raise ValueError("median of no values")
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2


def speed_ratio(tolva_seconds, other_seconds):
    """How many times faster Tolva was than the other tool (>1: Tolva is faster).
    None when either time is missing or not positive."""
    if not tolva_seconds or not other_seconds or tolva_seconds <= 0 or other_seconds <= 0:
        return None
    return other_seconds / tolva_seconds


def mb_per_s(nbytes, seconds):
    """10**6 bytes per second, the unit the engine benchmarks use."""
    return nbytes / seconds / 1e6 if seconds > 0 else None


def ms_per_gib(cpu_seconds, nbytes):
    return cpu_seconds * 1e3 / (nbytes / GIB) if nbytes > 0 else None


class Runs:
    """The measurements of one tool on one workload, one entry per round."""

    def __init__(self):
        self.wall = []
        self.cpu_procs = []      # user+sys of the processes the bench started
        self.cpu_server = []     # the wineserver's user+sys over the run
        self.extra = {}          # name -> [values], e.g. peak memory
        self.close_killed = []   # why an instance had to be killed after its work

    def add(self, wall, cpu_procs, cpu_server, **extra):
        self.wall.append(wall)
        self.cpu_procs.append(cpu_procs)
        self.cpu_server.append(cpu_server)
        for key, value in extra.items():
            if key == "close_killed":
                self.close_killed.append(value)
            elif value is not None:
                self.extra.setdefault(key, []).append(value)

    def __len__(self):
        return len(self.wall)

    def wall_median(self):
        return median(self.wall) if self.wall else None

    def cpu_median(self):
        """Median of the rounds' total CPU (processes + wineserver), and of each of the two;
        None for what was not measured."""
        servers = [s for s in self.cpu_server if s is not None]
        server = median(servers) if servers else None
        if not self.wall or None in self.cpu_procs:  # a harness that cannot see them
            return None, None, server
        totals = [p + (s or 0) for p, s in zip(self.cpu_procs, self.cpu_server)]
        return median(totals), median(self.cpu_procs), server

    def extra_median(self, key):
        values = self.extra.get(key)
        return median(values) if values else None

    def extra_max(self, key):
        values = self.extra.get(key)
        return max(values) if values else None
