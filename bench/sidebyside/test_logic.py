"""The side-by-side driver's own logic: summaries, the log reading that stops Tolva's
clock, cutting the file list into starts, the table, the CSV and the chart data."""

import csv
import io
import os
import tempfile
import unittest
import unittest.mock

from sidebyside import chart, report, stats, tolvalog, tools, workloads
from sidebyside.procs import BenchFailure


class Summaries(unittest.TestCase):
    def test_median_of_odd_and_even_counts_ignores_order_and_outliers(self):
        self.assertEqual(stats.median([5, 1, 100, 2, 3]), 3)
        self.assertEqual(stats.median([4, 1, 3, 2]), 2.5)
        self.assertEqual(stats.median([7]), 7)
        with self.assertRaises(ValueError):
            stats.median([])

    def test_speed_ratio_is_above_one_when_tolva_is_faster(self):
        self.assertEqual(stats.speed_ratio(tolva_seconds=2.0, other_seconds=6.0), 3.0)
        self.assertEqual(stats.speed_ratio(tolva_seconds=4.0, other_seconds=1.0), 0.25)
        for missing in ((None, 1.0), (1.0, None), (0, 1.0), (1.0, 0)):
            self.assertIsNone(stats.speed_ratio(*missing))

    def test_throughput_and_cpu_per_gib(self):
        self.assertAlmostEqual(stats.mb_per_s(2_000_000, 0.5), 4.0)
        self.assertAlmostEqual(stats.ms_per_gib(0.25, stats.GIB // 2), 500.0)

    def test_runs_sum_process_and_server_cpu_per_round_before_the_median(self):
        runs = stats.Runs()
        runs.add(1.0, 0.1, 0.9)
        runs.add(3.0, 0.5, 0.1)
        runs.add(2.0, 0.2, 0.2, peak_kib=100)
        # Totals 1.0, 0.6, 0.4: the median is a real round's total, not a sum of medians.
        total, procs, server = runs.cpu_median()
        self.assertAlmostEqual(total, 0.6)
        self.assertAlmostEqual(procs, 0.2)
        self.assertAlmostEqual(server, 0.2)
        self.assertEqual(runs.wall_median(), 2.0)
        self.assertEqual(runs.extra_median("peak_kib"), 100)
        self.assertIsNone(runs.extra_median("handles"))


class TolvaLog(unittest.TestCase):
    def test_task_names_drop_only_the_last_extension(self):
        self.assertEqual(tolvalog.task_name("w3-00001.bin"), "w3-00001")
        self.assertEqual(tolvalog.task_name("a.tar.gz"), "a.tar")
        self.assertEqual(tolvalog.task_name("README"), "README")
        self.assertEqual(tolvalog.task_name("Z:\\x y\\f.bin"), "f")

    def test_counts_each_expected_file_once_across_cut_lines(self):
        counter = tolvalog.CompletionCounter(["a", "b", "c.d"])
        log = (b"12/08/26 11:30:40 -- [a] - task is ready\r\n"
               b"12/08/26 11:30:40 -- [a] - complete.\r\n"
               b"12/08/26 11:30:40 -- [a] - complete.\r\n"       # again: still one
               b"12/08/26 11:30:40 -- [zz] - complete.\r\n"      # not ours
               b"12/08/26 11:30:40 -- [b] - complete. later\r\n"  # not the line's end
               b"12/08/26 11:30:41 -- [c.d] - compl")
        counter.feed(log[:50])
        counter.feed(log[50:])
        self.assertEqual(counter.completed, {"a"})
        self.assertFalse(counter.done)
        self.assertEqual(counter.missing(), ["b", "c.d"])
        counter.feed(b"ete.\r\n")  # the end of the cut line arrives
        counter.feed(b"x -- [b] - complete.\n")
        self.assertTrue(counter.done)

    def test_a_line_without_its_end_does_not_count_yet(self):
        counter = tolvalog.CompletionCounter(["a"])
        counter.feed(b"-- [a] - complete.")
        self.assertFalse(counter.done)
        counter.feed(b"\n")
        self.assertTrue(counter.done)

    def test_a_second_instance_shows_as_a_second_kernel_start(self):
        counter = tolvalog.CompletionCounter(["a"])
        counter.feed(b"x -- start downloader thread\r\nx -- add task: a\r\n")
        self.assertEqual(counter.kernel_starts, 1)
        counter.feed(b"x -- [a] - start downloader thread later\r\n")
        self.assertEqual(counter.kernel_starts, 1)

    def test_two_files_with_one_task_name_are_refused(self):
        with self.assertRaises(ValueError):
            tolvalog.CompletionCounter(["a", "a"])

    def test_follower_reads_only_what_was_added(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "tolva.exe.log")
            follower = tolvalog.LogFollower(path)
            self.assertEqual(follower.new_bytes(), b"")  # not there yet
            with open(path, "ab") as f:
                f.write(b"one\n")
            self.assertEqual(follower.new_bytes(), b"one\n")
            self.assertEqual(follower.new_bytes(), b"")
            with open(path, "ab") as f:
                f.write(b"two\n")
            self.assertEqual(follower.new_bytes(), b"two\n")

    def test_hand_offs_keep_every_path_in_order_within_both_limits(self):
        paths = [f"Z:\\t b\\f{i:04d}.bin" for i in range(450)]
        groups = tolvalog.hand_offs(paths, per_start=200, max_chars=100000)
        self.assertEqual([len(g.split(";")) for g in groups], [200, 200, 50])
        self.assertEqual(";".join(groups).split(";"), paths)
        # The character limit cuts earlier than the count limit.
        groups = tolvalog.hand_offs(paths, per_start=200, max_chars=1000)
        self.assertTrue(all(len(g) <= 1000 for g in groups))
        self.assertEqual(";".join(groups).split(";"), paths)
        self.assertEqual(len(groups[0].split(";")), 1000 // (len(paths[0]) + 1))

    def test_hand_offs_refuse_paths_they_cannot_carry(self):
        with self.assertRaises(ValueError):
            tolvalog.hand_offs(["Z:\\a;b"], 10, 100)
        with self.assertRaises(ValueError):
            tolvalog.hand_offs(["Z:\\" + "x" * 200], 10, 100)

    def test_probe_output_pairs(self):
        self.assertEqual(tolvalog.parse_pairs("pid=32 worst_answer_ms=12.0 junk"),
                         {"pid": "32", "worst_answer_ms": "12.0"})


class Commands(unittest.TestCase):
    def test_windows_paths_and_tool_command_lines(self):
        self.assertEqual(tools.winpath("/tmp/a b/c"), "Z:\\tmp\\a b\\c")
        # Inside the SMB client's mount a path is named as the server's share, not Z:.
        smb = {"TOLVA_SMB_MOUNT_UNIX": "/m/127.0.0.1:5/public", "TOLVA_SMB_SHARE": "\\\\fs\\pub"}
        with unittest.mock.patch.dict(os.environ, smb):
            self.assertEqual(tools.winpath("/m/127.0.0.1:5/public/S1/a.bin"), "\\\\fs\\pub\\S1\\a.bin")
            self.assertEqual(tools.winpath("/m/127.0.0.1:5/publicity"), "Z:\\m\\127.0.0.1:5\\publicity")
        xcopy = tools.copy_command("xcopy", [], "/tmp/s", "/tmp/d")
        self.assertEqual(xcopy[:4], ["wine", "C:\\windows\\system32\\xcopy.exe",
                                     "Z:\\tmp\\s\\*", "Z:\\tmp\\d"])
        cp = tools.copy_command("cp", ["/tmp/s/1", "/tmp/s/2"], "/tmp/s", "/tmp/d")
        self.assertEqual(cp, ["cp", "--", "/tmp/s/1", "/tmp/s/2", "/tmp/d/"])


    def test_stacks_keep_only_tolvas_threads(self):
        out = ("Backtracing for thread 0024 in process 0020 (C:\\windows\\start.exe):\n"
               "=>0 0x1 in ntdll\n"
               "Backtracing for thread 0104 in process 0100 (Z:\\tmp\\b\\tolva.exe):\n"
               "=>0 0x2 WaitForSingleObject\n  1 0x3 CHandOffWriter::Send\n"
               "Backtracing for thread 0108 in process 0038 (C:\\windows\\services.exe):\n"
               "=>0 0x4 in ntdll\n")
        kept = tools.tolva_stacks(out).splitlines()
        self.assertEqual(kept[0], "Backtracing for thread 0104 in process 0100 "
                                  "(Z:\\tmp\\b\\tolva.exe):")
        self.assertEqual(kept[1:], ["=>0 0x2 WaitForSingleObject", "  1 0x3 CHandOffWriter::Send"])


class FileCost(unittest.TestCase):
    def test_trace_requests_count_by_thread_class_within_the_span_only(self):
        import filecost
        trace = ("0024: init_first_thread( unix_pid=100, unix_tid=100, debug_level=0 )\n"
                 "0024: init_first_thread() = 0 { pid=0020, tid=0024 }\n"
                 "0024: create_file( access=1, filename=\"/x/tolva.info.tmp\" )\n")
        span = ("0030: init_thread( unix_tid=101, reply_fd=5, wait_fd=6 )\n"
                "0024: ioctl( code=006d4084, async={} )\n"
                "0024: ioctl() = 0 { }\n"          # a reply is not a request
                "0030: create_file( access=1, filename=\"/x/tolva.info.tmp\" )\n"
                "0034: select( flags=2 )\n")         # a thread never seen starting
        after = "0024: close_handle( handle=0010 )\n"
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "trace")
            with open(path, "w") as f:
                f.write(trace + span + after)
            counts, details = filecost.ServerTrace(path).count(
                len(trace), len(trace) + len(span),
                lambda tid, new: "instance" if tid == 100 else ("new" if new else "other"))
            self.assertEqual(dict(counts["instance"]), {"ioctl": 1})
            self.assertEqual(dict(counts["new"]), {"init_thread": 1, "create_file": 1})
            self.assertEqual(dict(counts["other"]), {"select": 1})
            self.assertEqual(len(details["new"]), 1)
            with open(path, "w") as f:
                f.write("% time     seconds  usecs/call     calls    errors syscall\n"
                        "------ ----------- ----------- --------- --------- ----------\n"
                        " 25.76    0.997001          66     14977           getdents64\n"
                        " 15.33    0.593398          10     54740     12111 newfstatat\n"
                        "100.00    3.870000          12    300000     20000 total\n")
            self.assertEqual(filecost.read_strace_summary(path),
                             {"getdents64": 14977, "newfstatat": 54740})


class Workloads(unittest.TestCase):
    def test_full_plan_has_the_agreed_sizes(self):
        by_name = {w.name: w for w in workloads.plan(quick=False)}
        self.assertEqual((by_name["W1"].count, by_name["W1"].size), (1, workloads.GIB))
        self.assertEqual(by_name["W2"].total, workloads.GIB)
        self.assertEqual((by_name["W3"].count, by_name["W3"].per_start), (2000, 500))
        self.assertTrue(by_name["W4"].on_share)
        w5 = by_name["W5"]
        self.assertEqual((w5.count, w5.size, w5.share_delay_ms, w5.one_read_bound),
                         (1, 128 * workloads.MIB, 5, True))
        self.assertEqual(w5.tools, ("tolva", "xcopy", "cp"))
        self.assertEqual([n for n in by_name if n.startswith("scale")],
                         ["scale-10", "scale-100", "scale-1000", "scale-5000"])
        self.assertEqual(by_name["scale-100"].tools, ("tolva", "xcopy"))

    def test_selection_by_name_and_group(self):
        plan = workloads.plan(quick=True)
        names = [w.name for w in workloads.select(plan, "W3, scale")]
        self.assertEqual(names, ["W3", "scale-10", "scale-50"])
        self.assertEqual([w.name for w in workloads.select(plan, "scale-50")], ["scale-50"])
        self.assertEqual(len(workloads.select(plan, "")), len(plan))
        with self.assertRaises(ValueError):
            workloads.select(plan, "W9")

    def test_rounds_change_which_tool_runs_right_after_which(self):
        tools = ["tolva", "baseline", "xcopy", "copy", "cp"]
        orders = [workloads.round_order(tools, r) for r in range(4)]
        for order in orders:
            self.assertEqual(sorted(order), sorted(tools))
        after = {o.index("baseline") - o.index("tolva") == 1 for o in orders}
        before = {o.index("tolva") - o.index("baseline") == 1 for o in orders}
        self.assertEqual((after, before), ({True, False}, {True, False}))

    def test_verify_names_the_missing_or_differing_file(self):
        w = workloads.Workload("T", "T", 3, 3000)
        with tempfile.TemporaryDirectory() as folder:
            src, dst = os.path.join(folder, "s"), os.path.join(folder, "d")
            sources = workloads.make_sources(src, w)
            os.makedirs(dst)
            for s in sources:
                with open(s, "rb") as a, open(os.path.join(dst, os.path.basename(s)), "wb") as b:
                    b.write(a.read())
            workloads.verify(sources, dst)
            victim = os.path.join(dst, os.path.basename(sources[1]))
            with open(victim, "r+b") as f:
                f.seek(2999)
                byte = f.read(1)
                f.seek(2999)
                f.write(bytes([byte[0] ^ 1]))
            with self.assertRaisesRegex(BenchFailure, "t-00001.bin differs .* byte 2999"):
                workloads.verify(sources, dst)
            os.truncate(victim, 2999)  # one byte short: the same file is named
            with self.assertRaisesRegex(BenchFailure, "t-00001.bin differs"):
                workloads.verify(sources, dst)
            os.unlink(victim)
            with self.assertRaisesRegex(BenchFailure, "t-00001.bin is missing"):
                workloads.verify(sources, dst)
            workloads.empty(dst)
            self.assertEqual(os.listdir(dst), [])

    def test_sources_are_random_not_repeated(self):
        w = workloads.Workload("R", "R", 2, 64 * 1024)
        with tempfile.TemporaryDirectory() as folder:
            a, b = workloads.make_sources(folder, w)
            with open(a, "rb") as fa, open(b, "rb") as fb:
                da, db = fa.read(), fb.read()
        self.assertEqual(len(da), 64 * 1024)
        self.assertNotEqual(da, db)
        self.assertNotEqual(da[:4096], da[4096:8192])


def sample_results():
    w = report.WorkloadResult("W2", "W2 16 x 64 MiB", 16, stats.GIB, "bench", 500)
    for tool, walls in (("tolva", (2.0, 1.0, 3.0)), ("baseline", (4.0, 4.0, 4.0)),
                        ("xcopy", (4.0, 4.0, 4.0)), ("copy", (2.0, 2.0, 2.0)),
                        ("cp", (0.5, 0.5, 0.5))):
        runs = w.tool_runs(tool)
        for wall in walls:
            # Tolva's copies are on the disk when it ends; the others' take a second more.
            on_disk = wall + (0.0 if tool in report.TOLVAS else 1.0)
            runs.add(wall, 0.5, 0.25, on_disk_s=on_disk,
                     **({"peak_kib": 2048, "handles": 64, "worst_answer_ms": wall * 10}
                        if tool in report.TOLVAS else {}))
    # The script's clock alone: no CPU figures.
    script = report.WorkloadResult("W2", "W2 16 x 64 MiB", 16, stats.GIB, "scripted", 100)
    for tool, walls in (("tolva", (5.0, 7.0, 6.0)), ("xcopy", (4.2, 4.0, 4.1))):
        for wall in walls:
            script.tool_runs(tool).add(wall, None, None)
    s = report.WorkloadResult("scale-10", "scale 10 x 64 KiB", 10, 10 * 65536)
    s.tool_runs("tolva").add(1.0, 0.1, None, close_s=2.0)
    s.tool_runs("tolva").add(1.0, 0.1, None, close_killed="did not end")
    return [w, script, s]


class Report(unittest.TestCase):
    def test_rows_carry_ratios_and_per_task_figures(self):
        rows = report.build_rows(sample_results(), "AMD EPYC, 2 cores")
        tolva = rows[0]
        self.assertEqual((tolva["tool"], tolva["wall_median_s"]), ("tolva", 2.0))
        self.assertEqual((tolva["machine"], tolva["harness"], tolva["per_start"]),
                         ("AMD EPYC, 2 cores", "bench", 500))
        self.assertEqual(tolva["tolva_vs_baseline"], 2.0)
        baseline = rows[1]
        self.assertEqual((baseline["tool"], baseline["speed_vs_xcopy"]), ("baseline", 1.0))
        self.assertEqual(baseline["ms_per_task"], 250.0)
        self.assertIsNone(baseline["tolva_vs_xcopy"])
        scripted = rows[5]
        self.assertEqual((scripted["harness"], scripted["tool"], scripted["wall_median_s"]),
                         ("scripted", "tolva", 6.0))
        self.assertAlmostEqual(scripted["tolva_vs_xcopy"], 4.1 / 6.0)  # its own harness's xcopy
        self.assertIsNone(scripted["cpu_ms"])
        self.assertIsNone(rows[6]["per_start"])  # a copy tool makes no starts
        self.assertEqual((tolva["wall_min_s"], tolva["wall_max_s"]), (1.0, 3.0))
        self.assertEqual(tolva["tolva_vs_xcopy"], 2.0)
        self.assertEqual(tolva["tolva_vs_copy"], 1.0)
        self.assertEqual(tolva["tolva_vs_cp"], 0.25)
        self.assertAlmostEqual(tolva["cpu_ms_per_gib"], 750.0)
        self.assertEqual(tolva["peak_mem_mib"], 2.0)
        self.assertEqual(tolva["kib_per_task"], 128.0)
        self.assertEqual(tolva["handles_per_task"], 4.0)
        self.assertEqual(tolva["worst_answer_ms"], 30.0)  # the worst round, not the median
        self.assertEqual(tolva["ms_per_task"], 125.0)
        self.assertIsNone(rows[2]["tolva_vs_xcopy"])  # xcopy's own row has no ratios
        self.assertEqual(rows[2]["speed_vs_xcopy"], 1.0)
        self.assertEqual(tolva["close_killed"], 0)
        self.assertEqual((tolva["on_disk_median_s"], rows[2]["on_disk_median_s"]), (2.0, 5.0))
        self.assertEqual(tolva["tolva_vs_xcopy_on_disk"], 2.5)
        self.assertIsNone(scripted["on_disk_median_s"])  # the script does not time it
        self.assertIn("2.50x", report.on_disk_table(rows))
        scale = rows[-1]
        self.assertEqual(scale["workload"], "scale-10")
        self.assertIsNone(scale["tolva_vs_xcopy"])  # no xcopy measured
        self.assertIsNone(scale["cpu_wineserver_ms"])
        self.assertEqual((scale["close_s"], scale["close_killed"]), (2.0, 1))
        self.assertIn("2.00 (1 killed)", report.tolva_table(rows))

    def test_tables_show_each_tool_once_with_aligned_columns(self):
        rows = report.build_rows(sample_results())
        table = report.comparison_table(rows)
        lines = table.splitlines()
        self.assertEqual(len(lines), 2 + 8)
        self.assertEqual(len({len(line) for line in lines[:2]}), 1)
        self.assertIn("harness", lines[0])
        self.assertIn("Tolva/baseline", lines[0])
        self.assertIn("2.000 [1.000-3.000]", lines[2])
        self.assertIn("2.00x", lines[2])
        self.assertIn("0.25x", lines[2])
        self.assertIn("750 (250)", lines[2])
        self.assertTrue(lines[7].startswith("W2 16 x 64 MiB     scripted  tolva.exe"))
        self.assertIn("6.000 [5.000-7.000]", lines[7])
        # One harness and no baseline: neither column.
        only = [r for r in rows if r["harness"] == "bench" and r["tool"] != "baseline"]
        header = report.comparison_table(only).splitlines()[0]
        self.assertNotIn("harness", header)
        self.assertNotIn("baseline", header)
        own = report.tolva_table(rows).splitlines()
        self.assertEqual(len(own), 2 + 3)  # both bench-harness Tolvas and scale-10
        self.assertIn("125.00", own[2])
        self.assertIn("baseline tolva.exe", own[3])

    def test_only_ranges_that_do_not_overlap_are_a_disagreement(self):
        rows = report.build_rows(sample_results())
        found = report.disagreements(rows)
        self.assertEqual(len(found), 1)  # Tolva 1-3 s against 5-7 s; xcopy 4.0 within 4.0-4.2
        self.assertIn("tolva.exe", found[0])
        self.assertIn("later starts of 500 and 100 files", found[0])
        self.assertIn("bench 2.000 [1.000-3.000] s, scripted 6.000 [5.000-7.000] s", found[0])

    def test_csv_holds_every_row_and_reads_back(self):
        rows = report.build_rows(sample_results())
        rows = report.build_rows(sample_results(), 'CPU "X", 2 cores, Linux 6, wine-8.0')
        back = list(csv.DictReader(io.StringIO(report.to_csv(rows))))
        self.assertEqual(len(back), len(rows))
        self.assertEqual(list(back[0].keys()), list(report.CSV_FIELDS))
        self.assertEqual(back[-1]["machine"], 'CPU "X", 2 cores, Linux 6, wine-8.0')
        self.assertEqual(float(back[0]["tolva_vs_xcopy"]), 2.0)
        self.assertEqual(back[2]["tolva_vs_xcopy"], "")
        self.assertEqual(back[0]["label"], "W2 16 x 64 MiB")

    def test_speed_check_row_takes_medians(self):
        w = report.WorkloadResult("W4", "W4", 8, 8 << 25)
        w.speed_check = [{"kernel_Bps": 1e6, "measured_Bps": 4e6, "ratio": 0.25},
                         {"kernel_Bps": 3e6, "measured_Bps": 2e6, "ratio": 1.5},
                         {"kernel_Bps": 2e6, "measured_Bps": 3e6, "ratio": 0.7}]
        row = report.build_rows([w])[0]
        self.assertEqual(row["tool"], "speed_check")
        self.assertEqual((row["kernel_mb_per_s"], row["measured_mb_per_s"]), (2.0, 3.0))
        self.assertEqual(row["kernel_to_measured"], 0.7)
        # A slow-link workload gets the one-read bound as a row, and Tolva's ratio to it.
        w = report.WorkloadResult("W5", "W5", 1, 128 << 20)
        w.one_read_wall = 2.56
        for tool, wall in (("tolva", 0.5), ("xcopy", 10.0)):
            w.tool_runs(tool).add(wall, None, None)
        rows = {r["tool"]: r for r in report.build_rows([w])}
        self.assertAlmostEqual(rows["tolva"]["tolva_vs_bound"], 5.12)
        self.assertEqual((rows["bound"]["wall_median_s"], rows["bound"]["speed_vs_xcopy"]),
                         (2.56, 10.0 / 2.56))
        self.assertIn("one-read bound", report.comparison_table(list(rows.values())))

    def test_chart_data_is_relative_to_xcopy_with_gaps_marked(self):
        data = chart.chart_data(report.build_rows(sample_results()))
        self.assertEqual(data, [("W2 16 x 64 MiB",
                                 {"tolva": 2.0, "baseline": 1.0, "copy": 2.0, "cp": 8.0}),
                                ("W2 16 x 64 MiB (script)", {"tolva": 4.1 / 6.0})])
        text = chart.data_text(data + [("scale", {"tolva": 0.5})])
        self.assertIn('"W2 16 x 64 MiB" 2 1 2 8', text)
        self.assertIn('"scale" 0.5 ? ? ?', text)
        # Only tools with a bar get a column; the machine line is the title's second line.
        self.assertEqual(chart.chart_tools(data[1:]), ["tolva"])
        script = chart.script_text("d", "p.png", "Speed", data[1:], "png", 'CPU "X"\\1')
        self.assertIn('set title "Speed\\nCPU \\"X\\"\\\\1" noenhanced', script)
        self.assertIn("title 'tolva.exe'", script)
        self.assertNotIn("baseline", script)


if __name__ == "__main__":
    unittest.main()
