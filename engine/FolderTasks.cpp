#include "engine/FolderTasks.h"

#include <utility>

#include "base/ErrorText.h"
#include "base/Utf8.h"
#include "engine/DestinationPath.h"
#include "engine/CopyLoop.h"
#include "engine/EventLog.h"
#include "engine/FolderWalk.h"

namespace {

using FoundFile = CFolderTasks::FoundFile;
using Kind = CKernelNotices::Kind;

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

CFolderTasks::CFolderTasks(CTaskTable& table, CKernelNotices& notices, CIoPool& pool,
                           CListSaver& saver, CCopyLoop& copier)
    : table_(table),
      notices_(notices),
      pool_(pool),
      saver_(saver),
      copier_(copier),
      link_(std::make_shared<CKernelLink<CFolderTasks>>(this)) {}

CFolderTasks::~CFolderTasks() { link_->Cut(); }

bool CFolderTasks::StillWanted(const CTaskTable::Rows& rows, const TaskPtr& folder,
                               uint32_t generation) const {
  // Before Start files are taken as well; once Stop has begun the listing ends.
  return !copier_.Stopping() && folder && rows.IndexOf(folder.get()) >= 0 &&
         folder->generation == generation;
}

void CFolderTasks::ListLater(CTaskTable::Writer&, const TaskPtr& folder) {
  // Held until the listing ends: the watch thread's retries open no second listing.
  folder->openPending = true;
  folder->openGeneration = folder->generation;
  folder->SetWaitReason("Listing the folder");
  g_log.Printf("[%s] - is a folder: listing its files", folder->name.c_str());
  std::weak_ptr<CDownloadTask> weak = folder;
  pool_.Submit([link = link_, weak, generation = folder->generation, source = folder->source,
                destination = folder->destination, name = folder->name] {
    CFileSystemFolders folders;
    CFolderWalk walk(folders, source, destination);
    // The destination's own tree, inside the source, would be copied into itself while
    // it grows.
    walk.LeaveOut(destination);
    const DWORD error = walk.Run(
        [&](std::vector<FoundFile>& files) {
          bool wanted = false;
          link->With([&](CFolderTasks& lister) {
            wanted = lister.HandOverFound(FoundWork{weak, generation, std::move(files)});
          });
          files.clear();
          return wanted;
        },
        [&](CFolderWalk::Skip why, const std::string& relative, const std::string& detail) {
          LogSkipped(name, why, relative, detail);
        });
    link->With([&](CFolderTasks& lister) {
      lister.HandOverFound(
          FoundWork{weak, generation, {}, true, walk.Files(), walk.Unlisted(), error});
    });
  });
}

bool CFolderTasks::HandOverFound(FoundWork work) {
  {
    auto rows = table_.Read();
    if (!StillWanted(*rows, work.folder.lock(), work.generation)) return false;
    found_.Lock()->push_back(std::move(work));
  }
  // The window reads the list without a lock: only its own thread may change it. An
  // observer that does not take this up leaves it to the listing's thread.
  if (!notices_.TasksFound(/*inactiveAnswer=*/false)) AddFoundTasks();
  return true;
}

void CFolderTasks::AddFoundTasks() {
  std::deque<FoundWork> work;
  found_.Lock()->swap(work);
  for (FoundWork& each : work) {
    if (each.listed)
      FolderListed(each.folder, each.generation, each.count, each.unlisted, each.error);
    else
      AddFolderFiles(each.folder, each.generation, each.files);
  }
}

bool CFolderTasks::AddFolderFiles(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                  std::vector<FoundFile>& files) {
  {
    auto rows = table_.Write();
    if (!StillWanted(*rows, weak.lock(), generation)) return false;
    std::vector<TaskPtr> batch;
    for (FoundFile& file : files) {
      if (CDownloadTask* listed = rows->Find(file.destination, file.source)) {
        // Listed before a close cut the listing short: that task goes on as it is. A
        // finished one whose source has changed since is copied again, whole.
        if (listed->GetState() == TS_COMPLETED)
          copier_.TakeNewSource(rows, listed, std::move(file.source));
        continue;
      }
      auto task = std::make_shared<CDownloadTask>();
      task->name = CDownloadTask::NameFromSource(file.source);
      task->source = std::move(file.source);
      task->destination = std::move(file.destination);
      rows->Add(task);
      batch.push_back(std::move(task));
    }
    for (auto& task : batch) copier_.RequestOpen(rows, task);
    if (!batch.empty()) rows.Notify(Kind::TasksAdded, -1);
  }
  saver_.SaveSoon(true);
  return true;
}

void CFolderTasks::FolderListed(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                size_t files, size_t unlisted, DWORD error) {
  {
    auto rows = table_.Write();
    TaskPtr folder = weak.lock();
    const int index = folder ? rows->IndexOf(folder.get()) : -1;
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
    copier_.RemoveTask(rows, index);
  }
  saver_.SaveSoon(true);
}
