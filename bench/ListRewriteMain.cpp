// list_rewrite: what keeping the task list file current costs. First the time of one
// rewrite (CTaskListFile::Format + Write) for lists of 1, 50 and 200 tasks; then how
// many rewrites copies through the kernel really make (64 MiB in one and in four
// files, and 200 small files), counted from the folder's change reports, against the
// one-per-chunk rewrites they would make without skipping unchanged lists. Exits with 1
// when a step fails or the rewrites cannot be counted exactly.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchArgs.h"
#include "bench/BenchFolder.h"
#include "bench/FileSet.h"
#include "bench/KernelCopy.h"
#include "bench/Platform.h"
#include "bench/ReplaceCounter.h"
#include "bench/Samples.h"
#include "bench/Stopwatch.h"
#include "bench/TextTable.h"
#include "engine/DownloadTask.h"
#include "engine/TaskListFile.h"

namespace {

constexpr uint64_t MiB = 1024 * 1024;
const char* const kListName = "tolva.info";

// Lists like a user's: share paths of typical length, the odd ampersand, and the one
// task whose chunk was just written in state 2.
std::vector<TaskListEntry> SampleEntries(int count, const std::string& downloads) {
  std::vector<TaskListEntry> entries;
  for (int i = 0; i < count; ++i) {
    std::string name = (i % 10 == 3 ? "R&D plan " : "Quarterly report ") + std::to_string(i);
    entries.push_back({name, "\\\\fileserver\\projects\\2026\\reports\\" + name + ".docx",
                       downloads + "\\" + name + ".docx", i == 0 ? TS_DOWNLOADED : TS_READY});
  }
  return entries;
}

struct RewriteCost {
  Samples format, write, total;
  size_t bytes = 0;
};

// One timed rewrite of `entries`, added to `cost` unless `measured` is false.
bool TimeRewrite(const CTaskListFile& file, const std::vector<TaskListEntry>& entries,
                 bool measured, RewriteCost& cost) {
  Stopwatch formatClock;
  std::string text = CTaskListFile::Format(entries);
  double formatSeconds = formatClock.Seconds();
  Stopwatch writeClock;
  if (!file.Write(text)) return false;
  double writeSeconds = writeClock.Seconds();
  if (!measured) return true;
  cost.bytes = text.size();
  cost.format.Add(formatSeconds * 1e6);
  cost.write.Add(writeSeconds * 1e6);
  cost.total.Add((formatSeconds + writeSeconds) * 1e6);
  return true;
}

std::string Us(double value) { return TextTable::Number(value, value < 100 ? 1 : 0); }

std::string Range(const Samples& s, int decimals) {
  if (s.Min() == s.Max()) return TextTable::Number(s.Median(), decimals);
  return TextTable::Number(s.Median(), decimals) + " [" + TextTable::Number(s.Min(), decimals) +
         "-" + TextTable::Number(s.Max(), decimals) + "]";
}

int Fail(const std::string& what) {
  std::fprintf(stderr, "list_rewrite: %s\n", what.c_str());
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  BenchArgs args;
  if (!args.Parse(argc, argv)) {
    std::fprintf(stderr, "usage: list_rewrite [--rounds N] [--quick]\n");
    return 2;
  }
  BenchFolder folder("bench-list");
  std::string listFolder = folder.Sub("list"), destination = folder.Sub("dst");
  std::string listPath = listFolder + "\\" + kListName;
  if (!folder.Valid() || !BenchFolder::MakeFolder(listFolder) ||
      !BenchFolder::MakeFolder(destination))
    return Fail("cannot create a folder under the temp folder");

  // One rewrite, by list length. The lengths take turns, so that a busy moment of the
  // disk (the write waits for it) falls on all of them alike.
  const int iterations = args.quick ? 21 : 101;
  CTaskListFile file(listPath);
  const int lengths[] = {1, 50, 200};
  std::vector<std::vector<TaskListEntry>> lists;
  for (int tasks : lengths) lists.push_back(SampleEntries(tasks, destination));
  std::vector<RewriteCost> costs(lists.size());
  Samples anyRewrite;                      // every length: what one rewrite costs during a copy
  for (int i = -3; i < iterations; ++i) {  // three unmeasured, to warm the caches
    for (size_t k = 0; k < lists.size(); ++k)
      if (!TimeRewrite(file, lists[k], i >= 0, costs[k]))
        return Fail("CTaskListFile::Write failed for " + listPath);
  }
  for (const RewriteCost& c : costs) anyRewrite.Add(c.total);

  // The counter must see exactly the rewrites made, or its counts below mean nothing.
  ReplaceCounter counter(listFolder, kListName);
  const int kDirectWrites = 3;
  if (!counter.Start()) return Fail(counter.Error());
  for (int i = 0; i < kDirectWrites; ++i)
    if (!file.Write(CTaskListFile::Format(SampleEntries(1, destination))))
      return Fail("CTaskListFile::Write failed for " + listPath);
  if (!counter.Finish()) return Fail(counter.Error());
  if (counter.Count() != kDirectWrites)
    return Fail("the change reports showed " + std::to_string(counter.Count()) + " of " +
                std::to_string(kDirectWrites) + " rewrites: cannot count them");

  // Rewrites during a copy: one task alone, four at once (their states interleave), and
  // many small files (every chunk is a task's first and last).
  const uint64_t total = args.quick ? 8 * MiB : 64 * MiB;
  const int smallFiles = args.quick ? 20 : 200;
  std::vector<FileSet> sets = {
      FileSet("1 x " + std::to_string(total / MiB) + " MiB", 1, total),
      FileSet("4 x " + std::to_string(total / MiB / 4) + " MiB", 4, total / 4),
      FileSet(std::to_string(smallFiles) + " x 64 KiB", smallFiles, 64 * 1024)};
  const int rounds = args.rounds < 3 ? args.rounds : 3;
  std::vector<Samples> counts(sets.size()), copyMs(sets.size());
  KernelCopy kernel(listPath);
  for (size_t i = 0; i < sets.size(); ++i) {
    std::string source = folder.Sub("src" + std::to_string(i));
    if (!BenchFolder::MakeFolder(source) || !sets[i].Create(source))
      return Fail("cannot write the sources of " + sets[i].Label());
    for (int round = 0; round < rounds; ++round) {
      std::fprintf(stderr, "list_rewrite: %s, round %d of %d\n", sets[i].Label().c_str(), round + 1,
                   rounds);
      if (!counter.Start()) return Fail(counter.Error());
      bool ok = kernel.Run(sets[i].Sources(), destination);
      if (!counter.Finish()) return Fail(counter.Error());
      if (!ok) return Fail(sets[i].Label() + ": " + kernel.Error());
      std::string wrong = sets[i].Verify(destination, round == 0);
      if (!wrong.empty()) return Fail(sets[i].Label() + ": " + wrong);
      if (!BenchFolder::Empty(destination)) return Fail("cannot empty " + destination);
      counts[i].Add(counter.Count());
      copyMs[i].Add(kernel.Seconds() * 1e3);
    }
  }

  std::printf("list_rewrite on %s\n", PlatformName().c_str());
  std::printf("One rewrite of the task list file (Format + Write), microseconds, median of %d:\n",
              iterations);
  TextTable rewrite({"tasks", "bytes", "Format", "Write", "total", "total p90",
                     "x256 (one per chunk of 64 MiB), ms"});
  for (size_t i = 0; i < costs.size(); ++i) {
    const RewriteCost& c = costs[i];
    rewrite.AddRow({std::to_string(lengths[i]), std::to_string(c.bytes), Us(c.format.Median()),
                    Us(c.write.Median()), Us(c.total.Median()), Us(c.total.Percentile(0.9)),
                    TextTable::Number(c.total.Median() * 256 / 1e3, 1)});
  }
  std::printf("%s", rewrite.Render().c_str());

  std::printf(
      "\nRewrites during copies through the kernel, median [min-max] of %d rounds "
      "(counter checked: %d of %d direct writes seen); ms estimated at %s us a "
      "rewrite:\n",
      rounds, kDirectWrites, kDirectWrites, Us(anyRewrite.Median()).c_str());
  TextTable copies({"<copy", "chunks", "rewrites", "one per chunk", "copy ms", "ms in rewrites",
                    "one per chunk would add, ms"});
  const double oneRewriteMs = anyRewrite.Median() / 1e3;
  for (size_t i = 0; i < sets.size(); ++i) {
    uint64_t chunks = 0;
    for (int k = 0; k < sets[i].Count(); ++k)
      chunks += (sets[i].FileSize() + CHUNK_SIZE - 1) / CHUNK_SIZE;
    // Without the skip: one after every chunk and one more as each task completes.
    double perChunk = static_cast<double>(chunks + static_cast<uint64_t>(sets[i].Count()));
    double copy = copyMs[i].Median();
    double spentMs = counts[i].Median() * oneRewriteMs;
    double extraMs = (perChunk - counts[i].Median()) * oneRewriteMs;
    auto share = [&](double ms) {
      return TextTable::Number(ms, 0) + " (" + TextTable::Number(100 * ms / copy, 0) + "%)";
    };
    copies.AddRow({sets[i].Label(), std::to_string(chunks), Range(counts[i], 0),
                   TextTable::Number(perChunk, 0), Range(copyMs[i], 0), share(spentMs),
                   share(extraMs)});
  }
  std::printf("%s", copies.Render().c_str());
  return 0;
}
