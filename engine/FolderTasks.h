// A folder among the sources becomes a task per file of its tree. The tree is listed on
// a pool thread (a share that hangs holds that thread, never the window or the copy
// loop) and handed over in batches, so rows appear as files are found. What is found
// becomes tasks on the window's thread (AddFoundTasks), the one thread that adds and
// removes rows; the folder's own task leaves the list once its whole tree is listed,
// and lists again (passing over what is already there) when a close cut it short.
#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "base/Guarded.h"
#include "base/Win.h"
#include "engine/FolderWalk.h"
#include "engine/IoPool.h"
#include "engine/KernelLink.h"
#include "engine/KernelNotices.h"
#include "engine/ListSaver.h"
#include "engine/TaskTable.h"

class CCopyLoop;

class CFolderTasks {
 public:
  using TaskPtr = CTaskTable::TaskPtr;
  using FoundFile = CFolderWalk::FoundFile;

  CFolderTasks(CTaskTable& table, CKernelNotices& notices, CIoPool& pool, CListSaver& saver,
               CCopyLoop& copier);
  ~CFolderTasks();
  CFolderTasks(const CFolderTasks&) = delete;
  CFolderTasks& operator=(const CFolderTasks&) = delete;

  // Lists the folder's tree on a pool thread.
  void ListLater(CTaskTable::Writer& rows, const TaskPtr& folder);
  // On the window's thread, after OnTasksFound: the files found become tasks, and
  // folders listed whole leave the list.
  void AddFoundTasks();
  // Pool threads still inside a listing find the link cut when they come back.
  void CutLink() { link_->Cut(); }

 private:
  // What a listing found, in order, for AddFoundTasks.
  struct FoundWork {
    std::weak_ptr<CDownloadTask> folder;
    uint32_t generation = 0;
    std::vector<FoundFile> files;
    bool listed = false;  // the listing's end: count, unlisted and error say how it went
    size_t count = 0;
    size_t unlisted = 0;
    DWORD error = 0;
  };
  // From the listing's thread. False when the folder's task is gone, paused or
  // reopened, which ends the listing.
  bool HandOverFound(FoundWork work);
  bool AddFolderFiles(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                      std::vector<FoundFile>& files);
  // `unlisted`: subfolders the server refused, left out for good.
  void FolderListed(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation, size_t files,
                    size_t unlisted, DWORD error);
  // The folder's task is still listed, for the same generation, and the kernel runs on.
  bool StillWanted(const CTaskTable::Rows& rows, const TaskPtr& folder, uint32_t generation) const;

  CTaskTable& table_;
  CKernelNotices& notices_;
  CIoPool& pool_;
  CListSaver& saver_;
  CCopyLoop& copier_;
  base::Guarded<std::deque<FoundWork>> found_;
  std::shared_ptr<CKernelLink<CFolderTasks>> link_;
};
