// Opening a task and copying it: one chunk read in flight per open task, made by a pool
// thread that then writes the chunk at the same offset of the destination and reads
// the next. Tasks copy side by side, each on its own thread; the downloader thread only
// starts the tasks that became ready.
#include "base/ErrorText.h"
#include "base/Utf8.h"
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"

namespace {

// Attempts per chunk before a failing destination is given up.
constexpr int kMaxWriteAttempts = 3;

using base::ErrorText;

}  // namespace

void CDownloaderKernel::OpenTask(int index) {
  CLockGuard guard(lock);
  if (index < 0 || index >= static_cast<int>(tasks.size())) return;
  RequestOpen(tasks[static_cast<size_t>(index)]);
}

void CDownloaderKernel::RequestOpen(const TaskPtr& task) {
  CLockGuard guard(lock);
  if (ReadPtr abandoned = task->abandonedRead.lock(); abandoned && abandoned->InFlight()) {
    // Its last read still hangs: a second read of the task must not start beside it.
    // The watch thread tries again once that read has come back.
    if (task->read || task->destinationHandle) CloseTask(task.get(), TS_NOTHING);
    task->SetState(TS_NOTHING);
    return;
  }
  if (task->read || task->destinationHandle)
    CloseTask(task.get(), TS_NOTHING);
  else
    task->SetState(TS_NOTHING);
  // One open per generation: a hung open is not joined by another at every retry.
  if (task->openPending && task->openGeneration == task->generation) return;
  g_log.Printf("[%s] - try to download", task->name.c_str());
  task->openPending = true;
  task->openGeneration = task->generation;

  std::weak_ptr<CDownloadTask> weak = task;
  uint32_t generation = task->generation;
  std::wstring source = base::WidePath(task->source);
  std::wstring destination = base::WidePath(task->destination);
  pool.Submit([link = link, weak, generation, source, destination, path = task->destination] {
    OpenedFiles files = OpenFiles(source, destination);
    bool orphaned = false;
    link->With([&](CDownloaderKernel& kernel) {
      orphaned = kernel.OpenFinished(weak, generation, files);
    });
    // Handles the kernel did not take (stale, or the kernel is gone) close here.
    files = OpenedFiles();
    // The task was deleted while this open made its file: that file goes as well.
    if (orphaned) link->With([&](CDownloaderKernel& kernel) { kernel.DeleteFileLater(path); });
  });
}

CDownloaderKernel::OpenedFiles CDownloaderKernel::OpenFiles(const std::wstring& source,
                                                            const std::wstring& destination) {
  OpenedFiles files;
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
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(files.source.Get(), &info)) {
    files.sourceSize = (uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    files.sourceTime =
        (uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime;
    files.sourceCreated =
        (uint64_t{info.ftCreationTime.dwHighDateTime} << 32) | info.ftCreationTime.dwLowDateTime;
  }
  // Without the source the destination is not opened: it would stay locked for nothing.
  files.destination.Reset(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!files.destination) {
    files.error = GetLastError();
    return files;
  }
  LARGE_INTEGER size{};
  if (GetFileSizeEx(files.destination.Get(), &size))
    files.destinationSize = static_cast<uint64_t>(size.QuadPart);
  return files;
}

bool CDownloaderKernel::OpenFinished(const std::weak_ptr<CDownloadTask>& weak, uint32_t generation,
                                     OpenedFiles& files) {
  CLockGuard guard(lock);
  TaskPtr task = weak.lock();
  // Deleted and gone: the record went before this open made (or kept) the file.
  if (!task) return files.destination.Valid();
  if (task->openGeneration == generation) task->openPending = false;
  // Came back after Stop: the task stays closed, in the list file for the next start,
  // and our handles close on the pool thread, never on the window's at the kernel's end.
  if (Stopping()) return false;
  int index = IndexOf(task.get());
  // Deleted, paused, stopped, re-added or opened otherwise while we were opening: what
  // they did stands, and our handles close on the pool thread.
  if (index < 0 || task->generation != generation || task->GetState() != TS_NOTHING || task->read)
    return index < 0 && task->GetState() == TS_DELETED && files.destination.Valid();
  if (files.sourceIsFolder) {
    task->lastOpenError = 0;
    ListFolderLater(task);
    return false;
  }
  if (files.error) {
    // Logged when the reason changes, not at every retry.
    if (files.error != task->lastOpenError) {
      g_log.Printf("[%s] - cannot open the %s: %s", task->name.c_str(),
                   files.sourceFailed ? "source" : "destination", ErrorText(files.error).c_str());
      task->lastOpenError = files.error;
    }
    // At every failure: a Stop's word must give way to the open's own reason.
    task->SetWaitReason(ErrorText(files.error));
    return false;
  }
  task->lastOpenError = 0;
  task->SetWaitReason(std::string());
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
    } else {
      g_log.Printf("[%s] - goes on at byte %llu", task->name.c_str(),
                   static_cast<unsigned long long>(task->offset.load()));
    }
  }
  task->restartFromZero = false;
  if (task->offset == 0) {
    task->copySourceSize = files.sourceSize;
    task->copySourceTime = files.sourceTime;
  }
  task->sourceCreated = files.sourceCreated;
  if (files.sourceSize != UINT64_MAX) task->fileSize = files.sourceSize;
  task->read = std::make_shared<CChunkRead>(
      std::move(files.source), task->chunkSize,
      files.sourceSize == UINT64_MAX ? task->chunkSize : files.sourceSize);
  task->destinationHandle = std::make_shared<base::UniqueFileHandle>(std::move(files.destination));

  task->SetState(TS_READY);
  SetEvent(WorkEvent.Get());
  g_log.Printf("[%s] - task is ready", task->name.c_str());
  if (IsObserverActive()) observer->OnTaskReady(index, task.get());
  return false;
}

DWORD WINAPI CDownloaderKernel::DownloaderThreadProc(LPVOID kernel) {
  static_cast<CDownloaderKernel*>(kernel)->DownloaderLoop();
  return 1;
}

void CDownloaderKernel::DownloaderLoop() {
  g_log.Write("downloader thread have started");
  // Chunks are read and written on pool threads; this loop starts the reads of tasks
  // that became ready and writes the list when a deferred write is due.
  for (;;) {
    bool busy = IssueReads();
    DWORD listDueMs = WriteDeferredList();
    if (stopped) break;
    if (!busy) g_log.Write("nothing to do");
    WaitForSingleObject(WorkEvent.Get(), listDueMs);
    if (stopped) break;
  }

  CLockGuard guard(lock);
  for (auto& task : tasks)
    if (task->GetState() != TS_COMPLETED) CloseTask(task.get(), TS_NOTHING);
}

DWORD CDownloaderKernel::WriteDeferredList() {
  if (!listDirty) return INFINITE;
  uint64_t since = GetTickCount64() - listWriteTick;
  if (since < kListRewriteMs) return static_cast<DWORD>(kListRewriteMs - since);
  SaveTaskList();
  // Positions alone may have been put off again: come back for them.
  return listDirty ? kListRewriteMs : INFINITE;
}

void CDownloaderKernel::SaveTaskListSoon(bool now) {
  if (now) listWriteTick = 0;  // due at once
  // The downloader thread writes it when it is due; without it (stopped), the kernel's
  // end does.
  if (!listDirty.exchange(true) || now) SetEvent(WorkEvent.Get());
}

bool CDownloaderKernel::Stopping() const {
  return stopped && WaitForSingleObject(StopEvent.Get(), 0) == WAIT_OBJECT_0;
}

bool CDownloaderKernel::IssueReads() {
  bool busy = false;
  CLockGuard guard(lock);
  for (auto& task : tasks) {
    int state = task->GetState();
    if (state == TS_DOWNLOADED) {
      busy = true;
      continue;
    }
    if (state != TS_READY || !task->read || !task->destinationHandle || task->read->InFlight())
      continue;
    SubmitRead(task, task->offset);
    busy = true;
  }
  return busy;
}

void CDownloaderKernel::SubmitRead(const TaskPtr& task, uint64_t offset) {
  ReadPtr read = task->read;
  read->Prepare(offset);
  task->SetState(TS_DOWNLOADED);
  std::weak_ptr<CDownloadTask> weak = task;
  pool.Submit([link = link, weak, read] { CopyChunks(link, weak, read); });
}

void CDownloaderKernel::CopyChunks(const std::shared_ptr<CKernelLink>& link,
                                   const std::weak_ptr<CDownloadTask>& weak, const ReadPtr& read) {
  for (;;) {
    read->Run();
    // An abandoned read's result is not wanted; its buffer and source go with it.
    if (read->Abandoned()) return;
    ChunkWrite chunk;
    link->With([&](CDownloaderKernel& kernel) { chunk = kernel.TakeChunk(weak, read); });
    if (chunk.finish) return FinishCopy(link, chunk, read);
    if (!chunk.task) return;
    // Outside the link: a destination that hangs holds up only this thread, never the
    // kernel's end.
    bool written = WriteChunk(link, chunk);
    bool again = false;
    link->With(
        [&](CDownloaderKernel& kernel) { again = kernel.ChunkWritten(chunk, read, written); });
    if (chunk.finish) return FinishCopy(link, chunk, read);
    if (!again) return;
  }
}

CDownloaderKernel::ChunkWrite CDownloaderKernel::TakeChunk(const std::weak_ptr<CDownloadTask>& weak,
                                                           const ReadPtr& read) {
  ChunkWrite chunk;
  TaskPtr task = weak.lock();
  if (!task) return chunk;
  const CChunkRead::Result result = read->LastResult();
  {
    CLockGuard guard(lock);
    int index = IndexOf(task.get());
    // Paused, stopped, reopened or deleted since the read was issued: not ours any more.
    if (index < 0 || task->read != read || task->GetState() != TS_DOWNLOADED) return chunk;
    if (result.ok && result.transferred > 0) {
      // The performance thread takes all queued samples on each wake.
      if (speedSamples.empty()) SetEvent(SpeedWakeEvent.Get());
      speedSamples.emplace_back(task, result.durationUs);
      if (!task->destinationHandle) return chunk;
      chunk.task = task;
      chunk.destination = task->destinationHandle;
      chunk.data = read->Buffer();
      chunk.count = result.transferred;
      chunk.offset = result.offset;
      chunk.generation = task->generation;
      return chunk;
    }
    // Nothing more to read: the source ends where we stand (an empty source, or one
    // that shrank to exactly the copied part).
    if (task->offset < task->fileSize) {
      PauseAfterFailedRead(index, task.get(), result.error);
      return chunk;
    }
    chunk.task = task;
    chunk.finish = true;
    chunk.generation = task->generation;
    chunk.endOfFile = task->fileSize;
  }
  return chunk;
}

bool CDownloaderKernel::ChunkWritten(ChunkWrite& chunk, const ReadPtr& read, bool written) {
  const TaskPtr task = chunk.task;
  const uint64_t end = chunk.offset + chunk.count;
  bool more = false;
  {
    CLockGuard guard(lock);
    if (task->generation != chunk.generation) return false;  // closed while we wrote
    if (!written) {
      CloseTask(task.get(), TS_WRITE_ERROR);
      return false;
    }
    more = end < task->fileSize;
    // What shows as copied is what is written; a completed task keeps its last chunk's
    // start.
    if (more) {
      task->offset = end;
      if (stopped)
        task->SetState(TS_READY);  // the task closes with the loop
      else
        read->Prepare(end);  // this thread reads on
    }
  }
  SaveTaskListSoon();
  if (more) return !stopped;
  chunk.destination.reset();
  chunk.finish = true;
  chunk.endOfFile = end;
  return false;
}

void CDownloaderKernel::FinishCopy(const std::shared_ptr<CKernelLink>& link,
                                   const ChunkWrite& chunk, const ReadPtr& read) {
  // Both files close before the task shows as completed: whoever sees "completed" may
  // move, open or delete either at once.
  read->CloseSource();
  std::shared_ptr<base::UniqueFileHandle> destination;
  uint64_t written = 0, created = 0;
  bool ours = false;
  link->With([&](CDownloaderKernel& kernel) {
    ours = kernel.TakeCopiedFiles(chunk.task, chunk.generation, destination, written, created);
  });
  if (!ours) return;
  // An existing destination longer than the source must not keep its old tail.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(chunk.endOfFile);
  if (destination && SetFilePointerEx(destination->Get(), end, nullptr, FILE_BEGIN))
    SetEndOfFile(destination->Get());
  // The copy carries its source's times, as a copy by Explorer does; a share that gave
  // none leaves the copy's own (a zero FILETIME would mean 1601).
  if (destination && written) {
    const FILETIME lastWrite{static_cast<DWORD>(written), static_cast<DWORD>(written >> 32)};
    const FILETIME creation{static_cast<DWORD>(created), static_cast<DWORD>(created >> 32)};
    SetFileTime(destination->Get(), created ? &creation : nullptr, nullptr, &lastWrite);
  }
  destination.reset();
  link->With([&](CDownloaderKernel& kernel) { kernel.CompleteTask(chunk.task, chunk.generation); });
}

bool CDownloaderKernel::WriteChunk(const std::shared_ptr<CKernelLink>& link,
                                   const ChunkWrite& chunk) {
  HANDLE destination = chunk.destination->Get();
  for (int attempt = 1;; ++attempt) {
    // A seek and a plain write: under Wine a write that carries its own position costs
    // a round trip to the server, a seek does not.
    DWORD code = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(chunk.offset);
    if (!SetFilePointerEx(destination, position, nullptr, FILE_BEGIN)) {
      code = GetLastError();
    } else {
      DWORD written = 0;
      if (WriteFile(destination, chunk.data, chunk.count, &written, nullptr) &&
          written == chunk.count)
        return true;
      code = GetLastError();
      if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;  // a short write
    }
    bool retry = false;
    link->With([&](CDownloaderKernel& kernel) {
      retry = attempt < kMaxWriteAttempts && !kernel.stopped;
      if (retry) {
        CLockGuard guard(kernel.lock);
        retry = !kernel.IsObserverActive() || kernel.observer->OnError(code);
      }
    });
    if (!retry) {
      g_log.Printf("[%s] - write failed with error %lu, task is stopped", chunk.task->name.c_str(),
                   static_cast<unsigned long>(code));
      chunk.task->SetWaitReason(ErrorText(code));
      return false;
    }
  }
}

bool CDownloaderKernel::TakeCopiedFiles(const TaskPtr& task, uint32_t generation,
                                        std::shared_ptr<base::UniqueFileHandle>& destination,
                                        uint64_t& written, uint64_t& created) {
  ReadPtr read;
  {
    CLockGuard guard(lock);
    if (task->generation != generation) return false;
    destination = std::move(task->destinationHandle);
    read = std::move(task->read);
    written = task->copySourceTime;
    created = task->sourceCreated;
  }
  // Its source is closed already; the copying thread holds it until it is done.
  return true;
}

void CDownloaderKernel::CompleteTask(const TaskPtr& task, uint32_t generation) {
  bool othersCopy = false;
  {
    CLockGuard guard(lock);
    // Paused or deleted meanwhile: that close found the files gone and stands.
    if (task->generation != generation) return;
    CloseTask(task.get(), TS_COMPLETED);
    g_log.Printf("[%s] - complete.", task->name.c_str());
    for (auto& other : tasks) {
      int state = other->GetState();
      if (state == TS_READY || state == TS_DOWNLOADED) othersCopy = true;
    }
  }
  // The last copying task's end is in the file at once; others may wait their turn.
  SaveTaskListSoon(!othersCopy);
  CLockGuard guard(lock);
  int index = IndexOf(task.get());
  if (index >= 0 && IsObserverActive()) observer->OnTaskCompleted(index);
}

void CDownloaderKernel::PauseAfterFailedRead(int index, CDownloadTask* task, DWORD error) {
  CloseTask(task, TS_NOTHING);
  g_log.Printf("[%s] - GetOverlappedResult failed, task is paused", task->name.c_str());
  // No error with nothing read: the source is shorter now than when it was opened.
  task->SetWaitReason(error ? ErrorText(error) : ErrorText(ERROR_HANDLE_EOF));
  if (IsObserverActive()) observer->OnTaskPaused(index);
}
