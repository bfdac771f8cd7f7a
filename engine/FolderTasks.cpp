// A folder among the sources becomes a task per file of its tree. The tree is listed on
// a pool thread (a share that hangs holds that thread, never the window or the copy
// loop) and handed to the kernel in batches, so rows appear as files are found.
#include <utility>

#include "base/ErrorText.h"
#include "base/Utf8.h"
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"

namespace {

// Files handed over at a time: the first rows come at once, a big tree costs few locks.
constexpr size_t kFilesPerBatch = 256;

using FoundFile = CDownloaderKernel::FoundFile;

uint64_t Join(DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; }

// Whether the destination already holds this file as a finished copy leaves it: the
// same size and the same last-write time, which a finished copy takes from its source.
bool AlreadyCopied(const std::string& destination, const WIN32_FIND_DATAW& source) {
  WIN32_FILE_ATTRIBUTE_DATA copy{};
  if (!GetFileAttributesExW(base::WidePath(destination).c_str(), GetFileExInfoStandard, &copy))
    return false;
  return Join(copy.nFileSizeHigh, copy.nFileSizeLow) ==
             Join(source.nFileSizeHigh, source.nFileSizeLow) &&
         CompareFileTime(&copy.ftLastWriteTime, &source.ftLastWriteTime) == 0;
}

// Walks the tree below `source`, making each folder under `destination` (empty ones
// too) and handing its files to `deliver` in batches; `deliver` returning false stops
// the walk. Returns 0, or the error that cut the listing short.
template <typename Deliver>
DWORD WalkTree(const std::string& source, const std::string& destination, size_t& count,
               Deliver deliver) {
  std::vector<std::pair<std::string, std::string>> folders{{source, destination}};
  std::vector<FoundFile> batch;
  while (!folders.empty()) {
    auto [from, to] = std::move(folders.back());
    folders.pop_back();
    if (!CreateDirectoryW(base::WidePath(to).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS)
      return GetLastError();
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileExW(base::WidePath(from + "\\*").c_str(), FindExInfoBasic, &found,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND) continue;  // nothing in it
      return error;
    }
    DWORD error = 0;
    do {
      const std::wstring wide = found.cFileName;
      if (wide == L"." || wide == L"..") continue;
      const std::string name = base::Narrow(wide);
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        // A link to a folder could lead back up the tree for ever.
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
          folders.emplace_back(from + "\\" + name, to + "\\" + name);
        continue;
      }
      ++count;
      std::string target = to + "\\" + name;
      if (AlreadyCopied(target, found)) continue;
      batch.push_back(FoundFile{from + "\\" + name, std::move(target)});
      if (batch.size() >= kFilesPerBatch) {
        if (!deliver(batch)) {
          FindClose(find);
          return ERROR_CANCELLED;
        }
        batch.clear();
      }
    } while (FindNextFileW(find, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES) error = GetLastError();
    FindClose(find);
    if (error) return error;
  }
  if (!batch.empty() && !deliver(batch)) return ERROR_CANCELLED;
  return 0;
}

}  // namespace

void CDownloaderKernel::ListFolderLater(const TaskPtr& folder) {
  CLockGuard guard(lock);
  // Held until the listing ends: the watch thread's retries open no second listing.
  folder->openPending = true;
  folder->openGeneration = folder->generation;
  folder->SetWaitReason("Listing the folder");
  g_log.Printf("[%s] - is a folder: listing its files", folder->name.c_str());
  std::weak_ptr<CDownloadTask> weak = folder;
  pool.Submit([link = link, weak, generation = folder->generation, source = folder->source,
               destination = folder->destination] {
    size_t count = 0;
    const DWORD error = WalkTree(source, destination, count, [&](std::vector<FoundFile>& files) {
      bool wanted = false;
      link->With([&](CDownloaderKernel& kernel) {
        wanted = kernel.AddFolderFiles(weak, generation, files);
      });
      return wanted;
    });
    link->With(
        [&](CDownloaderKernel& kernel) { kernel.FolderListed(weak, generation, count, error); });
  });
}

bool CDownloaderKernel::AddFolderFiles(const std::weak_ptr<CDownloadTask>& weak,
                                       uint32_t generation, std::vector<FoundFile>& files) {
  {
    CLockGuard guard(lock);
    TaskPtr folder = weak.lock();
    if (Stopping() || !folder || IndexOf(folder.get()) < 0 || folder->generation != generation)
      return false;
    std::vector<TaskPtr> batch;
    for (FoundFile& file : files) {
      if (CDownloadTask* listed = TaskWithDestination(file.destination)) {
        // Listed before a close cut the listing short: that task goes on as it is. A
        // finished one whose source has changed since is copied again, whole.
        if (listed->GetState() == TS_COMPLETED) TakeNewSource(listed, std::move(file.source));
        continue;
      }
      auto task = std::make_shared<CDownloadTask>();
      task->name = CDownloadTask::NameFromSource(file.source);
      task->source = std::move(file.source);
      task->destination = std::move(file.destination);
      AddToList(task);
      batch.push_back(std::move(task));
    }
    for (auto& task : batch) RequestOpen(task);
    if (!batch.empty() && IsObserverActive()) observer->OnTasksAdded();
  }
  SaveTaskListSoon(true);
  return true;
}

void CDownloaderKernel::FolderListed(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                     size_t files, DWORD error) {
  {
    CLockGuard guard(lock);
    TaskPtr folder = weak.lock();
    const int index = folder ? IndexOf(folder.get()) : -1;
    if (index < 0 || folder->generation != generation) return;  // paused or gone meanwhile
    folder->openPending = false;
    if (error) {
      // Kept in the list: the watch thread lists it again, passing over what it found.
      g_log.Printf("[%s] - the folder cannot be listed whole: %s", folder->name.c_str(),
                   base::ErrorText(error).c_str());
      folder->SetWaitReason(base::ErrorText(error));
      return;
    }
    g_log.Printf("[%s] - folder listed: %llu files", folder->name.c_str(),
                 static_cast<unsigned long long>(files));
    // Its files are tasks of their own now.
    RemoveFromList(index);
  }
  SaveTaskListSoon(true);
}
