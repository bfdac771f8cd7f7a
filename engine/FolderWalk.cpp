#include "engine/FolderWalk.h"

#include <algorithm>
#include <utility>

#include "base/ErrorText.h"
#include "base/UniqueHandle.h"
#include "base/JoinHalves.h"
#include "base/Utf8.h"
#include "engine/DestinationPath.h"

namespace {

using base::JoinHalves;

uint64_t TimeOf(const FILETIME& t) { return JoinHalves(t.dwHighDateTime, t.dwLowDateTime); }

// Whether the destination already holds this file as a finished copy leaves it: the
// same size and the same last-write time, which a finished copy takes from its source.
bool AlreadyCopied(const std::string& destination, const FolderEntry& source) {
  WIN32_FILE_ATTRIBUTE_DATA copy{};
  if (!GetFileAttributesExW(base::WidePath(destination).c_str(), GetFileExInfoStandard, &copy))
    return false;
  return JoinHalves(copy.nFileSizeHigh, copy.nFileSizeLow) == source.size &&
         TimeOf(copy.ftLastWriteTime) == TimeOf(source.lastWrite);
}

// What a folder's listing says, in 64 bits: names, kinds, sizes and times, in name order.
// Two paths that list the same are the same folder seen twice.
uint64_t ListingPrint(std::vector<FolderEntry>& entries) {
  std::sort(entries.begin(), entries.end(),
            [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  auto mix = [&](const void* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      hash ^= static_cast<const unsigned char*>(data)[i];
      hash *= 1099511628211ull;
    }
  };
  for (const FolderEntry& e : entries) {
    mix(e.name.data(), e.name.size() + 1);
    const uint64_t fields[] = {e.folder ? 1u : 0u, e.size, TimeOf(e.lastWrite)};
    mix(fields, sizeof fields);
  }
  return hash;
}

}  // namespace

DWORD CFileSystemFolders::List(const std::string& path, std::vector<FolderEntry>& entries) {
  WIN32_FIND_DATAW found{};
  HANDLE find = FindFirstFileExW(base::WidePath(path + "\\*").c_str(), FindExInfoBasic, &found,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : error;  // nothing in it
  }
  do {
    const std::wstring wide = found.cFileName;
    if (wide == L"." || wide == L"..") continue;
    FolderEntry entry;
    entry.name = base::Narrow(wide);
    entry.folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.link = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry.size = JoinHalves(found.nFileSizeHigh, found.nFileSizeLow);
    entry.lastWrite = found.ftLastWriteTime;
    entries.push_back(std::move(entry));
  } while (FindNextFileW(find, &found));
  const DWORD error = GetLastError();
  FindClose(find);
  return error == ERROR_NO_MORE_FILES ? 0 : error;
}

bool CFileSystemFolders::Identity(const std::string& path, uint64_t& volume, uint64_t& id) {
  base::UniqueFileHandle folder(CreateFileW(base::WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                            nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!folder || !GetFileInformationByHandle(folder.Get(), &info)) return false;
  volume = info.dwVolumeSerialNumber;
  id = JoinHalves(info.nFileIndexHigh, info.nFileIndexLow);
  return id != 0;
}

bool CFileSystemFolders::Reachable(const std::string& path) {
  return GetFileAttributesW(base::WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

CFolderWalk::CFolderWalk(IFolderSource& folders, std::string source, std::string destination)
    : folders_(folders), source_(std::move(source)), destination_(std::move(destination)) {}

bool CFolderWalk::IsLeftOut(const std::string& path) const {
  const std::string folder = destination_path::NormalFolder(path);
  return std::any_of(leftOut_.begin(), leftOut_.end(), [&](const std::string& out) {
    return destination_path::Same(folder, destination_path::NormalFolder(out));
  });
}

DWORD CFolderWalk::Run(const Deliver& deliver, const Skipped& skipped) {
  struct Pending {
    std::string from, to, relative;
    int depth = 0;
    int parent = -1;
  };
  const size_t slash = source_.find_last_of("\\/");
  std::vector<Pending> pending{
      {source_, destination_, slash == std::string::npos ? source_ : source_.substr(slash + 1)}};
  // Every folder walked so far; each pending one is checked against those above it.
  visits_.clear();
  std::vector<FoundFile> batch;
  auto flush = [&] {
    if (batch.empty()) return true;
    const bool go = deliver(batch);
    batch.clear();
    return go;
  };
  // Whatever stops the walk, the files found so far are handed over first.
  auto stop = [&](DWORD error) { return flush() ? error : ERROR_CANCELLED; };

  while (!pending.empty()) {
    Pending at = std::move(pending.back());
    pending.pop_back();
    std::vector<FolderEntry> entries;
    if (const DWORD error = folders_.List(at.from, entries)) {
      // A subfolder the server refuses is left out, the rest of the tree still comes;
      // the walked folder itself, or a share that is gone, cuts the walk short.
      if (at.parent < 0 || !folders_.Reachable(source_)) return stop(error);
      ++unlisted_;
      skipped(Skip::Refused, at.relative, base::ErrorText(error));
      continue;
    }
    Visit visit;
    visit.print = ListingPrint(entries);
    visit.hasId = folders_.Identity(at.from, visit.volume, visit.id);
    visit.parent = at.parent;
    visit.relative = at.relative;
    if (const int same = SameAsAbove(visit); same >= 0) {
      skipped(Skip::SameAsAbove, at.relative, visits_[same].relative);
      continue;
    }
    if (!CreateDirectoryW(base::WidePath(at.to).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      return stop(GetLastError());
    visits_.push_back(std::move(visit));
    const int self = static_cast<int>(visits_.size()) - 1;
    for (FolderEntry& entry : entries) {
      std::string from = at.from + "\\" + entry.name;
      // Saved under a name that exists on Windows as it reads ("_NUL.txt", "_AUX").
      std::string to = at.to + "\\" + destination_path::SafeName(entry.name);
      std::string relative = at.relative + "\\" + entry.name;
      if (entry.folder) {
        // A link the client sees as one could lead anywhere, back up the tree included.
        if (entry.link) continue;
        if (IsLeftOut(from)) {
          skipped(Skip::LeftOut, relative, std::string());
        } else if (at.depth + 1 > kMaxDepth) {
          skipped(Skip::TooDeep, relative, std::string());
        } else {
          pending.push_back(
              {std::move(from), std::move(to), std::move(relative), at.depth + 1, self});
        }
        continue;
      }
      ++files_;
      if (AlreadyCopied(to, entry)) continue;
      batch.push_back(FoundFile{std::move(from), std::move(to)});
      if (batch.size() >= kFilesPerBatch && !flush()) return ERROR_CANCELLED;
    }
  }
  return stop(0);
}

int CFolderWalk::SameAsAbove(const Visit& visit) const {
  for (int above = visit.parent; above >= 0; above = visits_[above].parent) {
    const Visit& other = visits_[above];
    // The same file ID on the same volume; or, where the client gives every path an ID
    // of its own, the same listing.
    if ((visit.hasId && other.hasId && visit.volume == other.volume && visit.id == other.id) ||
        visit.print == other.print)
      return above;
  }
  return -1;
}
