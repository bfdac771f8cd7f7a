// A folder among the sources becomes a task per file of its tree. The tree is listed on
// a pool thread (a share that hangs holds that thread, never the window or the copy
// loop) and handed to the kernel in batches, so rows appear as files are found.
#include <utility>

#include "base/ErrorText.h"
#include "base/Utf8.h"
#include "engine/DestinationPath.h"
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "engine/FolderWalk.h"

namespace {

using FoundFile = CDownloaderKernel::FoundFile;

// The log's words for a subfolder the walk leaves out.
void LogSkipped(const std::string& name, CFolderWalk::Skip why, const std::string& relative,
                const std::string& detail) {
  switch (why) {
    case CFolderWalk::Skip::Refused:
      g_log.Printf("[%s] - cannot list %s: %s", name.c_str(), relative.c_str(), detail.c_str());
      break;
    case CFolderWalk::Skip::SameAsAbove:
      g_log.Printf("[%s] - left out %s: it is %s again (a link back up the tree)", name.c_str(),
                   relative.c_str(), detail.c_str());
      break;
    case CFolderWalk::Skip::TooDeep:
      g_log.Printf("[%s] - left out %s: more than %d folders deep", name.c_str(), relative.c_str(),
                   CFolderWalk::kMaxDepth);
      break;
    case CFolderWalk::Skip::LeftOut:
      g_log.Printf("[%s] - left out %s: it is where the folder is copied to", name.c_str(),
                   relative.c_str());
      break;
  }
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
               destination = folder->destination, name = folder->name] {
    CFileSystemFolders folders;
    CFolderWalk walk(folders, source, destination);
    // The destination's own tree, inside the source, would be copied into itself while
    // it grows.
    walk.LeaveOut(destination);
    const DWORD error = walk.Run(
        [&](std::vector<FoundFile>& files) {
          bool wanted = false;
          link->With([&](CDownloaderKernel& kernel) {
            wanted = kernel.HandOverFound(weak, generation, std::move(files), false, 0, 0, 0);
          });
          files.clear();
          return wanted;
        },
        [&](CFolderWalk::Skip why, const std::string& relative, const std::string& detail) {
          LogSkipped(name, why, relative, detail);
        });
    link->With([&](CDownloaderKernel& kernel) {
      kernel.HandOverFound(weak, generation, {}, true, walk.Files(), walk.Unlisted(), error);
    });
  });
}

bool CDownloaderKernel::HandOverFound(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                      std::vector<FoundFile> files, bool listed, size_t count,
                                      size_t unlisted, DWORD error) {
  {
    CLockGuard guard(lock);
    TaskPtr folder = weak.lock();
    // Before Start files are taken as well; once Stop has begun the listing ends.
    if (Stopping() || !folder || IndexOf(folder.get()) < 0 || folder->generation != generation)
      return false;
    foundWork.push_back(
        FoundWork{weak, generation, std::move(files), listed, count, unlisted, error});
  }
  // The window reads the list without a lock: only its own thread may change it.
  if (!IsObserverActive() || !observer->OnTasksFound()) AddFoundTasks();
  return true;
}

void CDownloaderKernel::AddFoundTasks() {
  std::deque<FoundWork> work;
  decltype(takeOvers) handOvers;
  {
    CLockGuard guard(lock);
    work.swap(foundWork);
    handOvers.swap(takeOvers);
  }
  for (auto& [newcomer, task] : handOvers) {
    TaskPtr from = newcomer.lock(), to = task.lock();
    if (from && to) TakeOver(from, to);
  }
  for (FoundWork& each : work) {
    if (each.listed)
      FolderListed(each.folder, each.generation, each.count, each.unlisted, each.error);
    else
      AddFolderFiles(each.folder, each.generation, each.files);
  }
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
      if (CDownloadTask* listed = TaskWithDestination(file.destination, file.source)) {
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

void CDownloaderKernel::TakeOver(const TaskPtr& newcomer, const TaskPtr& task) {
  {
    CLockGuard guard(lock);
    const int index = IndexOf(newcomer.get());
    if (index < 0 || IndexOf(task.get()) < 0) return;  // deleted meanwhile: that stands
    if (task->GetState() == TS_COMPLETED) {
      newcomer->openPending = false;
      RequestOpen(newcomer);  // finished meanwhile: the newcomer copies on its own
      return;
    }
    g_log.Printf("[%s] - %s is the same file by another path: this task goes on from it",
                 task->name.c_str(), newcomer->source.c_str());
    RemoveFromList(index);
    CloseTask(task.get(), TS_NOTHING);
    task->source = newcomer->source;
    // A read that still hangs on the old path holds up nothing on the new one.
    task->abandonedRead.reset();
    RequestOpen(task);
  }
  SaveTaskListSoon(true);
}

void CDownloaderKernel::FolderListed(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                     size_t files, size_t unlisted, DWORD error) {
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
    if (unlisted == 0) {
      g_log.Printf("[%s] - folder listed: %llu files", folder->name.c_str(),
                   static_cast<unsigned long long>(files));
    } else {
      // Refused by the server: listing again would meet the same refusal every 5 s.
      g_log.Printf("[%s] - folder listed: %llu files, %llu subfolders could not be listed",
                   folder->name.c_str(), static_cast<unsigned long long>(files),
                   static_cast<unsigned long long>(unlisted));
    }
    // Its files are tasks of their own now.
    RemoveFromList(index);
  }
  SaveTaskListSoon(true);
}
