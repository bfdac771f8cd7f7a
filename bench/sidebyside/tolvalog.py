"""Reading Tolva's log as it grows, and cutting a file list into later starts."""

import os
import re

COMPLETE = re.compile(r"\[(.*)\] - complete\.$")
# Logged once by every instance that starts its kernel.
KERNEL_START = "start downloader thread"


def task_name(file_name):
    """The name Tolva gives a task: the file name without its last extension."""
    base = file_name.replace("\\", "/").rsplit("/", 1)[-1]
    pieces = base.rsplit(".", 1)
    return pieces[0] if len(pieces) == 2 and pieces[0] else base


class CompletionCounter:
    """Counts the distinct expected tasks that the log reports complete. Fed the log's
    bytes as they arrive; a line cut in two by a read is joined with its end."""

    def __init__(self, names):
        self.expected = set(names)
        if len(self.expected) != len(names):
            raise ValueError("two files would get the same task name")
        self.completed = set()
        self._tail = b""
        self.lines = 0
        self.kernel_starts = 0

    def feed(self, data):
        text = self._tail + data
        *whole, self._tail = text.split(b"\n")
        for raw in whole:
            self.lines += 1
            line = raw.decode("utf-8", "replace").rstrip("\r")
            if line.endswith(KERNEL_START):
                self.kernel_starts += 1
            match = COMPLETE.search(line)
            if match and match.group(1) in self.expected:
                self.completed.add(match.group(1))

    @property
    def done(self):
        return self.completed == self.expected

    def missing(self):
        return sorted(self.expected - self.completed)


class LogFollower:
    """Reads only what was added to a file since the last look (the file may not exist
    yet); a look costs one stat when nothing changed."""

    def __init__(self, path):
        self.path = path
        self.offset = 0

    def new_bytes(self):
        try:
            size = os.stat(self.path).st_size
        except FileNotFoundError:
            return b""
        if size <= self.offset:
            return b""
        with open(self.path, "rb") as log:
            log.seek(self.offset)
            data = log.read(size - self.offset)
        self.offset += len(data)
        return data


def hand_offs(sources, per_start, max_chars):
    """Groups the Windows paths into first arguments of later starts: at most
    `per_start` paths joined by ';' and at most `max_chars` characters each."""
    groups, current, length = [], [], 0
    for path in sources:
        if ";" in path:
            raise ValueError("a source path holds ';': " + path)
        if len(path) > max_chars:
            raise ValueError("a source path alone is longer than a start may be: " + path)
        added = len(path) + (1 if current else 0)
        if current and (len(current) >= per_start or length + added > max_chars):
            groups.append(";".join(current))
            current, length, added = [], 0, len(path)
        current.append(path)
        length += added
    if current:
        groups.append(";".join(current))
    return groups


def parse_pairs(line):
    """'a=1 b=x' -> {'a': '1', 'b': 'x'} (the probe programs' output)."""
    pairs = {}
    for word in line.split():
        if "=" in word:
            key, value = word.split("=", 1)
            pairs[key] = value
    return pairs
