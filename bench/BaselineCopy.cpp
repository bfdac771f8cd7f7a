#include "bench/BaselineCopy.h"

#include <memory>

#include "bench/FileSet.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

namespace baseline {

namespace {

std::string Failure(const char* what, const std::string& path) {
  return std::string(what) + " failed (error " + std::to_string(GetLastError()) + "): " + path;
}

}  // namespace

bool CopyWithCopyFile(const std::vector<std::string>& sources, const std::string& folder,
                      std::string& error) {
  for (const std::string& source : sources) {
    std::string destination = folder + "\\" + FileSet::FileName(source);
    if (!CopyFileW(base::WidePath(source).c_str(), base::WidePath(destination).c_str(), FALSE)) {
      error = Failure("CopyFileW", source);
      return false;
    }
  }
  return true;
}

bool CopyWithReadWrite(const std::vector<std::string>& sources, const std::string& folder,
                       std::string& error) {
  auto buffer = std::make_unique<char[]>(kLoopChunk);
  for (const std::string& source : sources) {
    std::string destination = folder + "\\" + FileSet::FileName(source);
    base::UniqueFileHandle in(CreateFileW(base::WidePath(source).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!in) {
      error = Failure("opening", source);
      return false;
    }
    base::UniqueFileHandle out(CreateFileW(base::WidePath(destination).c_str(), GENERIC_WRITE, 0,
                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
      error = Failure("creating", destination);
      return false;
    }
    for (;;) {
      DWORD got = 0, written = 0;
      if (!ReadFile(in.Get(), buffer.get(), kLoopChunk, &got, nullptr)) {
        error = Failure("ReadFile", source);
        return false;
      }
      if (got == 0) break;
      if (!WriteFile(out.Get(), buffer.get(), got, &written, nullptr) || written != got) {
        error = Failure("WriteFile", destination);
        return false;
      }
    }
  }
  return true;
}

}  // namespace baseline
