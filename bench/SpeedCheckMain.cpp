// speed_check: copies the given sources (the driver passes 8 x 32 MiB on the slow test
// share) through the download kernel and, at the first moment every task has passed
// half its size, compares the sum of the tasks' speeds (what the window shows) with
// the bytes per second that really arrived. Prints one line of key=value; exits with
// 1 when the copy fails.
//
//   speed_check --dest FOLDER [--every MS] SOURCE...
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "bench/BenchFolder.h"
#include "bench/HalfwaySpeed.h"
#include "bench/KernelCopy.h"
#include "engine/DownloaderKernel.h"

int wmain(int argc, wchar_t** argv) {
  std::string dest;
  std::vector<std::string> sources;
  unsigned long everyMs = 2;
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--dest" && i + 1 < argc) {
      dest = base::Narrow(argv[++i]);
    } else if (arg == L"--every" && i + 1 < argc) {
      everyMs = std::wcstoul(argv[++i], nullptr, 10);
    } else {
      sources.push_back(base::Narrow(arg));
    }
  }
  if (dest.empty() || sources.empty() || everyMs == 0) {
    std::fprintf(stderr, "usage: speed_check --dest FOLDER [--every MS] SOURCE...\n");
    return 2;
  }
  BenchFolder folder("speed-check");
  if (!folder.Valid()) {
    std::fprintf(stderr, "speed_check: cannot create a folder under the temp folder\n");
    return 1;
  }

  KernelCopy copy(folder.Sub("tolva.info"));
  // Made at the first look: the speed factor is the watched kernel's own.
  std::optional<HalfwaySpeed> halfway;
  std::vector<HalfwaySpeed::Task> tasks;
  uint64_t looks = 0;
  copy.WatchEvery(static_cast<uint32_t>(everyMs),
                  [&](const CDownloaderKernel& kernel, double seconds) {
                    if (!halfway) halfway.emplace(kernel.GetSpeedFactor());
                    ++looks;
                    tasks.clear();
                    for (int i = 0; i < kernel.GetTaskCount(); ++i) {
                      const CDownloadTask* t = kernel.GetTask(i);
                      tasks.push_back({t->offset.load(), t->fileSize.load(), t->speed.load()});
                    }
                    // Until every task is open its size is not known: not halfway yet.
                    if (static_cast<size_t>(kernel.GetTaskCount()) == sources.size())
                      halfway->Add(seconds, tasks);
                  });
  if (!copy.Run(sources, dest)) {
    std::fprintf(stderr, "speed_check: %s\n", copy.Error().c_str());
    return 1;
  }
  uint64_t total = 0;
  for (const HalfwaySpeed::Task& t : tasks) total += t.size;
  const double whole = copy.Seconds() > 0 ? static_cast<double>(total) / copy.Seconds() : 0;
  if (!halfway || !halfway->Reached()) {
    std::printf("halfway=never looks=%llu whole_Bps=%.0f\n", static_cast<unsigned long long>(looks),
                whole);
    return 0;
  }
  const double kernel = halfway->KernelBytesPerSecond();
  const double measured = halfway->MeasuredBytesPerSecond();
  std::printf(
      "tasks=%zu halfway_s=%.3f kernel_Bps=%.0f measured_Bps=%.0f recent_Bps=%.0f "
      "whole_Bps=%.0f whole_s=%.3f ratio=%.3f recent_ratio=%.3f looks=%llu\n",
      sources.size(), halfway->HalfwaySeconds(), kernel, measured, halfway->RecentBytesPerSecond(),
      whole, copy.Seconds(), measured > 0 ? kernel / measured : 0.0,
      halfway->RecentBytesPerSecond() > 0 ? kernel / halfway->RecentBytesPerSecond() : 0.0,
      static_cast<unsigned long long>(looks));
  return 0;
}
