// engine_copy: copies sets of files through the download kernel and, side by side in
// the same run and the same folders, with CopyFileW and with a plain loop of 256 KiB
// ReadFile/WriteFile calls. Prints the median speed of each over the rounds and the
// kernel's ratio to both. Exits with 1 when any copy fails or comes out wrong.
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BaselineCopy.h"
#include "bench/BenchArgs.h"
#include "bench/BenchFolder.h"
#include "bench/FileSet.h"
#include "bench/KernelCopy.h"
#include "bench/Platform.h"
#include "bench/Samples.h"
#include "bench/Stopwatch.h"
#include "bench/TextTable.h"

namespace {

enum Method { kKernel, kCopyFile, kLoop, kMethodCount };
const char* const kMethodNames[kMethodCount] = {"kernel", "CopyFileW", "ReadFile/WriteFile"};

constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;

std::vector<FileSet> MakeSets(bool quick) {
  if (quick)
    return {FileSet("1 x 8 MiB", 1, 8 * MiB), FileSet("4 x 1 MiB", 4, MiB),
            FileSet("20 x 64 KiB", 20, 64 * KiB)};
  return {FileSet("1 x 64 MiB", 1, 64 * MiB), FileSet("16 x 4 MiB", 16, 4 * MiB),
          FileSet("200 x 64 KiB", 200, 64 * KiB)};
}

// Where the kernel's time goes, in milliseconds over the rounds.
struct KernelPhases {
  Samples add, start, copy, stop;
};

bool Copy(Method method, KernelCopy& kernel, const FileSet& set, const std::string& folder,
          double& seconds, std::string& error, KernelPhases& phases) {
  if (method == kKernel) {
    bool ok = kernel.Run(set.Sources(), folder);
    seconds = kernel.Seconds();
    error = kernel.Error();
    const KernelCopy::Phases& p = kernel.PhaseSeconds();
    phases.add.Add(p.add * 1e3);
    phases.start.Add(p.start * 1e3);
    phases.copy.Add(p.copy * 1e3);
    phases.stop.Add(p.stop * 1e3);
    return ok;
  }
  Stopwatch clock;
  bool ok = method == kCopyFile ? baseline::CopyWithCopyFile(set.Sources(), folder, error)
                                : baseline::CopyWithReadWrite(set.Sources(), folder, error);
  seconds = clock.Seconds();
  return ok;
}

std::string Cell(const Samples& s) {
  return TextTable::Number(s.Median(), 1) + " [" + TextTable::Number(s.Min(), 1) + "-" +
         TextTable::Number(s.Max(), 1) + "]";
}

std::string Ratio(const Samples& a, const Samples& b) {
  return b.Median() > 0 ? TextTable::Number(a.Median() / b.Median(), 2) : "-";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  BenchArgs args;
  if (!args.Parse(argc, argv)) {
    std::fprintf(stderr, "usage: engine_copy [--rounds N] [--quick]\n");
    return 2;
  }
  BenchFolder folder("bench-copy");
  std::string destination = folder.Sub("dst"), listFolder = folder.Sub("list");
  if (!folder.Valid() || !BenchFolder::MakeFolder(destination) ||
      !BenchFolder::MakeFolder(listFolder)) {
    std::fprintf(stderr, "engine_copy: cannot create a folder under the temp folder\n");
    return 1;
  }

  std::vector<FileSet> sets = MakeSets(args.quick);
  for (size_t i = 0; i < sets.size(); ++i) {
    std::string source = folder.Sub("src" + std::to_string(i));
    if (!BenchFolder::MakeFolder(source) || !sets[i].Create(source)) {
      std::fprintf(stderr, "engine_copy: cannot write the sources of %s\n",
                   sets[i].Label().c_str());
      return 1;
    }
  }

  KernelCopy kernel(listFolder + "\\tolva.info");
  std::vector<std::vector<Samples>> speed(sets.size(), std::vector<Samples>(kMethodCount));
  std::vector<KernelPhases> phases(sets.size());
  for (int round = 0; round < args.rounds; ++round) {
    std::fprintf(stderr, "engine_copy: round %d of %d\n", round + 1, args.rounds);
    for (size_t i = 0; i < sets.size(); ++i) {
      // Each round starts with another method, so none always runs first.
      for (int k = 0; k < kMethodCount; ++k) {
        Method method = static_cast<Method>((k + round) % kMethodCount);
        double seconds = 0;
        std::string error;
        bool ok = Copy(method, kernel, sets[i], destination, seconds, error, phases[i]);
        // Every byte is compared in the first round; sizes after that.
        if (ok) error = sets[i].Verify(destination, round == 0);
        if (!ok || !error.empty()) {
          std::fprintf(stderr, "engine_copy: %s, %s: %s\n", sets[i].Label().c_str(),
                       kMethodNames[method], error.c_str());
          return 1;
        }
        if (!BenchFolder::Empty(destination)) {
          std::fprintf(stderr, "engine_copy: cannot empty %s\n", destination.c_str());
          return 1;
        }
        speed[i][method].Add(static_cast<double>(sets[i].TotalBytes()) / seconds / 1e6);
      }
    }
  }

  std::printf(
      "engine_copy on %s: %d rounds, MB/s = 10^6 bytes per second, "
      "median [min-max] over the rounds\n",
      PlatformName().c_str(), args.rounds);
  TextTable table({"<files", "kernel", "CopyFileW", "ReadFile/WriteFile 256 KiB",
                   "kernel/CopyFileW", "kernel/loop"});
  for (size_t i = 0; i < sets.size(); ++i)
    table.AddRow({sets[i].Label(), Cell(speed[i][kKernel]), Cell(speed[i][kCopyFile]),
                  Cell(speed[i][kLoop]), Ratio(speed[i][kKernel], speed[i][kCopyFile]),
                  Ratio(speed[i][kKernel], speed[i][kLoop])});
  std::printf("%s", table.Render().c_str());

  std::printf("\nKernel steps, ms, median over the rounds:\n");
  TextTable steps({"<files", "AddTasks", "Start", "copy until all completed", "Stop", "per file"});
  for (size_t i = 0; i < sets.size(); ++i) {
    const KernelPhases& p = phases[i];
    double whole = p.add.Median() + p.start.Median() + p.copy.Median() + p.stop.Median();
    steps.AddRow({sets[i].Label(), TextTable::Number(p.add.Median(), 1),
                  TextTable::Number(p.start.Median(), 1), TextTable::Number(p.copy.Median(), 1),
                  TextTable::Number(p.stop.Median(), 1),
                  TextTable::Number(whole / sets[i].Count(), 2)});
  }
  std::printf("%s", steps.Render().c_str());
  return 0;
}
