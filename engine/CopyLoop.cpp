#include "engine/CopyLoop.h"

#include <algorithm>

#include "base/ErrorText.h"
#include "base/JoinHalves.h"
#include "base/Utf8.h"
#include "engine/DestinationPath.h"
#include "engine/EventLog.h"
#include "engine/FolderTasks.h"

namespace {

// Attempts per chunk before a failing destination is given up.
constexpr int kMaxWriteAttempts = 3;
// Names tried beside a file that is already there: "name (2).ext" up to this number.
constexpr int kMaxBesideNames = 9999;

// How long a delete keeps trying while a pool thread still holds the file open.
constexpr int kDeleteAttempts = 60;
constexpr DWORD kDeleteRetryMs = 500;

// A completed copy that was not read back and compared.
constexpr uint64_t kNotVerified = UINT64_MAX;

// Pool jobs that read the sizes of a list loaded at start-up.
constexpr size_t kSizeLanes = 4;

using base::ErrorText;
using Kind = CKernelNotices::Kind;

using base::JoinHalves;

// An open file's size and times. Not GetFileInformationByHandle: under Wine it also asks
// the mount manager, another process, for the volume's serial number, two round trips
// between processes that made up most of a small file's cost.
struct FileFacts {
  uint64_t size = 0, lastWrite = 0, created = 0;
};
bool ReadFacts(HANDLE file, FileFacts& facts) {
  FILE_STANDARD_INFO standard{};
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
    return false;
  facts.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
  facts.lastWrite = static_cast<uint64_t>(basic.LastWriteTime.QuadPart);
  facts.created = static_cast<uint64_t>(basic.CreationTime.QuadPart);
  return true;
}

HANDLE OpenForWriting(const std::string& path, DWORD disposition) {
  return CreateFileW(base::WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                     disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

CCopyLoop::CCopyLoop(CTaskTable& table, CKernelNotices& notices, CIoPool& pool, CListSaver& saver,
                     CSpeedMeter& meter, CFolderTasks& folders, HANDLE wake, HANDLE stopEvent,
                     const std::atomic<int>& stopped)
    : table_(table),
      notices_(notices),
      pool_(pool),
      saver_(saver),
      meter_(meter),
      folders_(folders),
      wake_(wake),
      stopEvent_(stopEvent),
      stopped_(stopped),
      queue_(wake),
      link_(std::make_shared<CKernelLink<CCopyLoop>>(this)) {}

CCopyLoop::~CCopyLoop() { link_->Cut(); }

bool CCopyLoop::Stopping() const {
  return stopped_ && WaitForSingleObject(stopEvent_, 0) == WAIT_OBJECT_0;
}

void CCopyLoop::ReleaseLater(std::shared_ptr<void> what) {
  if (what) pool_.Submit([what = std::move(what)]() mutable { what.reset(); });
}

void CCopyLoop::CloseTask(Writer&, CDownloadTask* task, int newState) {
  task->SetState(newState);
  ++task->generation;  // opens and writes under way for the old generation are stale
  if (ReadPtr read = std::move(task->read)) {
    if (read->InFlight()) {
      read->Abandon();
      task->abandonedRead = read;  // its pool thread closes the source when it returns
    } else {
      ReleaseLater(std::move(read));
    }
  }
  CloseWindow(task);
  ReleaseLater(std::move(task->destinationHandle));
  queue_.Left(*task);
}

void CCopyLoop::TakeNewSource(Writer& rows, CDownloadTask* listed, std::string source) {
  const TaskPtr existing = rows->Tasks()[static_cast<size_t>(rows->IndexOf(listed))];
  if (existing->GetState() == TS_COMPLETED) {
    existing->restartFromZero = true;
    // Its finished file is the user's now: the copy looks for its name afresh, and may
    // replace that file only while nobody has changed it.
    existing->destinationClaimed = false;
    existing->madeFile = false;
    rows->MoveDestination(existing.get(), std::string(existing->AskedDestination()));
  }
  CloseTask(rows, existing.get(), TS_NOTHING);
  existing->source = std::move(source);
  RequestOpen(rows, existing);
}

void CCopyLoop::RemoveTask(Writer& rows, int index) {
  const TaskPtr task = rows->Tasks()[static_cast<size_t>(index)];
  CloseTask(rows, task.get(), TS_DELETED);
  // Heard once the table is let go, when the task has left the list.
  rows.Notify(Kind::TaskDeleted, index);
  rows->RemoveAt(index);
}

void CCopyLoop::TakeOvers() {
  std::deque<std::pair<std::weak_ptr<CDownloadTask>, std::weak_ptr<CDownloadTask>>> handOvers;
  takeOvers_.Lock()->swap(handOvers);
  for (auto& [newcomer, task] : handOvers) {
    TaskPtr from = newcomer.lock(), to = task.lock();
    if (from && to) TakeOver(from, to);
  }
}

void CCopyLoop::TakeOver(const TaskPtr& newcomer, const TaskPtr& task) {
  {
    auto rows = table_.Write();
    const int index = rows->IndexOf(newcomer.get());
    if (index < 0 || rows->IndexOf(task.get()) < 0) return;  // deleted meanwhile: that stands
    if (task->GetState() == TS_COMPLETED) {
      newcomer->openPending = false;
      RequestOpen(rows, newcomer);  // finished meanwhile: the newcomer copies on its own
      return;
    }
    g_log.Printf("[%s] - %s is the same file by another path: this task goes on from it",
                 task->name.c_str(), newcomer->source.c_str());
    RemoveTask(rows, index);
    CloseTask(rows, task.get(), TS_NOTHING);
    task->source = newcomer->source;
    // A read that still hangs on the old path holds up nothing on the new one.
    task->abandonedRead.reset();
    RequestOpen(rows, task);
  }
  saver_.SaveSoon(true);
}

void CCopyLoop::DeleteFileLater(const std::string& path) {
  pool_.Submit([link = link_, path] {
    std::wstring wide = base::WidePath(path);
    for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
      // A task that copies into this very file now owns it: leave it alone.
      bool claimed = false;
      link->With([&](CCopyLoop& loop) { claimed = loop.table_.Read()->Claimed(path); });
      if (claimed) return;
      if (DeleteFileW(wide.c_str())) return;
      DWORD error = GetLastError();
      // Still open in a thread that is letting go of it: try again. Anything else (no
      // such file, no right to delete) is final.
      if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return;
      Sleep(kDeleteRetryMs);
    }
  });
}

void CCopyLoop::ReadSizesLater(const std::vector<TaskPtr>& batch) {
  if (batch.empty()) return;
  // A few jobs work through the whole list in order: a long list queues no job per
  // task, and a share that hangs holds these few threads, never one per task. The size
  // is only shown until the task's open measures it again.
  struct Work {
    std::vector<std::weak_ptr<CDownloadTask>> tasks;
    std::atomic<size_t> next{0};
  };
  auto work = std::make_shared<Work>();
  work->tasks.assign(batch.begin(), batch.end());
  const size_t lanes = std::min(kSizeLanes, batch.size());
  for (size_t lane = 0; lane < lanes; ++lane) {
    pool_.Submit([link = link_, work] {
      for (size_t k; (k = work->next++) < work->tasks.size();) {
        std::wstring source;
        bool gone = true;
        link->With([&](CCopyLoop& loop) {
          gone = false;
          auto rows = loop.table_.Read();
          // An open that came first measures the size itself.
          if (TaskPtr task = work->tasks[k].lock(); task && !task->read)
            source = base::WidePath(task->source);
        });
        if (gone) return;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (source.empty() || !GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data))
          continue;
        uint64_t size = JoinHalves(data.nFileSizeHigh, data.nFileSizeLow);
        link->With([&](CCopyLoop& loop) {
          auto rows = loop.table_.Read();
          if (TaskPtr task = work->tasks[k].lock(); task && !task->read) task->fileSize = size;
        });
      }
    });
  }
}

void CCopyLoop::RequestOpen(Writer& rows, const TaskPtr& task) {
  // Not its turn: it stays closed, and the downloader thread opens it when it comes.
  if (!queue_.Admit(rows, *task)) return task->SetState(TS_NOTHING);
  if (ReadStillOut(*task)) {
    // Its last read still hangs: a second read of the task must not start beside it.
    // The watch thread tries again once that read has come back.
    if (task->read || task->destinationHandle) CloseTask(rows, task.get(), TS_NOTHING);
    task->SetState(TS_NOTHING);
    return;
  }
  if (task->read || task->destinationHandle)
    CloseTask(rows, task.get(), TS_NOTHING);
  else
    task->SetState(TS_NOTHING);
  // One open per generation: a hung open is not joined by another at every retry.
  if (task->openPending && task->openGeneration == task->generation) return;
  g_log.Printf("[%s] - try to download", task->name.c_str());
  task->openPending = true;
  task->openGeneration = task->generation;

  std::weak_ptr<CDownloadTask> weak = task;
  uint32_t generation = task->generation;
  OpenRequest request;
  request.source = base::WidePath(task->source);
  request.sourcePath = task->source;
  request.asked = task->AskedDestination();
  request.destination = task->destination;
  request.claimed = task->destinationClaimed;
  request.replace = replaceExisting_;
  if (TaskPtr other = task->sameFileAs.lock()) {
    request.sameFileSize = other->copySourceSize;
    request.sameFileTime = other->copySourceTime;
  }
  pool_.Submit([link = link_, weak, generation, request = std::move(request)] {
    OpenedFiles files = OpenFiles(link, request);
    OpenOutcome outcome;
    link->With([&](CCopyLoop& loop) {
      outcome = loop.OpenFinished(weak, generation, files);
      loop.queue_.Wake();  // a failed open holds no place any more
    });
    // Written with the table free: every copying thread needs it, a log write does not.
    if (!outcome.readyName.empty()) g_log.Printf("[%s] - task is ready", outcome.readyName.c_str());
    // Handles the kernel did not take (stale, or the kernel is gone) close here.
    files = OpenedFiles();
    link->With([&](CCopyLoop& loop) {
      // A file this open made that no task uses (the task went meanwhile) goes again.
      if (!outcome.deleteMade.empty()) loop.DeleteFileLater(outcome.deleteMade);
      // The name a task has settled on reaches the file within a few tens of ms, with the
      // names claimed meanwhile; the copy does not wait for it. A kill before then leaves
      // a file that the restarted task does not take for its own: it goes beside it.
      if (outcome.saveList) loop.saver_.SaveClaimSoon();
      // Only the window's thread takes a task out of the list; an observer that does not
      // take this up leaves it to this thread.
      if (outcome.takeOver && !loop.notices_.TasksFound(/*inactiveAnswer=*/false)) loop.TakeOvers();
    });
    if (outcome.copy) CopyChunks(link, weak, outcome.copy);
  });
}

CCopyLoop::OpenedFiles CCopyLoop::OpenFiles(const Link& link, const OpenRequest& request) {
  OpenedFiles files;
  const std::wstring& source = request.source;
  files.source.Reset(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!files.source) {
    files.error = GetLastError();
    files.sourceFailed = true;
    // A folder does not open as a file; it is listed instead.
    const DWORD attributes = GetFileAttributesW(source.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      files.sourceIsFolder = true;
      files.error = 0;
    }
    return files;
  }
  FileFacts facts;
  if (!ReadFacts(files.source.Get(), facts)) {
    // Without its size a copy could end anywhere and be called complete: it waits and
    // is tried again.
    files.error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
    files.sourceFailed = true;
    files.sizeUnknown = true;
    files.source.Reset();
    return files;
  }
  files.sourceSize = facts.size;
  files.sourceTime = facts.lastWrite;
  files.sourceCreated = facts.created;
  // Another path to a file an unfinished task copies: no name of its own is claimed.
  if (request.sameFileTime != 0 && files.sourceSize == request.sameFileSize &&
      files.sourceTime == request.sameFileTime) {
    files.sameFile = true;
    return files;
  }
  // Without the source the destination is not opened: it would stay locked for nothing.
  ClaimDestination(link, request, files);
  if (!files.destination) return files;
  if (files.created) return files;  // new and empty: nothing past the copy's end
  LARGE_INTEGER size{};
  const bool sized = GetFileSizeEx(files.destination.Get(), &size) != FALSE;
  if (sized) files.destinationSize = static_cast<uint64_t>(size.QuadPart);
  files.longerThanSource = !sized || files.destinationSize > files.sourceSize;
  return files;
}

void CCopyLoop::ClaimDestination(const Link& link, const OpenRequest& request, OpenedFiles& files) {
  if (request.claimed) {
    // The task's own file; made again, under its name, when it was deleted meanwhile.
    files.destination.Reset(OpenForWriting(request.destination, OPEN_EXISTING));
    if (!files.destination && GetLastError() == ERROR_FILE_NOT_FOUND) {
      files.destination.Reset(OpenForWriting(request.destination, CREATE_NEW));
      files.created = files.destination.Valid();
    }
    if (!files.destination) {
      files.error = GetLastError();
      return;
    }
    files.gotDestination = request.destination;
    files.made = true;
    return;
  }
  // A name is claimed by making the file: never tested first and then made, so no other
  // program or task can slip a file in between, and nothing there is ever written over.
  for (int k = 1; k <= kMaxBesideNames; ++k) {
    const std::string candidate =
        k == 1 ? request.asked : destination_path::NameBeside(request.asked, k);
    files.destination.Reset(OpenForWriting(candidate, CREATE_NEW));
    if (files.destination) {
      files.gotDestination = candidate;
      files.made = files.created = true;
      return;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      files.error = error;
      return;
    }
    // Whatever is there and cannot be looked at (a device) is nobody's copy.
    WIN32_FILE_ATTRIBUTE_DATA there{};
    const bool known =
        GetFileAttributesExW(base::WidePath(candidate).c_str(), GetFileExInfoStandard, &there);
    if (known && (there.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
    const uint64_t size = JoinHalves(there.nFileSizeHigh, there.nFileSizeLow);
    const uint64_t time =
        JoinHalves(there.ftLastWriteTime.dwHighDateTime, there.ftLastWriteTime.dwLowDateTime);
    // The same size and last-write time as the source: the same file, nothing to copy.
    if (known && files.sourceSize != UINT64_MAX && files.sourceTime != 0 &&
        size == files.sourceSize && time == files.sourceTime) {
      files.gotDestination = candidate;
      files.alreadyThere = true;
      return;
    }
    bool own = false;
    if (known)
      link->With([&](CCopyLoop& loop) {
        own = loop.table_.Read()->IsOwnUnchangedCopy(candidate, request.sourcePath, size, time);
      });
    const char* why = own ? "this run's own copy of the same source, unchanged since"
                      : k == 1 && request.replace ? "the options say to replace it"
                                                  : nullptr;
    if (!why) continue;
    files.destination.Reset(OpenForWriting(candidate, TRUNCATE_EXISTING));
    if (!files.destination) {
      files.error = GetLastError();
      return;
    }
    files.gotDestination = candidate;
    files.made = true;
    files.replacedWhy = why;
    return;
  }
  files.error = ERROR_FILE_EXISTS;
}

CCopyLoop::OpenOutcome CCopyLoop::OpenFinished(const std::weak_ptr<CDownloadTask>& weak,
                                               uint32_t generation, OpenedFiles& files) {
  OpenOutcome outcome;
  auto rows = table_.Write();
  TaskPtr task = weak.lock();
  int index = task ? rows->IndexOf(task.get()) : -1;
  const bool claimedBefore = task && task->destinationClaimed;
  if (files.created) {
    // A file made for a listed task that has no file yet is its own, even when this open
    // came too late for the rest; any other goes again, as nobody uses it.
    if (index >= 0 && !task->destinationClaimed) {
      rows->MoveDestination(task.get(), files.gotDestination);
      task->destinationClaimed = true;
      task->madeFile = true;
      outcome.saveList = true;
    } else if (index < 0 || !destination_path::Same(task->destination, files.gotDestination)) {
      outcome.deleteMade = files.gotDestination;
    }
  }
  if (!task) return outcome;
  if (task->openGeneration == generation) task->openPending = false;
  // Came back after Stop: the task stays closed, in the list file for the next start,
  // and our handles close on the pool thread, never on the window's at the kernel's end.
  if (Stopping()) return outcome;
  // Deleted, paused, stopped, re-added or opened otherwise while we were opening: what
  // they did stands, and our handles close on the pool thread.
  if (index < 0 || task->generation != generation || task->GetState() != TS_NOTHING || task->read)
    return outcome;
  // An earlier open made the task's file meanwhile: the next try opens that one.
  if (!outcome.deleteMade.empty()) return outcome;
  if (files.sourceIsFolder) {
    task->lastOpenError = 0;
    folders_.ListLater(rows, task);
    return outcome;
  }
  if (files.sameFile) {
    const TaskPtr other = task->sameFileAs.lock();
    task->sameFileAs.reset();
    if (other && rows->IndexOf(other.get()) >= 0 && other->GetState() != TS_COMPLETED &&
        other->copySourceSize == files.sourceSize && other->copySourceTime == files.sourceTime) {
      // Only the adding thread removes a task from the list; until it has, the watch
      // thread opens this one no more (an open now would claim a name of its own).
      takeOvers_.Lock()->emplace_back(task, other);
      task->openPending = true;
      outcome.takeOver = true;
    } else {
      RequestOpen(rows, task);  // that task finished or went meanwhile: a copy of its own
    }
    return outcome;
  }
  if (files.error) {
    // Logged when the reason changes, not at every retry.
    if (files.error != task->lastOpenError) {
      if (files.sizeUnknown)
        g_log.Printf("[%s] - cannot read the size of the source: %s", task->name.c_str(),
                     ErrorText(files.error).c_str());
      else
        g_log.Printf("[%s] - cannot open the %s: %s", task->name.c_str(),
                     files.sourceFailed ? "source" : "destination", ErrorText(files.error).c_str());
      task->lastOpenError = files.error;
    }
    // At every failure: a Stop's word must give way to the open's own reason.
    task->SetWaitReason(files.sizeUnknown
                            ? "The size of the source cannot be read: " + ErrorText(files.error)
                            : ErrorText(files.error));
    return outcome;
  }
  task->lastOpenError = 0;
  task->SetWaitReason(std::string());
  if (files.alreadyThere) {
    rows->MoveDestination(task.get(), files.gotDestination);
    task->destinationClaimed = true;
    task->madeFile = false;
    task->restartFromZero = false;
    task->offset = 0;
    task->fileSize = files.sourceSize;
    CloseTask(rows, task.get(), TS_COMPLETED);
    g_log.Printf("[%s] - already there", task->name.c_str());
    outcome.saveList = true;
    rows.Notify(Kind::TaskCompleted, index);
    return outcome;
  }
  if (!destination_path::Same(task->destination, files.gotDestination)) {
    rows->MoveDestination(task.get(), files.gotDestination);
    outcome.saveList = true;
  }
  if (!destination_path::Same(task->AskedDestination(), files.gotDestination) && !claimedBefore)
    g_log.Printf("[%s] - a file of that name is already there: the copy goes to %s",
                 task->name.c_str(), files.gotDestination.c_str());
  if (files.replacedWhy)
    g_log.Printf("[%s] - replaces %s: %s", task->name.c_str(), files.gotDestination.c_str(),
                 files.replacedWhy);
  if (!task->destinationClaimed || task->madeFile != files.made) outcome.saveList = true;
  task->destinationClaimed = true;
  task->madeFile = files.made;
  // Going on where the copy stood is right only over the same bytes: a finished copy
  // asked for again, a copy that was deleted or cut, or a source that changed since the
  // copy began (a newer version of the file) all start again at 0.
  if (task->offset > 0) {
    const char* why = nullptr;
    if (task->restartFromZero)
      why = "it had completed";
    else if (files.destinationSize < task->offset)
      why = "the copy is missing or shorter";
    else if (files.sourceSize != task->copySourceSize || files.sourceTime != task->copySourceTime)
      why = "the source has changed";
    if (why) {
      g_log.Printf("[%s] - starts again from the beginning: %s", task->name.c_str(), why);
      task->offset = 0;
      task->flushedOffset = 0;
    } else {
      g_log.Printf("[%s] - goes on at byte %llu", task->name.c_str(),
                   static_cast<unsigned long long>(task->offset.load()));
    }
  }
  task->restartFromZero = false;
  if (task->offset == 0) {
    task->flushedOffset = 0;
    task->copySourceSize = files.sourceSize;
    task->copySourceTime = files.sourceTime;
  }
  PrepareCheck(*task);
  task->sourceCreated = files.sourceCreated;
  if (files.sourceSize != UINT64_MAX) task->fileSize = files.sourceSize;
  task->read = std::make_shared<CChunkRead>(
      std::move(files.source), task->chunkSize,
      files.sourceSize == UINT64_MAX ? task->chunkSize : files.sourceSize);
  task->destinationHandle = std::make_shared<base::UniqueFileHandle>(std::move(files.destination));
  task->cutAtEnd = files.longerThanSource;

  task->SetState(TS_READY);
  outcome.readyName = task->name;
  rows.Notify(Kind::TaskReady, index, task);
  // The opening thread goes on to copy: waking the downloader thread to hand the read to
  // another pool thread cost two server round trips and two thread switches a file.
  // Before the kernel starts, opened tasks wait for it.
  if (!started_) return outcome;
  outcome.copy = StartRead(task, task->offset);
  return outcome;
}

void CCopyLoop::Start() {
  started_ = true;
  thread_.Start([this] { DownloaderLoop(); });
}

void CCopyLoop::DownloaderLoop() {
  g_log.Write("downloader thread have started");
  // Chunks are read and written on pool threads; this loop starts the reads of tasks
  // that became ready and writes the list when a deferred write is due.
  for (;;) {
    bool busy = IssueReads();
    DWORD listDueMs = saver_.WriteDeferred();
    if (stopped_) break;
    if (!busy) g_log.Write("nothing to do");
    WaitForSingleObject(wake_, listDueMs);
    if (stopped_) break;
  }

  auto rows = table_.Write();
  for (auto& task : rows->Tasks())
    if (task->GetState() != TS_COMPLETED) CloseTask(rows, task.get(), TS_NOTHING);
}

bool CCopyLoop::IssueReads() {
  bool busy = false;
  auto rows = table_.Write();
  CEventLog::Batch lines(g_log);  // the opens' lines in one write, before the table is free
  for (const TaskPtr& task : queue_.Due(rows)) RequestOpen(rows, task);
  for (auto& task : rows->Tasks()) {
    int state = task->GetState();
    if (state == TS_DOWNLOADED) {
      busy = true;
      continue;
    }
    if (state != TS_READY || !task->read || !task->destinationHandle || task->read->InFlight())
      continue;
    SubmitRead(rows, task, task->offset);
    busy = true;
  }
  return busy;
}

CCopyLoop::ReadPtr CCopyLoop::StartRead(const TaskPtr& task, uint64_t offset) {
  ReadPtr read = task->read;
  read->Prepare(offset);
  task->SetState(TS_DOWNLOADED);
  return read;
}

void CCopyLoop::SubmitRead(Writer&, const TaskPtr& task, uint64_t offset) {
  CopyOnPool(task, StartRead(task, offset));
}

void CCopyLoop::CopyOnPool(const TaskPtr& task, const ReadPtr& read) {
  std::weak_ptr<CDownloadTask> weak = task;
  pool_.Submit([link = link_, weak, read] { CopyChunks(link, weak, read); });
}

void CCopyLoop::CopyChunks(const Link& link, const std::weak_ptr<CDownloadTask>& weak,
                           const ReadPtr& read) {
  for (;;) {
    WaitForSpeedCap(link, read->ReadSize());
    read->Run();
    // An abandoned read's result is not wanted; its buffer and source go with it.
    if (read->Abandoned()) return;
    ChunkWrite chunk;
    link->With([&](CCopyLoop& loop) { chunk = loop.TakeChunk(weak, read); });
    if (chunk.finish) return FinishCopy(link, chunk, read);
    if (!chunk.task) return;
    if (chunk.check) chunk.check->Record(chunk.offset, chunk.data, chunk.count);
    // Outside the link: a destination that hangs holds up only this thread, never the
    // kernel's end.
    bool written = WriteChunk(link, chunk);
    // Before the list can store a position past these bytes they go to the disk: once
    // per list write, on this thread, never with the task table held.
    if (written && chunk.flushDue) {
      chunk.flushed = FlushFileBuffers(chunk.destination->Get()) != FALSE;
      if (!chunk.flushed) {
        const DWORD code = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        g_log.Printf("[%s] - write failed with error %lu, task is stopped",
                     chunk.task->name.c_str(), static_cast<unsigned long>(code));
        chunk.task->SetWaitReason(ErrorText(code));
        written = false;
      }
    }
    bool again = false;
    link->With([&](CCopyLoop& loop) { again = loop.ChunkWritten(chunk, read, written); });
    if (chunk.finish) return FinishCopy(link, chunk, read);
    if (!again) return;
  }
}

CCopyLoop::ChunkWrite CCopyLoop::TakeChunk(const std::weak_ptr<CDownloadTask>& weak,
                                           const ReadPtr& read) {
  ChunkWrite chunk;
  TaskPtr task = weak.lock();
  if (!task) return chunk;
  const CChunkRead::Result result = read->LastResult();
  {
    auto rows = table_.Write();
    int index = rows->IndexOf(task.get());
    // Paused, stopped, reopened or deleted since the read was issued: not ours any more.
    if (index < 0 || !OwnsRead(*task, read) || task->GetState() != TS_DOWNLOADED) return chunk;
    if (result.ok && result.transferred > 0) {
      chunk.windowed = WatchReadTime(rows, task, result);
      // A chunk short of its end before the end of the file: the source shrank under
      // the copy. The run written so far stands; the reopen finds the source changed.
      if (chunk.windowed && result.transferred < read->ReadSize() &&
          result.offset + result.transferred < task->fileSize) {
        PauseAfterFailedRead(rows, index, task.get(), 0);
        return chunk;
      }
      if (!task->destinationHandle) return chunk;
      chunk.task = task;
      chunk.destination = task->destinationHandle;
      chunk.data = read->Buffer();
      chunk.count = result.transferred;
      chunk.offset = result.offset;
      chunk.generation = task->generation;
      chunk.listWrites = saver_.Writes();
      // The last chunk is flushed as the copy completes; once is enough.
      chunk.flushDue = task->flushedForList != chunk.listWrites &&
                       result.offset + result.transferred < task->fileSize;
      if (chunk.windowed && chunk.flushDue) {
        chunk.flushCovers = task->window->WrittenEnd();
        task->flushedForList = chunk.listWrites;  // one lane flushes for them all
      }
      chunk.check = task->check;
      return chunk;
    }
    // Nothing more to read: the source ends where we stand (an empty source, or one
    // that shrank to exactly the copied part).
    if (task->offset < task->fileSize) {
      PauseAfterFailedRead(rows, index, task.get(), result.error);
      return chunk;
    }
    chunk.task = task;
    chunk.finish = true;
    chunk.generation = task->generation;
    chunk.endOfFile = task->fileSize;
    chunk.check = task->check;
  }
  return chunk;
}

bool CCopyLoop::ChunkWritten(ChunkWrite& chunk, const ReadPtr& read, bool written) {
  const TaskPtr task = chunk.task;
  const uint64_t end = chunk.offset + chunk.count;
  bool more = false;
  {
    auto rows = table_.Write();
    if (task->generation != chunk.generation) return false;  // closed while we wrote
    if (!written) {
      CloseTask(rows, task.get(), TS_WRITE_ERROR);
      return false;
    }
    if (chunk.flushed) {
      // A lane's flush covers the chunks written before it, not those still missing.
      task->flushedOffset =
          chunk.windowed ? std::max<uint64_t>(task->flushedOffset, chunk.flushCovers) : end;
      task->flushedForList = chunk.listWrites;
    }
    if (chunk.windowed) {
      more = WindowChunkWritten(*task, chunk, read);
      if (!more) chunk.destination.reset();  // the last hold on it is the task's
    } else {
      more = end < task->fileSize;
      // What shows as copied is what is written; a completed task keeps its last chunk's
      // start.
      if (more) {
        task->offset = end;
        if (stopped_)
          task->SetState(TS_READY);  // the task closes with the loop
        else
          read->Prepare(end);  // this thread reads on
      }
    }
  }
  saver_.SaveSoon();
  if (chunk.windowed) return more;
  if (more) return !stopped_;
  chunk.destination.reset();
  chunk.finish = true;
  chunk.endOfFile = end;
  return false;
}

void CCopyLoop::FinishCopy(const Link& link, const ChunkWrite& chunk, const ReadPtr& read) {
  // A source rewritten while it was copied gives a copy of neither version: it is
  // complete only when the source is still as it was when this copy began.
  FileFacts facts;
  const bool measured = read->Source() && ReadFacts(read->Source(), facts);
  // Both files close before the task shows as completed: whoever sees "completed" may
  // move, open or delete either at once.
  for (const ReadPtr& lane : chunk.otherLanes) lane->CloseSource();
  read->CloseSource();
  bool goesOn = false;
  link->With([&](CCopyLoop& loop) {
    goesOn =
        loop.SourceUnchanged(chunk.task, chunk.generation, measured, facts.size, facts.lastWrite);
  });
  if (!goesOn) return;
  std::shared_ptr<base::UniqueFileHandle> destination;
  uint64_t written = 0, created = 0;
  bool ours = false, cut = true;
  link->With([&](CCopyLoop& loop) {
    ours = loop.TakeCopiedFiles(chunk.task, chunk.generation, destination, written, created, cut);
  });
  if (!ours) return;
  // A copy is complete only once its bytes are on the disk at their length: a failed
  // cut, flush or close is a write error, never "complete".
  DWORD failure = 0;
  if (destination) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(chunk.endOfFile);
    // An existing destination longer than the source must not keep its old tail.
    if ((cut && (!SetFilePointerEx(destination->Get(), end, nullptr, FILE_BEGIN) ||
                 !SetEndOfFile(destination->Get()))) ||
        !FlushFileBuffers(destination->Get()))
      failure = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    // The copy carries its source's times, as a copy by Explorer does; a share that gave
    // none leaves the copy's own (a zero FILETIME would mean 1601). A refusal leaves an
    // identical copy with other times: worth a line, not a failure.
    if (!failure && written) {
      const FILETIME lastWrite{static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
      const FILETIME creation{static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
      if (!SetFileTime(destination->Get(), created ? &creation : nullptr, nullptr, &lastWrite))
        g_log.Printf("[%s] - the copy keeps its own times: %s", chunk.task->name.c_str(),
                     ErrorText(GetLastError()).c_str());
    }
    // Ours is the last hold on the handle: its close is where a share reports a late
    // write failure.
    if (destination.use_count() == 1) {
      const HANDLE handle = destination->Release();
      if (!CloseHandle(handle) && !failure)
        failure = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
    }
  }
  destination.reset();
  uint64_t verifiedFrom = kNotVerified;
  if (!failure && chunk.check && !CheckCopy(link, chunk, verifiedFrom)) return;
  link->With([&](CCopyLoop& loop) {
    loop.CompleteTask(chunk.task, chunk.generation, chunk.endOfFile, written, failure,
                      verifiedFrom);
  });
}

void CCopyLoop::PrepareCheck(CDownloadTask& task) const {
  if (!verifyCopies_)
    task.check.reset();
  else if (task.offset == 0 || !task.check)
    task.check = std::make_shared<CCopyCheck>();  // a copy from byte 0 has no old chunks
}

bool CCopyLoop::CheckCopy(const Link& link, const ChunkWrite& chunk, uint64_t& verifiedFrom) {
  const TaskPtr& task = chunk.task;
  // A pause, a delete or the kernel's end while a big copy is read back ends the read.
  auto stillWanted = [&] {
    bool wanted = false;
    link->With([&](CCopyLoop& loop) {
      auto rows = loop.table_.Read();
      wanted = task->generation == chunk.generation;
    });
    return wanted;
  };
  const CCopyCheck::Outcome outcome =
      chunk.check->ReadBack(task->Destination(), chunk.endOfFile, stillWanted);
  using Found = CCopyCheck::Outcome::Kind;
  switch (outcome.kind) {
    case Found::kGivenUp:
      return false;
    case Found::kSame:
      verifiedFrom = outcome.from;  // logged as the task completes
      return true;
    case Found::kNothingKnown:
      g_log.Printf("[%s] - not verified: none of it was copied in this run", task->name.c_str());
      return true;
    case Found::kDiffers:
    case Found::kFailed:
      break;
  }
  link->With([&](CCopyLoop& loop) {
    loop.CopyDiffers(task, chunk.generation, outcome.differsAt,
                     outcome.kind == Found::kFailed ? outcome.error : 0);
  });
  return false;
}

void CCopyLoop::CopyDiffers(const TaskPtr& task, uint32_t generation, uint64_t at, DWORD error) {
  const auto byte = static_cast<unsigned long long>(at);
  {
    auto rows = table_.Write();
    if (task->generation != generation) return;  // closed meanwhile: that stands
    if (!error && task->verifyRestarts == 0) {
      ++task->verifyRestarts;
      g_log.Printf(
          "[%s] - the copy differs from its source in the chunk at byte %llu: starts "
          "again from the beginning",
          task->name.c_str(), byte);
      task->offset = 0;
      task->flushedOffset = 0;
      RequestOpen(rows, task);  // closes the task and copies it again, whole
    } else {
      task->verifyRestarts = 0;  // a Resume gets its own second chance
      if (error) {
        g_log.Printf("[%s] - the copy cannot be read back to verify it: %s, task is stopped",
                     task->name.c_str(), ErrorText(error).c_str());
        task->SetWaitReason("The copy cannot be read back: " + ErrorText(error));
      } else {
        g_log.Printf(
            "[%s] - the copy differs from its source again, in the chunk at byte %llu: "
            "task is stopped",
            task->name.c_str(), byte);
        task->SetWaitReason("The copy differs from its source at byte " + std::to_string(byte));
        // No stored position may vouch for the bytes before: a Resume copies it whole.
        task->offset = 0;
        task->flushedOffset = 0;
      }
      CloseTask(rows, task.get(), TS_WRITE_ERROR);
      if (int index = rows->IndexOf(task.get()); index >= 0) rows.Notify(Kind::TaskPaused, index);
    }
  }
  saver_.SaveSoon(true);
}

bool CCopyLoop::SourceUnchanged(const TaskPtr& task, uint32_t generation, bool measured,
                                uint64_t size, uint64_t lastWrite) {
  auto rows = table_.Write();
  if (task->generation != generation) return false;  // closed meanwhile: that stands
  if (measured && size == task->copySourceSize && lastWrite == task->copySourceTime) return true;
  g_log.Printf("[%s] - the source changed while it was copied: starts again from the beginning",
               task->name.c_str());
  task->offset = 0;
  task->flushedOffset = 0;
  RequestOpen(rows, task);  // closes the task, and opens it anew over the source as it is now
  return false;
}

void CCopyLoop::WaitForSpeedCap(const Link& link, uint32_t bytes) {
  std::shared_ptr<CSpeedCap> cap;
  link->With([&](CCopyLoop& loop) { cap = loop.cap_; });
  if (cap && cap->On()) cap->Take(bytes);
}

bool CCopyLoop::WriteChunk(const Link& link, const ChunkWrite& chunk) {
  HANDLE destination = chunk.destination->Get();
  for (int attempt = 1;; ++attempt) {
    // A seek and a plain write: under Wine a write that carries its own position costs
    // a round trip to the server, a seek does not.
    DWORD code = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(chunk.offset);
    // Lanes of a read window write side by side: each write carries its own position.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(chunk.offset);
    at.OffsetHigh = static_cast<DWORD>(chunk.offset >> 32);
    if (!chunk.windowed && !SetFilePointerEx(destination, position, nullptr, FILE_BEGIN)) {
      code = GetLastError();
    } else {
      DWORD written = 0;
      if (WriteFile(destination, chunk.data, chunk.count, &written,
                    chunk.windowed ? &at : nullptr) &&
          written == chunk.count)
        return true;
      code = GetLastError();
      if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;  // a short write
    }
    bool retry = false;
    link->With([&](CCopyLoop& loop) {
      retry = attempt < kMaxWriteAttempts && !loop.stopped_ &&
              loop.notices_.Error(code, /*inactiveAnswer=*/true);
    });
    if (!retry) {
      g_log.Printf("[%s] - write failed with error %lu, task is stopped", chunk.task->name.c_str(),
                   static_cast<unsigned long>(code));
      chunk.task->SetWaitReason(ErrorText(code));
      return false;
    }
  }
}

bool CCopyLoop::TakeCopiedFiles(const TaskPtr& task, uint32_t generation,
                                std::shared_ptr<base::UniqueFileHandle>& destination,
                                uint64_t& written, uint64_t& created, bool& cut) {
  ReadPtr read;
  {
    auto rows = table_.Write();
    if (task->generation != generation) return false;
    destination = std::move(task->destinationHandle);
    read = std::move(task->read);
    written = task->copySourceTime;
    created = task->sourceCreated;
    cut = task->cutAtEnd;
  }
  // Its source is closed already; the copying thread holds it until it is done.
  return true;
}

void CCopyLoop::CompleteTask(const TaskPtr& task, uint32_t generation, uint64_t endOfFile,
                             uint64_t written, DWORD failure, uint64_t verifiedFrom) {
  bool othersCopy = false;
  {
    auto rows = table_.Write();
    // Paused or deleted meanwhile: that close found the files gone and stands.
    if (task->generation != generation) return;
    if (failure) {
      g_log.Printf("[%s] - write failed with error %lu, task is stopped", task->name.c_str(),
                   static_cast<unsigned long>(failure));
      task->SetWaitReason(ErrorText(failure));
      CloseTask(rows, task.get(), TS_WRITE_ERROR);
      if (int index = rows->IndexOf(task.get()); index >= 0) rows.Notify(Kind::TaskPaused, index);
      return;
    }
    CloseTask(rows, task.get(), TS_COMPLETED);
    task->verifyRestarts = 0;
    task->check.reset();
    task->SetWaitReason(verifiedFrom != kNotVerified ? "Verified" : "");
    // A later copy of the same source may replace this one while nobody changes it.
    rows->RecordFinishedCopy(*task, endOfFile, written);
    othersCopy = rows->AnyCopying();
  }
  // Written with the table free: every copying thread needs it, a log write does not.
  if (verifiedFrom == 0)
    g_log.Printf("[%s] - verified", task->name.c_str());
  else if (verifiedFrom != kNotVerified)
    g_log.Printf("[%s] - verified from byte %llu, where the copy went on", task->name.c_str(),
                 static_cast<unsigned long long>(verifiedFrom));
  g_log.Printf("[%s] - complete.", task->name.c_str());
  // The last copying task's end is in the file at once; others may wait their turn.
  saver_.SaveSoon(!othersCopy);
  auto rows = table_.Read();
  if (int index = rows->IndexOf(task.get()); index >= 0) rows.Notify(Kind::TaskCompleted, index);
}

void CCopyLoop::PauseAfterFailedRead(Writer& rows, int index, CDownloadTask* task, DWORD error) {
  CloseTask(rows, task, TS_NOTHING);
  g_log.Printf("[%s] - GetOverlappedResult failed, task is paused", task->name.c_str());
  // No error with nothing read: the source is shorter now than when it was opened.
  task->SetWaitReason(error ? ErrorText(error) : ErrorText(ERROR_HANDLE_EOF));
  rows.Notify(Kind::TaskPaused, index);
}

// ---- The read window: several chunks of a slow source in flight ----

bool CCopyLoop::OwnsRead(const CDownloadTask& task, const ReadPtr& read) {
  return task.read == read || (task.window && task.window->HasLane(read));
}

bool CCopyLoop::ReadStillOut(const CDownloadTask& task) {
  if (ReadPtr read = task.abandonedRead.lock(); read && read->InFlight()) return true;
  for (const auto& weak : task.abandonedLanes)
    if (ReadPtr lane = weak.lock(); lane && lane->InFlight()) return true;
  return false;
}

bool CCopyLoop::WatchReadTime(Writer& rows, const TaskPtr& task, const CChunkRead::Result& result) {
  if (task->window && task->window->IsOpen()) return true;
  if (result.offset + result.transferred < task->fileSize) {
    if (!task->window)
      task->window = std::make_shared<CReadWindow>(task->chunkSize, task->fileSize);
    const int room = result.durationUs > CReadWindow::kSlowReadUs ? LanesRoom(rows, task) : 0;
    if (task->window->CountRead(result.durationUs, result.offset, result.transferred, room)) {
      StartLanes(task, room);
      return true;  // its speed sample comes with its write, as the lanes' do
    }
  }
  meter_.AddSample(task, result.durationUs);
  return false;
}

int CCopyLoop::LanesRoom(Writer& rows, const TaskPtr& task) {
  int others = 0;
  for (const TaskPtr& other : rows->Tasks())
    if (other != task && other->GetState() == TS_DOWNLOADED)
      others += 1 + (other->window ? other->window->LaneCount() : 0);
  return std::max(0, CReadWindow::kMaxChunks - 1 - others);
}

void CCopyLoop::StartLanes(const TaskPtr& task, int room) {
  const int lanes = task->window->ReserveLanes(room);
  if (lanes == 0) return;
  g_log.Printf("[%s] - a slow source: %d reads at once", task->name.c_str(), lanes + 1);
  std::weak_ptr<CDownloadTask> weak = task;
  std::weak_ptr<CReadWindow> window = task->window;
  pool_.Submit([link = link_, weak, window, generation = task->generation,
                source = base::WidePath(task->source), size = task->copySourceSize,
                time = task->copySourceTime, lanes] {
    for (int k = 0; k < lanes; ++k) {
      base::UniqueFileHandle handle(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                nullptr));
      // The copy's own file or none: by now the path may name another.
      FileFacts facts;
      if (!handle || !ReadFacts(handle.Get(), facts) || facts.size != size ||
          facts.lastWrite != time)
        return;
      bool more = false;
      link->With([&](CCopyLoop& loop) {
        if (TaskPtr task = weak.lock()) more = loop.LaneOpened(task, generation, window, handle);
      });
      // A handle not taken closes here, outside the table.
      if (!more) return;
    }
  });
}

bool CCopyLoop::LaneOpened(const TaskPtr& task, uint32_t generation,
                           const std::weak_ptr<CReadWindow>& weakWindow,
                           base::UniqueFileHandle& source) {
  auto rows = table_.Write();
  const std::shared_ptr<CReadWindow> window = weakWindow.lock();
  uint64_t offset = 0;
  if (stopped_ || task->generation != generation || !window || task->window != window ||
      task->GetState() != TS_DOWNLOADED || !window->TakeNext(offset))
    return false;
  auto lane = std::make_shared<CChunkRead>(std::move(source), task->chunkSize, task->fileSize);
  window->AddLane(lane);
  lane->Prepare(offset);
  CopyOnPool(task, lane);
  return true;
}

bool CCopyLoop::WindowChunkWritten(CDownloadTask& task, ChunkWrite& chunk, const ReadPtr& read) {
  // Still the task's window: a close would have changed the generation.
  CReadWindow& window = *task.window;
  const uint64_t run = window.Written(chunk.offset, chunk.count);
  meter_.AddSample(chunk.task, window.MicrosPerWrite());
  if (window.AllWritten()) {
    // Every lane is done reading: their sources close with the copy's end.
    chunk.finish = true;
    chunk.endOfFile = run;
    chunk.otherLanes = window.TakeLanes();
    chunk.otherLanes.push_back(task.read);
    std::erase(chunk.otherLanes, read);
    return false;
  }
  // What shows as copied, and what the list keeps for a resume: the run from the start.
  task.offset = run;
  if (stopped_) {
    task.SetState(TS_READY);  // the task closes with the loop
    return false;
  }
  uint64_t next = 0;
  if (!window.TakeNext(next)) return false;  // the other lanes bring the rest
  read->Prepare(next);
  return true;
}

void CCopyLoop::CloseWindow(CDownloadTask* task) {
  std::erase_if(task->abandonedLanes, [](const std::weak_ptr<CChunkRead>& weak) {
    const ReadPtr lane = weak.lock();
    return !lane || !lane->InFlight();
  });
  const std::shared_ptr<CReadWindow> window = std::move(task->window);
  if (!window) return;
  for (ReadPtr& lane : window->TakeLanes()) {
    if (lane->InFlight())
      task->abandonedLanes.push_back(lane);  // its pool thread closes the source when back
    else
      ReleaseLater(std::move(lane));
  }
}
