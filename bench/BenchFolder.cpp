#include "bench/BenchFolder.h"

#include <filesystem>
#include <system_error>

#include "base/Utf8.h"
#include "base/Win.h"

BenchFolder::BenchFolder(const std::string& prefix) {
  wchar_t base[MAX_PATH + 1] = {};
  if (!GetTempPathW(MAX_PATH + 1, base)) return;
  static int counter = 0;
  path_ = base::Narrow(base) + "tolva-" + prefix + "-" + std::to_string(GetCurrentProcessId()) +
          "-" + std::to_string(GetTickCount64()) + "-" + std::to_string(++counter);
  valid_ = MakeFolder(path_);
}

BenchFolder::~BenchFolder() {
  if (!valid_) return;
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::path(base::WidePath(path_)), ec);
}

bool BenchFolder::MakeFolder(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p(base::WidePath(path));
  std::filesystem::create_directories(p, ec);
  return std::filesystem::is_directory(p, ec);
}

bool BenchFolder::Empty(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p(base::WidePath(path));
  for (const auto& entry : std::filesystem::directory_iterator(p, ec)) {
    std::filesystem::remove_all(entry.path(), ec);
    if (ec) return false;
  }
  return !ec;
}
