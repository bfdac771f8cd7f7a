// The download engine as the window sees it: the operations it calls, the engine
// settings, and one observer that hears of every task event. A thin front over the
// parts that do the work (listed with the members below).
//
// No file-system call on a source or a destination runs on the caller's thread or
// while a lock is held: locks guard memory only, so a share that hangs holds up
// nothing but its own tasks. The observer hears from the kernel after its locks are
// released, so it may call back into the kernel from any notice.
//
// Tasks are named by their index in the list; deleting a task moves every later task
// down by one. All operations are called from the user-interface thread and report
// success as a boolean; file-system failures become task states, observer calls and
// log lines.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"
#include "base/Win.h"
#include "engine/CopyLoop.h"
#include "engine/DownloadTask.h"
#include "engine/FolderTasks.h"
#include "engine/IoPool.h"
#include "engine/KernelNotices.h"
#include "engine/KernelObserver.h"
#include "engine/ListSaver.h"
#include "engine/SpeedMeter.h"
#include "engine/TaskTable.h"
#include "engine/TaskWatcher.h"

class CDownloaderKernel {
 public:
  CDownloaderKernel();
  // Stops the threads first if they run.
  virtual ~CDownloaderKernel();
  CDownloaderKernel(const CDownloaderKernel&) = delete;
  CDownloaderKernel& operator=(const CDownloaderKernel&) = delete;

  // Not owned; null detaches.
  void SetObserver(IKernelObserver* newObserver);

  // Settings, applied before LoadTaskList.
  bool SetDefaultFolder(const std::string& path);  // a trailing backslash is dropped
  const std::string& GetDefaultFolder() const { return defaultFolder; }
  void SetWatchInterval(int seconds);  // retry period for closed tasks
  void SetSpeedUnit(int unit);         // 0, 1 ("Kbps") or 2 ("Mbps"); others ignored
  int GetSpeedUnit() const { return meter.Unit(); }
  float GetSpeedFactor() const { return meter.Factor(); }
  // Whether a new copy may replace a file of its name that is already there (the user's
  // choice); without it the copy goes beside it under the first free "name (2).ext".
  void SetReplaceExisting(bool replace) { copier.SetReplaceExisting(replace); }
  // How many tasks copy at once (0: all). The others wait for their turn unopened and
  // start in list order as copies end; raising the number starts them at once.
  void SetFilesAtOnce(int count) { copier.Queue().SetLimit(count); }
  int GetFilesAtOnce() { return copier.Queue().Limit(); }
  // A cap on the speed of all copies together, in the window's Mbps (0: none).
  void SetSpeedLimit(uint32_t mbps) { copier.Cap().SetMbps(mbps); }
  uint32_t GetSpeedLimit() { return copier.Cap().Mbps(); }
  // Whether each copy is read back after its last chunk and compared with the hashes of
  // what was read (off by default): "[name] - verified" in the log, or a copy that starts
  // over once and then stops with a write error.
  void SetVerifyCopies(bool verify) { copier.SetVerifyCopies(verify); }

  // The task list file, by default next to the program as "<program name>.info".
  void SetListPath(const std::string& path) { saver.SetPath(path); }
  const std::string& GetListPath() const { return saver.Path(); }

  // Reads the task list file once, before Start. False only when no XML parser exists.
  // A list that cannot be read whole is copied to "<list>.kept" first, as the next
  // write replaces it, and the log says so.
  bool LoadTaskList();
  // One task per source, into `folder` (empty = the default folder). False when the
  // observer refused an add without any folder, or no source made a new task (a
  // source that an existing task already copies reopens that task).
  bool AddTasks(const std::vector<std::string>& sources, const std::string& folder);
  // Opens every task and starts the threads.
  bool Start();
  // Joins the threads (watch, performance, downloader); every unfinished task ends in
  // TS_NOTHING with its files closed.
  bool Stop();

  // Run-time operations on the task at `index`; out-of-range indexes do nothing. Each
  // returns at once, whatever the task's share does: files are opened, read, closed
  // and deleted on pool threads.
  void OpenTask(int index);  // (re)open both files and make the task ready
  // The user's Resume: as OpenTask, and when it must wait for its turn it goes first.
  void ResumeTask(int index);
  bool PauseTask(int index);  // close into TS_NOTHING; the watch thread reopens it
  void StopTask(int index);   // close into TS_WRITE_ERROR until resumed
  // Close, delete the destination file (unless !deleteFile, and only when the task made
  // it), remove the task.
  bool DeleteTask(int index, bool deleteFile = true);
  // On the thread that adds and deletes tasks (the window's), after OnTasksFound: the
  // files folder listings found become tasks, folders listed whole leave the list, and
  // a task whose source turned out to be another's file by another path hands over.
  void AddFoundTasks();
  // Moves the tasks at `indexes` to the top or bottom of the list, or one place up or
  // down (a block at that end stays), keeping their order among themselves; the list
  // file is written in the new order. Gives the moved tasks' new indexes, top down.
  using TaskMove = CTaskTable::Rows::Place;
  std::vector<int> MoveTasks(const std::vector<int>& indexes, TaskMove move);
  // `positionsNow`: write positions that moved even within kListPositionRewriteMs.
  void SaveTaskList(bool positionsNow = false);

  std::string GetVersion() const { return "1.4.0"; }

  // For the window: the task count and the task at an index (null when out of range).
  // Only the thread that adds and deletes tasks (the window's) may call these; they
  // take no lock, so drawing never waits for the kernel's threads. The record stays
  // valid until DeleteTask removes it.
  int GetTaskCount() const { return table.Count(); }
  CDownloadTask* GetTask(int index) const;
  // The same, held: the record stays valid for the holder even after it leaves the list.
  std::shared_ptr<CDownloadTask> TaskRef(int index) const;

  // Whether some task is ready or copying. From any thread: it takes the table's lock.
  bool AnyTaskCopying() const;

  // Threads that make file-system calls for the kernel right now (for tests).
  int IoThreadCount() const { return pool.ThreadCount(); }

 private:
  // Copies the list file aside and logs why; `parsed`: the reader worked on it.
  void KeepUnreadList(bool parsed, size_t tasksRead);
  using TaskPtr = CTaskTable::TaskPtr;

  bool PrepareTask(CTaskTable::Writer& rows, const std::string& sourcePath,
                   const std::string& folder, CDownloadTask* task);

  // Who owns what (each part's header says which thread may touch it):
  // - notices: the observer, and the notices gathered under the table's lock;
  // - table: the ordered tasks, their destinations and the kernel's fields of each
  //   record, under one reader/writer lock; rows change only on the window's thread;
  // - saver: the task list file; speed meter: speeds and the performance thread;
  // - copier: opening, copying and completing tasks, and the downloader thread;
  // - folders: folder sources listed into tasks; watcher: the watch thread.
  std::atomic<int> stopped{1};
  std::string defaultFolder;
  base::UniqueKernelHandle WorkEvent;       // wakes the downloader thread
  base::UniqueKernelHandle WatchWakeEvent;  // ends the watch thread's wait early
  base::UniqueKernelHandle SpeedWakeEvent;  // a read completed, a task opened, or Stop
  base::UniqueKernelHandle StopEvent;       // manual-reset, set while stopping
  CKernelNotices notices;
  CTaskTable table;
  CIoPool pool;
  CListSaver saver;
  CSpeedMeter meter;
  CFolderTasks folders;
  CCopyLoop copier;
  CTaskWatcher watcher;
};
