// tolva_probe: watches a running Tolva from beside it for the side-by-side benchmark
// (bench/compare.py), which cannot see Windows handles or window answers from Linux.
//
//   tolva_probe wait  [--title T] [--timeout MS]
//       waits for the window, prints "pid=N"
//   tolva_probe watch [--title T] [--pid N] [--every MS] [--stop FILE] [--stdin]
//       every MS (50) sends WM_NULL and times the answer, reads the process's handle
//       count and memory, until stdin closes (--stdin), FILE appears or the process
//       ends; prints "watching pid=N" once it watches, and at the end one line of
//       key=value
//   tolva_probe close [--title T] [--pid N] [--timeout MS]
//       posts WM_CLOSE to the window (what the caption's X does) and waits for the
//       process to end; prints "closed_ms=N", exit code 1 when it did not end
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>

#include "base/UniqueHandle.h"
#include "base/Win.h"
#include "bench/Stopwatch.h"

#include <psapi.h>  // needs windows.h first

namespace {

struct Options {
  std::wstring mode;
  std::wstring title = L"Tolva - your intranet downloader";
  DWORD pid = 0;
  DWORD timeoutMs = 30000;
  DWORD everyMs = 50;
  std::wstring stopFile;
  bool watchStdin = false;
};

bool Number(const wchar_t* text, DWORD& out) {
  wchar_t* end = nullptr;
  unsigned long value = std::wcstoul(text, &end, 10);
  if (end == text || *end) return false;
  out = static_cast<DWORD>(value);
  return true;
}

bool Parse(int argc, wchar_t** argv, Options& o) {
  if (argc < 2) return false;
  o.mode = argv[1];
  if (o.mode != L"wait" && o.mode != L"watch" && o.mode != L"close") return false;
  for (int i = 2; i < argc; ++i) {
    std::wstring arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == L"--stdin") {
      o.watchStdin = true;
    } else if (arg == L"--title" && hasValue) {
      o.title = argv[++i];
    } else if (arg == L"--stop" && hasValue) {
      o.stopFile = argv[++i];
    } else if (arg == L"--pid" && hasValue) {
      if (!Number(argv[++i], o.pid)) return false;
    } else if (arg == L"--timeout" && hasValue) {
      if (!Number(argv[++i], o.timeoutMs)) return false;
    } else if (arg == L"--every" && hasValue) {
      if (!Number(argv[++i], o.everyMs) || o.everyMs == 0) return false;
    } else {
      return false;
    }
  }
  return true;
}

struct Search {
  const Options* options;
  HWND found;
};

// The first top-level window with the title (and of the process, when one is given).
HWND FindTolva(const Options& o) {
  Search search{&o, nullptr};
  EnumWindows(
      [](HWND hwnd, LPARAM param) -> BOOL {
        auto* s = reinterpret_cast<Search*>(param);
        wchar_t title[128] = {};
        GetWindowTextW(hwnd, title, 128);
        if (s->options->title != title) return TRUE;
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (s->options->pid && pid != s->options->pid) return TRUE;
        s->found = hwnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForWindow(const Options& o, DWORD limitMs) {
  for (ULONGLONG start = GetTickCount64();; Sleep(5)) {
    if (HWND hwnd = FindTolva(o)) return hwnd;
    if (GetTickCount64() - start > limitMs) return nullptr;
  }
}

DWORD ProcessOf(HWND hwnd) {
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  return pid;
}

// Handles the process holds. Wine answers GetProcessHandleCount with 0 for any process.
// Its server also crashes now and then when asked for the system's handle list (seen:
// a core dump in get_system_handles while another process was starting, which took
// every program with it), so the count comes from duplicating each handle value the
// process may hold: Wine hands out the lowest free value, so they lie close together,
// and 256 free values in a row end the scan. Each value is a server request, asked
// while the program under watch copies: the bench's own load is kept small.
// `scanned` says the count came that way.
DWORD HandleCount(HANDLE process, bool& scanned) {
  DWORD count = 0;
  if (GetProcessHandleCount(process, &count) && count > 0) {
    scanned = false;
    return count;
  }
  constexpr DWORD kMissesPastTheLast = 256;
  count = 0;
  for (ULONG_PTR value = 4, misses = 0; misses < kMissesPastTheLast; value += 4) {
    HANDLE copy = nullptr;
    if (DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &copy, 0,
                        FALSE, DUPLICATE_SAME_ACCESS)) {
      CloseHandle(copy);
      ++count;
      misses = 0;
    } else {
      ++misses;
    }
  }
  scanned = true;
  return count;
}

// Sets the event when standard input reaches its end: the caller closed the pipe.
DWORD WINAPI StdinWatch(LPVOID event) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
  }
  SetEvent(static_cast<HANDLE>(event));
  return 0;
}

int Watch(const Options& o) {
  HWND hwnd = WaitForWindow(o, o.timeoutMs);
  if (!hwnd) {
    std::fprintf(stderr, "tolva_probe: no window titled as asked\n");
    return 1;
  }
  const DWORD pid = ProcessOf(hwnd);
  base::UniqueKernelHandle process(OpenProcess(
      SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | PROCESS_DUP_HANDLE, FALSE, pid));
  base::UniqueKernelHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!process || !stop) {
    std::fprintf(stderr, "tolva_probe: cannot open process %lu\n", pid);
    return 1;
  }
  // The caller may wait for this line before it starts its clock.
  std::printf("watching pid=%lu\n", pid);
  std::fflush(stdout);
  base::UniqueKernelHandle reader;
  if (o.watchStdin) reader.Reset(CreateThread(nullptr, 0, StdinWatch, stop.Get(), 0, nullptr));

  // A window that does not answer in this long counts as this long, and as a timeout.
  constexpr UINT kAnswerLimitMs = 10000;
  unsigned long samples = 0, timeouts = 0;
  double worstMs = 0, sumMs = 0;
  DWORD handlesPeak = 0, handlesLast = 0;
  bool handlesKnown = false, handlesScanned = false;
  PROCESS_MEMORY_COUNTERS memory{};
  bool memoryKnown = false;
  HANDLE waits[2] = {stop.Get(), process.Get()};
  for (;;) {
    Stopwatch clock;
    DWORD_PTR result = 0;
    bool answered =
        SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, kAnswerLimitMs, &result) != 0;
    double ms = answered ? clock.Seconds() * 1e3 : kAnswerLimitMs;
    if (!answered) {
      if (!IsWindow(hwnd)) break;  // the window went away: the program is closing
      ++timeouts;
    }
    ++samples;
    sumMs += ms;
    worstMs = std::max(worstMs, ms);
    // A scan costs the wineserver a request per value: every twentieth look (a second)
    // only.
    if (!handlesScanned || samples % 20 == 1) {
      DWORD handles = HandleCount(process.Get(), handlesScanned);
      if (handles > 0) {
        handlesKnown = true;
        handlesLast = handles;
        handlesPeak = std::max(handlesPeak, handles);
      }
    }
    memory.cb = sizeof memory;
    memoryKnown = GetProcessMemoryInfo(process.Get(), &memory, sizeof memory) || memoryKnown;
    if (!o.stopFile.empty() && GetFileAttributesW(o.stopFile.c_str()) != INVALID_FILE_ATTRIBUTES)
      break;
    double spent = clock.Seconds() * 1e3;
    DWORD rest = spent >= o.everyMs ? 0 : static_cast<DWORD>(o.everyMs - spent);
    if (WaitForMultipleObjects(2, waits, FALSE, rest) != WAIT_TIMEOUT) break;
  }

  std::printf("pid=%lu samples=%lu worst_answer_ms=%.1f mean_answer_ms=%.2f timeouts=%lu", pid,
              samples, worstMs, samples ? sumMs / samples : 0.0, timeouts);
  if (handlesKnown)
    std::printf(" handles_peak=%lu handles_last=%lu handles_from=%s", handlesPeak, handlesLast,
                handlesScanned ? "duplicates" : "process");
  if (memoryKnown)
    std::printf(" peak_working_set_kib=%llu peak_pagefile_kib=%llu",
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024),
                static_cast<unsigned long long>(memory.PeakPagefileUsage / 1024));
  std::printf("\n");
  return 0;
}

int Close(const Options& o) {
  HWND hwnd = FindTolva(o);
  if (!hwnd) {
    std::fprintf(stderr, "tolva_probe: no window to close\n");
    return 1;
  }
  base::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, ProcessOf(hwnd)));
  Stopwatch clock;
  PostMessageW(hwnd, WM_CLOSE, 0, 0);
  bool ended = process && WaitForSingleObject(process.Get(), o.timeoutMs) == WAIT_OBJECT_0;
  std::printf("closed_ms=%.0f\n", clock.Seconds() * 1e3);
  return ended ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: tolva_probe wait|watch|close [--title T] [--pid N] [--timeout MS]\n"
                 "       [--every MS] [--stop FILE] [--stdin]\n");
    return 2;
  }
  if (options.mode == L"close") return Close(options);
  if (options.mode == L"watch") return Watch(options);
  HWND hwnd = WaitForWindow(options, options.timeoutMs);
  if (!hwnd) return 1;
  std::printf("pid=%lu\n", ProcessOf(hwnd));
  return 0;
}
