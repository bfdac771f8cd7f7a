// The download engine: the ordered task list, its lock, the watch, performance and
// downloader threads, the pool that makes every file-system call, the engine
// settings, and the operations the window calls.
//
// No file-system call on a source or a destination runs on the caller's thread or
// while the kernel lock is held: the lock guards memory only, so a share that hangs
// holds up nothing but its own tasks.
//
// Tasks are named by their index in the list; deleting a task moves every later task
// down by one. All operations are called from the user-interface thread and report
// success as a boolean; file-system failures become task states, observer calls and
// log lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/CriticalSection.h"
#include "engine/DownloadTask.h"
#include "engine/FolderWalk.h"
#include "engine/IoPool.h"
#include "engine/KernelLink.h"
#include "engine/KernelObserver.h"
#include "engine/TaskListFile.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"

// Completed reads per speed window.
constexpr uint32_t SPEED_WINDOW = 10;
// Shortest time between two writes of the list file while chunks are copied.
constexpr uint32_t kListRewriteMs = 250;
// A copy's position alone moves with every chunk: the list is rewritten for it this
// seldom, so that a restart goes on at most this much copying behind.
constexpr uint32_t kListPositionRewriteMs = 2000;
// How long the performance thread lets speed samples gather between two looks.
constexpr uint32_t kSpeedPauseMs = 50;

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
  int GetSpeedUnit() const { return speedUnit; }
  float GetSpeedFactor() const { return speedFactor; }
  // Whether a new copy may replace a file of its name that is already there (the user's
  // choice); without it the copy goes beside it under the first free "name (2).ext".
  void SetReplaceExisting(bool replace) { replaceExisting = replace; }

  // The task list file, by default next to the program as "<program name>.info".
  void SetListPath(const std::string& path) { listPath = path; }
  const std::string& GetListPath() const { return listPath; }

  // Reads the task list file once, before Start. False only when no XML parser exists.
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
  void OpenTask(int index);    // (re)open both files and make the task ready
  void ResumeTask(int index);  // the user's Resume: the same as OpenTask
  bool PauseTask(int index);   // close into TS_NOTHING; the watch thread reopens it
  void StopTask(int index);    // close into TS_WRITE_ERROR until resumed
  // Close, delete the destination file (unless !deleteFile, and only when the task made
  // it), remove the task.
  bool DeleteTask(int index, bool deleteFile = true);
  // On the thread that adds and deletes tasks (the window's), after OnTasksFound: the
  // files folder listings found become tasks, and folders listed whole leave the list.
  void AddFoundTasks();
  // `positionsNow`: write positions that moved even within kListPositionRewriteMs.
  void SaveTaskList(bool positionsNow = false);

  std::string GetVersion() const { return "1.4.0"; }

  // For the window: the task count and the task at an index (null when out of range).
  // Only the thread that adds and deletes tasks (the window's) may call these; they
  // take no lock, so drawing never waits for the kernel's threads. The record stays
  // valid until DeleteTask removes it.
  int GetTaskCount() const { return static_cast<int>(tasks.size()); }
  CDownloadTask* GetTask(int index) const;
  // The same, held: the record stays valid for the holder even after it leaves the list.
  std::shared_ptr<CDownloadTask> TaskRef(int index) const;

  // Threads that make file-system calls for the kernel right now (for tests).
  int IoThreadCount() const { return pool.ThreadCount(); }

  // A file found in a folder's tree: where it is, and where its copy goes.
  using FoundFile = CFolderWalk::FoundFile;

 private:
  using TaskPtr = std::shared_ptr<CDownloadTask>;
  using ReadPtr = std::shared_ptr<CChunkRead>;

  bool PrepareTask(const std::string& sourcePath, const std::string& folder, CDownloadTask* task);
  bool IsObserverActive();
  int IndexOf(const CDownloadTask* task) const;  // -1 when not in the list
  // Under the kernel lock: the listed task that asked for or got `destination` (any
  // case), or null; found through an index, so adding thousands of files is not
  // quadratic.
  CDownloadTask* TaskWithDestination(const std::string& destination) const;
  // The same, among those that copy `source`.
  CDownloadTask* TaskWithDestination(const std::string& destination,
                                     const std::string& source) const;
  void AddToList(const TaskPtr& task);
  // The index holds a task under both the destination it asked for and the one it got.
  void IndexDestinations(CDownloadTask* task);
  void UnindexDestinations(CDownloadTask* task);
  // Under the kernel lock: the task's copy now goes to `path`.
  void MoveDestination(CDownloadTask* task, const std::string& path);
  // Under the kernel lock: the listed task goes on from `source`, opened anew; a
  // finished one is copied again, whole.
  void TakeNewSource(CDownloadTask* listed, std::string source);
  // Sets the new state and lets go of the task's files; a read in flight is abandoned.
  void CloseTask(CDownloadTask* task, int newState);
  // Hands what the task held to a pool thread, which closes it.
  void ReleaseLater(std::shared_ptr<void> what);

  // Opening, on a pool thread; the result is installed under the kernel lock.
  void RequestOpen(const TaskPtr& task);
  // What an open on a pool thread needs to know of its task.
  struct OpenRequest {
    std::wstring source;
    std::string sourcePath;   // as the task names it
    std::string asked;        // the destination asked for
    std::string destination;  // the destination the task has now
    bool claimed = false;     // `destination` is the task's own file
    bool replace = false;     // the user lets a copy replace a file of its name
    // Another task's source as its copy began (sameFileTime 0: none to compare with).
    uint64_t sameFileSize = UINT64_MAX, sameFileTime = 0;
  };
  // What an open on a pool thread found.
  struct OpenedFiles {
    base::UniqueFileHandle source, destination;
    std::string gotDestination;         // where the copy goes; empty when not settled
    bool made = false;                  // the file is the task's (made, or replaced as allowed)
    bool created = false;               // this open made it, new and empty
    bool alreadyThere = false;          // the same file is at gotDestination: nothing to copy
    const char* replacedWhy = nullptr;  // why a file that was there was replaced
    uint64_t sourceSize = UINT64_MAX;
    uint64_t sourceTime = 0;  // last write, in FILETIME units
    uint64_t sourceCreated = 0;
    uint64_t destinationSize = 0;
    DWORD error = 0;
    bool sourceFailed = false;
    bool sourceIsFolder = false;  // the source is a folder: listed, not copied
    bool sizeUnknown = false;     // the source opened, but its size could not be read
    bool sameFile = false;        // the source is the request's other task's file
  };
  static OpenedFiles OpenFiles(const std::shared_ptr<CKernelLink>& link,
                               const OpenRequest& request);
  // Makes, or settles on, the copy's file once the source is open (sizes known).
  static void ClaimDestination(const std::shared_ptr<CKernelLink>& link, const OpenRequest& request,
                               OpenedFiles& files);
  // Under the kernel lock: whether the file at `path`, of this size and last-write time,
  // is a copy this kernel finished of `source` and nobody has changed since.
  bool IsOwnUnchangedCopy(const std::string& path, const std::string& source, uint64_t size,
                          uint64_t time) const;
  // What OpenFinished leaves to its pool thread: a file it made that no task uses (it is
  // deleted) and whether the list changed (it is written).
  struct OpenOutcome {
    std::string deleteMade;
    bool saveList = false;
    bool takeOver = false;  // a take-over waits for the adding thread
  };
  // Takes the handles it keeps out of `files`.
  OpenOutcome OpenFinished(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                           OpenedFiles& files);
  // A folder's task: its tree is listed on a pool thread into a task per file (folder
  // \ name \ relative path), in batches as they are found; the folder's own task
  // leaves the list once the whole tree is listed, and lists again (passing over what
  // is already there) when a close cut the listing short.
  void ListFolderLater(const TaskPtr& folder);
  // From the listing's thread: what it found goes to the adding thread (AddFoundTasks).
  // False when the folder's task is gone, paused or reopened, which ends the listing.
  bool HandOverFound(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                     std::vector<FoundFile> files, bool listed, size_t count, size_t unlisted,
                     DWORD error);
  bool AddFolderFiles(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                      std::vector<FoundFile>& files);
  // `unlisted`: subfolders the server refused, left out for good.
  void FolderListed(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation, size_t files,
                    size_t unlisted, DWORD error);
  // Takes the task at `index` out of the list, telling the observer; its files stay.
  void RemoveFromList(int index);
  // Sizes of loaded tasks whose sources can be reached now, read on a few pool threads.
  void ReadSizesLater(const std::vector<TaskPtr>& batch);
  void DeleteFileLater(const std::string& path);

  // The three threads.
  static DWORD WINAPI WatchThreadProc(LPVOID kernel);
  static DWORD WINAPI PerformanceThreadProc(LPVOID kernel);
  static DWORD WINAPI DownloaderThreadProc(LPVOID kernel);
  void WatchLoop();
  void PerformanceLoop();
  void DownloaderLoop();

  // Copy-loop steps.
  bool IssueReads();  // true when some task has a read in flight
  // Under the kernel lock: starts the task's next read, at `offset`, on a pool thread,
  // which then writes the chunk and goes on with the task's next chunks.
  void SubmitRead(const TaskPtr& task, uint64_t offset);
  // A chunk read and still to be written, and the task generation it belongs to.
  struct ChunkWrite {
    TaskPtr task;  // null: nothing to write
    std::shared_ptr<base::UniqueFileHandle> destination;
    const BYTE* data = nullptr;
    DWORD count = 0;
    uint64_t offset = 0;
    uint32_t generation = 0;
    bool finish = false;  // the source is copied to its end: the task completes
    uint64_t endOfFile = 0;
    // A list write has come since the task's last flush: this chunk's thread flushes.
    bool flushDue = false;
    uint32_t listWrites = 0;
    bool flushed = false;
  };
  // The pool thread's loop for one task: read, write, read on until the task ends, is
  // closed or fails.
  static void CopyChunks(const std::shared_ptr<CKernelLink>& link,
                         const std::weak_ptr<CDownloadTask>& weak, const ReadPtr& read);
  // After a read: the chunk to write, or none (the task was closed meanwhile, or the
  // read failed and the task is paused), or the task to finish (the source ended).
  ChunkWrite TakeChunk(const std::weak_ptr<CDownloadTask>& weak, const ReadPtr& read);
  // After the write: records the copied position; true when this thread is to read the
  // next chunk (prepared here). After the last chunk it lets go of the chunk's hold on
  // the destination (opened without read sharing) and marks the task to finish.
  bool ChunkWritten(ChunkWrite& chunk, const ReadPtr& read, bool written);
  // The copying thread's end of a task whose last byte is in: closes the source, cuts
  // and closes the destination, then completes the task. The files are handled outside
  // the link, so a share that hangs on close never holds up the kernel's end.
  static void FinishCopy(const std::shared_ptr<CKernelLink>& link, const ChunkWrite& chunk,
                         const ReadPtr& read);
  // Writes the chunk, asking the observer whether to try again after a failure.
  static bool WriteChunk(const std::shared_ptr<CKernelLink>& link, const ChunkWrite& chunk);
  // Under the link: takes the copied task's destination and its source's times, unless
  // the task was closed meanwhile (false).
  bool TakeCopiedFiles(const TaskPtr& task, uint32_t generation,
                       std::shared_ptr<base::UniqueFileHandle>& destination, uint64_t& written,
                       uint64_t& created);
  // With the copy's end, its source's time and how its files closed (0, or the error).
  void CompleteTask(const TaskPtr& task, uint32_t generation, uint64_t endOfFile, uint64_t written,
                    DWORD failure);
  // Whether the source is as it was when the copy began (not `measured`: its size and
  // time cannot be read); otherwise the task starts over and the log says so.
  bool SourceUnchanged(const TaskPtr& task, uint32_t generation, bool measured, uint64_t size,
                       uint64_t lastWrite);
  void PauseAfterFailedRead(int index, CDownloadTask* task, DWORD error);
  void TakeSpeedSample(int index, CDownloadTask* task, uint64_t readMicros);
  // From pool threads, after a chunk, a completion or a folder's listing: the downloader
  // thread writes the list file, at most every kListRewriteMs while tasks copy (`now`:
  // at its next turn). A pool thread never writes it itself, so that a list file that
  // hangs never holds up the kernel's end.
  void SaveTaskListSoon(bool now = false);
  // Stopped after running: what pool threads bring back now is not taken up.
  bool Stopping() const;
  // Milliseconds until a deferred list write is due (INFINITE when none is pending);
  // writes it when it is due now.
  DWORD WriteDeferredList();

  std::atomic<int> stopped{1};
  std::string defaultFolder;
  base::UniqueKernelHandle WorkEvent;       // wakes the downloader thread
  base::UniqueKernelHandle WatchWakeEvent;  // ends the watch thread's wait early
  base::UniqueKernelHandle SpeedWakeEvent;  // a read completed, a task opened, or Stop
  base::UniqueKernelHandle StopEvent;       // manual-reset, set while stopping
  CCriticalSection lock;
  base::UniqueKernelHandle watchThread, performanceThread, downloaderThread;
  DWORD watchThreadId = 0, performanceThreadId = 0, downloaderThreadId = 0;
  std::string listPath;
  // The list file is written without the kernel lock; this orders the writers, and a
  // snapshot older than the one on disk is not written.
  CCriticalSection listLock;
  uint64_t listSnapshots = 0;  // under the kernel lock
  uint64_t listWrittenSnapshot = 0;
  std::vector<TaskListEntry> lastListEntries;  // what this kernel last wrote to listPath
  bool listWritten = false;
  uint64_t listPositionsTick = 0;  // when positions were last written
  uint64_t listWriteMs = 0;        // how long the last write took
  DWORD listSaveError = 0;         // why the last save failed, 0 after a good one; logged on change
  std::atomic<bool> listDirty{false};      // a change waits for the next list write
  std::atomic<uint64_t> listWriteTick{0};  // when the list was last written (or checked)
  std::atomic<uint32_t> listWrites{0};     // list files written so far
  IKernelObserver* observer = nullptr;
  // Shared so that a thread busy with a task keeps the record (and its events) alive
  // even when the window deletes the task meanwhile.
  std::vector<TaskPtr> tasks;
  // Listed tasks by their destinations (asked for and got) folded to upper case.
  std::unordered_multimap<std::wstring, CDownloadTask*> byDestination;
  // Copies finished in this run, by their path folded: a later copy of the same source
  // may replace one that nobody has changed since.
  struct FinishedCopy {
    std::string source;
    uint64_t size = 0, time = 0;
  };
  std::unordered_map<std::wstring, FinishedCopy> finishedCopies;
  std::atomic<bool> replaceExisting{false};
  // What folder listings found, in order, for AddFoundTasks; under the kernel lock.
  struct FoundWork {
    std::weak_ptr<CDownloadTask> folder;
    uint32_t generation = 0;
    std::vector<FoundFile> files;
    bool listed = false;  // the listing's end: count, unlisted and error say how it went
    size_t count = 0;
    size_t unlisted = 0;
    DWORD error = 0;
  };
  std::deque<FoundWork> foundWork;
  // Tasks whose source turned out to be another unfinished task's file by another path,
  // each with that task, for AddFoundTasks; under the kernel lock.
  std::deque<std::pair<std::weak_ptr<CDownloadTask>, std::weak_ptr<CDownloadTask>>> takeOvers;
  void TakeOver(const TaskPtr& newcomer, const TaskPtr& task);
  // Completed reads' own durations, in microseconds, for the performance thread.
  std::deque<std::pair<std::weak_ptr<CDownloadTask>, uint64_t>> speedSamples;
  int speedUnit = 2;
  float speedFactor = 1024.0f;
  std::atomic<uint32_t> watchInterval{5000};
  std::shared_ptr<CKernelLink> link;
  CIoPool pool;
};
