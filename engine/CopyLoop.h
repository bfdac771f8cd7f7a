// The copy engine: opening a task (on a pool thread: the source, then a destination of
// its own), copying it (one chunk read in flight per open task, made by a pool thread
// that then writes the chunk at the same offset of the destination and reads the
// next) and completing it (sizes and times checked, the copy cut, flushed and closed).
// Tasks copy side by side, each on its own pool thread: the thread that opened a task
// goes on to copy it. The downloader thread starts the reads of tasks left ready
// otherwise and writes the list file when a write is due.
//
// Everything that changes a task's files or its kernel fields does so with the task
// table held alone (a CTaskTable::Writer); file-system calls are made with nothing held.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/Guarded.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"
#include "engine/ChunkRead.h"
#include "engine/CopyCheck.h"
#include "engine/IoPool.h"
#include "engine/KernelLink.h"
#include "engine/KernelNotices.h"
#include "engine/ListSaver.h"
#include "engine/ReadWindow.h"
#include "engine/SpeedCap.h"
#include "engine/SpeedMeter.h"
#include "engine/TaskQueue.h"
#include "engine/TaskTable.h"
#include "engine/WorkerThread.h"

class CFolderTasks;

class CCopyLoop {
 public:
  using TaskPtr = CTaskTable::TaskPtr;
  using Writer = CTaskTable::Writer;

  // `wake` is the kernel's WorkEvent; `stopEvent` is set while the kernel stops.
  CCopyLoop(CTaskTable& table, CKernelNotices& notices, CIoPool& pool, CListSaver& saver,
            CSpeedMeter& meter, CFolderTasks& folders, HANDLE wake, HANDLE stopEvent,
            const std::atomic<int>& stopped);
  ~CCopyLoop();
  CCopyLoop(const CCopyLoop&) = delete;
  CCopyLoop& operator=(const CCopyLoop&) = delete;

  // Whether a new copy may replace a file of its name that is already there.
  void SetReplaceExisting(bool replace) { replaceExisting_ = replace; }
  // How many tasks copy at once, and the cap on the speed of all of them.
  CTaskQueue& Queue() { return queue_; }
  CSpeedCap& Cap() { return *cap_; }
  // Whether each copy is read back and compared with what was read; taken by every
  // copy that starts or goes on after the call.
  void SetVerifyCopies(bool verify) { verifyCopies_ = verify; }

  // Opens the task on a pool thread; the result is installed with the table held. A
  // task whose open is under way, or whose last read still hangs, gets no second one.
  void RequestOpen(Writer& rows, const TaskPtr& task);
  // Sets the new state and lets go of the task's files; a read in flight is abandoned.
  void CloseTask(Writer& rows, CDownloadTask* task, int newState);
  // The listed task goes on from `source`, opened anew; a finished one is copied again,
  // whole.
  void TakeNewSource(Writer& rows, CDownloadTask* listed, std::string source);
  // Closes the task at `index` and takes it out of the list, telling the observer; its
  // files stay.
  void RemoveTask(Writer& rows, int index);
  // On the window's thread, the one that removes rows: a task whose source turned out to
  // be another unfinished task's file by another path leaves the list, and that task
  // goes on from its source.
  void TakeOvers();
  // Deletes the file on a pool thread, trying again while a thread still holds it open,
  // unless a listed task copies into it by then.
  void DeleteFileLater(const std::string& path);
  // Sizes of loaded tasks whose sources can be reached now, read on a few pool threads.
  void ReadSizesLater(const std::vector<TaskPtr>& batch);

  // Stopped after running: what pool threads bring back now is not taken up.
  bool Stopping() const;

  // The downloader thread.
  void Start();
  void Join() { thread_.Join(); }
  bool Running() const { return thread_.Running(); }
  // Pool threads still inside a hung call find the link cut when they come back.
  void CutLink() { link_->Cut(); }

 private:
  using Link = std::shared_ptr<CKernelLink<CCopyLoop>>;
  using ReadPtr = std::shared_ptr<CChunkRead>;

  // Hands what the task held to a pool thread, which closes it.
  void ReleaseLater(std::shared_ptr<void> what);

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
    bool longerThanSource = false;  // the file there may hold bytes past the copy's end
    DWORD error = 0;
    bool sourceFailed = false;
    bool sourceIsFolder = false;  // the source is a folder: listed, not copied
    bool sizeUnknown = false;     // the source opened, but its size could not be read
    bool sameFile = false;        // the source is the request's other task's file
  };
  static OpenedFiles OpenFiles(const Link& link, const OpenRequest& request);
  // Makes, or settles on, the copy's file once the source is open (sizes known).
  static void ClaimDestination(const Link& link, const OpenRequest& request, OpenedFiles& files);
  // What OpenFinished leaves to its pool thread: a file it made that no task uses (it is
  // deleted) and whether the list changed (it is written).
  struct OpenOutcome {
    std::string deleteMade;
    bool saveList = false;
    bool takeOver = false;  // a take-over waits for the window's thread
    ReadPtr copy;           // the task is open: its first read, for this thread to make
    std::string readyName;  // the task opened: its log line, written once the table is free
  };
  // Takes the handles it keeps out of `files`.
  OpenOutcome OpenFinished(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                           OpenedFiles& files);

  void DownloaderLoop();
  bool IssueReads();  // true when some task has a read in flight
  // Starts the task's next read, at `offset`, on a pool thread, which then writes the
  // chunk and goes on with the task's next chunks.
  void SubmitRead(Writer& rows, const TaskPtr& task, uint64_t offset);
  // With the table held: the task's read, marked in flight at `offset` (the task copies).
  static ReadPtr StartRead(const TaskPtr& task, uint64_t offset);
  // A pool thread makes the prepared read and copies on from it (CopyChunks).
  void CopyOnPool(const TaskPtr& task, const ReadPtr& read);
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
    // Read by a lane of the task's read window: written at its own offset while other
    // lanes write theirs, and only the run written from the start counts as copied.
    bool windowed = false;
    uint64_t flushCovers = 0;           // the run written before this chunk's flush
    std::vector<ReadPtr> otherLanes;    // at the end: their sources close with the copy's
    std::shared_ptr<CCopyCheck> check;  // null: this copy is not verified
  };
  // The pool thread's loop for one task: read, write, read on until the task ends, is
  // closed or fails.
  static void CopyChunks(const Link& link, const std::weak_ptr<CDownloadTask>& weak,
                         const ReadPtr& read);
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
  static void FinishCopy(const Link& link, const ChunkWrite& chunk, const ReadPtr& read);
  // Before each read: waits while the speed cap says the bytes must wait.
  static void WaitForSpeedCap(const Link& link, uint32_t bytes);
  // Writes the chunk, asking the observer whether to try again after a failure.
  static bool WriteChunk(const Link& link, const ChunkWrite& chunk);
  // Takes the copied task's destination, its source's times and whether the copy must
  // be cut at its end, unless the task was closed meanwhile (false).
  bool TakeCopiedFiles(const TaskPtr& task, uint32_t generation,
                       std::shared_ptr<base::UniqueFileHandle>& destination, uint64_t& written,
                       uint64_t& created, bool& cut);
  // With the copy's end, its source's time, how its files closed (0, or the error) and
  // the first byte the read back compared (UINT64_MAX: not verified).
  void CompleteTask(const TaskPtr& task, uint32_t generation, uint64_t endOfFile, uint64_t written,
                    DWORD failure, uint64_t verifiedFrom);
  // With the table held, as a copy starts or goes on: the hashes it keeps, if any.
  void PrepareCheck(CDownloadTask& task) const;
  // The copying thread, once the copy is closed: reads it back and compares (see
  // CCopyCheck). True when the task is to complete (`verifiedFrom`: the first byte
  // compared and found equal, left as it is when nothing could be compared); false when
  // it starts over, stops or was closed meanwhile.
  static bool CheckCopy(const Link& link, const ChunkWrite& chunk, uint64_t& verifiedFrom);
  // The read back found the chunk at `at` different: the copy starts over once, then
  // the task stops. `error` instead: the copy could not be read back, and the task stops.
  void CopyDiffers(const TaskPtr& task, uint32_t generation, uint64_t at, DWORD error);
  // Whether the source is as it was when the copy began (not `measured`: its size and
  // time cannot be read); otherwise the task starts over and the log says so.
  bool SourceUnchanged(const TaskPtr& task, uint32_t generation, bool measured, uint64_t size,
                       uint64_t lastWrite);
  void PauseAfterFailedRead(Writer& rows, int index, CDownloadTask* task, DWORD error);

  // The read window (a slow link: several chunks of a file in flight).
  // Whether the task's read is its own (its first lane or one that joined).
  static bool OwnsRead(const CDownloadTask& task, const ReadPtr& read);
  // A read that is still out, given up by a close: the task opens again once it is back.
  static bool ReadStillOut(const CDownloadTask& task);
  // After a read: times it, opens the window when the source is slow; true when the
  // chunk belongs to an open window.
  bool WatchReadTime(Writer& rows, const TaskPtr& task, const CChunkRead::Result& result);
  // Lanes that may join the task's window beside the reads other tasks have in flight.
  static int LanesRoom(Writer& rows, const TaskPtr& task);
  // Opens source handles for the lanes that join, on a pool thread.
  void StartLanes(const TaskPtr& task, int room);
  // A joined lane's handle is open: it takes a chunk and copies on.
  // False when it is not wanted any more: the caller then closes `source`.
  bool LaneOpened(const TaskPtr& task, uint32_t generation,
                  const std::weak_ptr<CReadWindow>& window, base::UniqueFileHandle& source);
  // ChunkWritten for a windowed chunk, with the table held.
  bool WindowChunkWritten(CDownloadTask& task, ChunkWrite& chunk, const ReadPtr& read);
  // On a close: the lanes go, those still reading abandoned.
  void CloseWindow(CDownloadTask* task);
  void TakeOver(const TaskPtr& newcomer, const TaskPtr& task);

  CTaskTable& table_;
  CKernelNotices& notices_;
  CIoPool& pool_;
  CListSaver& saver_;
  CSpeedMeter& meter_;
  CFolderTasks& folders_;
  HANDLE wake_;
  HANDLE stopEvent_;
  const std::atomic<int>& stopped_;
  std::atomic<bool> replaceExisting_{false};
  std::atomic<bool> started_{false};  // the downloader thread runs: opened tasks copy at once
  std::atomic<bool> verifyCopies_{false};
  // Tasks whose source turned out to be another unfinished task's file by another path,
  // each with that task, for TakeOvers.
  base::Guarded<std::deque<std::pair<std::weak_ptr<CDownloadTask>, std::weak_ptr<CDownloadTask>>>>
      takeOvers_;
  CTaskQueue queue_;
  // Shared: a copying thread waits on it outside the link.
  std::shared_ptr<CSpeedCap> cap_ = std::make_shared<CSpeedCap>();
  Link link_;
  CWorkerThread thread_;
};
