"""What the bench reads about the processes it starts: their own CPU time when they end,
a run that hangs ended at its limit, and /proc figures of a running process."""

import os
import sys
import time
import unittest

from sidebyside import procs
from sidebyside.procs import BenchFailure

PYTHON = sys.executable


class Children(unittest.TestCase):
    def test_cpu_time_of_a_busy_child_is_its_own(self):
        code, wall, cpu = procs.run(
            [PYTHON, "-c", "import time\nt=time.process_time()\n"
                           "while time.process_time()-t<0.3: pass"], timeout=30)
        self.assertEqual(code, 0)
        self.assertGreaterEqual(cpu, 0.25)
        self.assertGreaterEqual(wall, cpu * 0.9)
        # A child that sleeps costs almost nothing, however long it takes.
        code, wall, cpu = procs.run([PYTHON, "-c", "import time; time.sleep(0.3)"], timeout=30)
        self.assertGreaterEqual(wall, 0.3)
        self.assertLess(cpu, 0.2)

    def test_exit_code_and_polling(self):
        child = procs.Child([PYTHON, "-c", "import sys, time; time.sleep(0.2); sys.exit(3)"])
        self.assertFalse(child.poll())
        deadline = time.monotonic() + 30
        while not child.poll():
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.01)
        self.assertEqual(child.exit_code, 3)
        self.assertIsNotNone(child.cpu)

    def test_a_hung_run_is_killed_at_its_limit(self):
        start = time.monotonic()
        with self.assertRaisesRegex(BenchFailure, "did not end within"):
            procs.run([PYTHON, "-c", "import time; time.sleep(60)"], timeout=0.5)
        self.assertLess(time.monotonic() - start, 10)


class ProcFigures(unittest.TestCase):
    def test_own_cpu_and_peak_memory(self):
        before = procs.cpu_seconds(os.getpid())
        t = time.process_time()
        while time.process_time() - t < 0.1:
            pass
        self.assertGreater(procs.cpu_seconds(os.getpid()), before)
        self.assertGreater(procs.vm_hwm_kib(os.getpid()), 1000)

    def test_a_gone_process_has_no_figures(self):
        child = procs.Child([PYTHON, "-c", "pass"])
        child.wait(30)
        self.assertIsNone(procs.cpu_seconds(child.pid))
        self.assertIsNone(procs.vm_hwm_kib(child.pid))


if __name__ == "__main__":
    unittest.main()
