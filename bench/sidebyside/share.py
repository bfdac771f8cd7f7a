"""The misbehaving FUSE test share (tests/testshare), mounted for the slow-share workload."""

import os
import subprocess
import time


class ShareUnavailable(Exception):
    pass


class TestShare:
    """Mounts the share over `backing` at `mountpoint` for the life of the `with`."""

    def __init__(self, daemon, backing, mountpoint, log_path):
        self.daemon, self.backing, self.mountpoint = daemon, backing, mountpoint
        self.log_path = log_path
        self.process = None

    def __enter__(self):
        if not os.path.exists("/dev/fuse"):
            raise ShareUnavailable("/dev/fuse is missing")
        if not os.access(self.daemon, os.X_OK):
            raise ShareUnavailable(f"{self.daemon} was not built (needs libfuse3-dev, pkg-config)")
        os.makedirs(self.backing, exist_ok=True)
        os.makedirs(self.mountpoint, exist_ok=True)
        self._log = open(self.log_path, "ab")
        self.process = subprocess.Popen([self.daemon, self.backing, self.mountpoint],
                                        stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=self._log)
        deadline = time.monotonic() + 10
        while not os.path.ismount(self.mountpoint):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.__exit__(None, None, None)
                raise ShareUnavailable("the share did not mount (see " + self.log_path + ")")
            time.sleep(0.02)
        return self

    def control(self, command):
        """One command to the share, e.g. 'delay-read * 2'."""
        with open(os.path.join(self.mountpoint, ".control"), "w") as f:
            f.write(command + "\n")

    def __exit__(self, *exc):
        if self.process is None:
            return False
        if os.path.ismount(self.mountpoint):
            try:
                self.control("reset")  # let every waiting request go before unmounting
            except OSError:
                pass
            if subprocess.run(["fusermount3", "-u", self.mountpoint],
                              stderr=subprocess.DEVNULL).returncode:
                subprocess.run(["fusermount3", "-uz", self.mountpoint], stderr=subprocess.DEVNULL)
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        self.process = None
        return False
