#include "bench/BenchArgs.h"

#include <cwchar>
#include <string>

bool BenchArgs::Parse(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    if (arg == L"--quick") {
      quick = true;
    } else if (arg == L"--rounds" && i + 1 < argc) {
      wchar_t* end = nullptr;
      long n = std::wcstol(argv[++i], &end, 10);
      if (*end != 0 || n < 1 || n > 1000) return false;
      rounds = static_cast<int>(n);
    } else {
      return false;
    }
  }
  return true;
}
