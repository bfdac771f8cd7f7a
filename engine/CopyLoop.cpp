// Opening a task and the downloader thread: one overlapped chunk read in flight per
// open task, tasks visited round-robin, each completed chunk written synchronously at
// the same offset of the destination.
#include "engine/DownloaderKernel.h"
#include "engine/EventLog.h"
#include "winui/Utf8.h"

namespace {

// Attempts per chunk before a failing destination is given up.
constexpr int kMaxWriteAttempts = 3;

}  // namespace

void CDownloaderKernel::OpenTask(int index) {
  std::shared_ptr<CDownloadTask> task;
  {
    CLockGuard guard(lock);
    if (index < 0 || index >= static_cast<int>(tasks.size())) return;
    task = tasks[static_cast<size_t>(index)];
  }
  OpenTaskRecord(task, false);
}

void CDownloaderKernel::OpenTaskRecord(const std::shared_ptr<CDownloadTask>& task,
                                       bool onlyIfClosed) {
  std::wstring source, destination;
  {
    CLockGuard guard(lock);
    if (IndexOf(task.get()) < 0) return;
    if (onlyIfClosed && task->GetState() != TS_NOTHING) return;
    // Files still open (a task added before Start is opened again by Start): close them
    // properly, waiting for any read in flight, rather than leak them.
    if (task->sourceHandle || task->destinationHandle)
      CloseTask(task.get(), TS_NOTHING);
    else
      task->SetState(TS_NOTHING);
    g_log.Printf("[%s] - try to download", task->name.c_str());
    source = winui::WidePath(task->source);
    destination = winui::WidePath(task->destination);
  }

  // Opening a file on a share that has gone away can take many seconds: it is done
  // without the kernel lock, so the window and the other tasks go on meanwhile.
  winui::UniqueFileHandle sourceFile(CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED,
                                                 nullptr));
  if (!sourceFile) return;
  LARGE_INTEGER size;
  bool sized = GetFileSizeEx(sourceFile.Get(), &size) != FALSE;
  // Without the source the destination is not opened: it would stay locked for nothing.
  winui::UniqueFileHandle destinationFile(CreateFileW(destination.c_str(), GENERIC_WRITE,
                                                      FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!destinationFile) return;

  CLockGuard guard(lock);
  int index = IndexOf(task.get());
  // Deleted, stopped, or opened by another caller while we were opening: what they did
  // stands, and our handles close here.
  if (index < 0 || task->GetState() != TS_NOTHING || task->sourceHandle ||
      task->destinationHandle)
    return;
  if (sized) task->fileSize = static_cast<uint64_t>(size.QuadPart);
  task->sourceHandle = std::move(sourceFile);
  task->destinationHandle = std::move(destinationFile);

  task->SetState(TS_READY);
  SetEvent(WorkEvent.Get());
  SetEvent(SpeedWakeEvent.Get());
  g_log.Printf("[%s] - task is ready", task->name.c_str());
  if (IsObserverActive()) observer->OnTaskReady(index, task.get());
}

DWORD WINAPI CDownloaderKernel::DownloaderThreadProc(LPVOID kernel) {
  static_cast<CDownloaderKernel*>(kernel)->DownloaderLoop();
  return 1;
}

void CDownloaderKernel::DownloaderLoop() {
  g_log.Write("downloader thread have started");
  size_t cursor = 0;
  for (;;) {
    if (!IssueReads()) {
      g_log.Write("nothing to do");
      if (!stopped) WaitForSingleObject(WorkEvent.Get(), INFINITE);
    }
    if (stopped) break;

    std::shared_ptr<CDownloadTask> current;  // keeps the record alive while we wait
    {
      CLockGuard guard(lock);
      if (cursor >= tasks.size()) {
        cursor = 0;
        continue;
      }
      current = tasks[cursor];
    }

    // The control block is checked too: a finished read is collected even if its event
    // was never seen set.
    if (current->GetState() == TS_DOWNLOADED &&
        (WaitForSingleObject(current->ReadEvent.Get(), 10) == WAIT_OBJECT_0 ||
         HasOverlappedIoCompleted(&current->readControl))) {
      CLockGuard guard(lock);
      int index = IndexOf(current.get());
      // The task may have been paused, reopened or deleted while we waited.
      if (index >= 0 && current->GetState() == TS_DOWNLOADED && current->readPending) {
        DWORD transferred = 0;
        BOOL ok = GetOverlappedResult(current->sourceHandle.Get(), &current->readControl,
                                      &transferred, FALSE);
        if (ok || GetLastError() != ERROR_IO_INCOMPLETE) {
          current->readPending = false;
          FinishRead(index, current.get(), ok != FALSE, transferred);
        }
      }
    }
    if (stopped) break;

    CLockGuard guard(lock);
    if (++cursor >= tasks.size()) cursor = 0;
  }

  CLockGuard guard(lock);
  for (auto& task : tasks)
    if (task->GetState() != TS_COMPLETED) CloseTask(task.get(), TS_NOTHING);
}

bool CDownloaderKernel::IssueReads() {
  bool busy = false;
  CLockGuard guard(lock);
  for (size_t i = 0; i < tasks.size(); ++i) {
    CDownloadTask* task = tasks[i].get();
    int state = task->GetState();
    if (state == TS_DOWNLOADED) {
      busy = true;
    } else if (state == TS_READY && task->sourceHandle && task->destinationHandle) {
      IssueRead(static_cast<int>(i), task);
      if (task->GetState() == TS_DOWNLOADED) busy = true;
    }
  }
  return busy;
}

void CDownloaderKernel::IssueRead(int index, CDownloadTask* task) {
  OVERLAPPED& rc = task->readControl;
  rc.Internal = 0;
  rc.InternalHigh = 0;
  rc.Offset = static_cast<DWORD>(task->offset);
  rc.OffsetHigh = static_cast<DWORD>(task->offset >> 32);
  task->readStartTick = GetTickCount();
  task->bytesRead = 0;
  if (ReadFile(task->sourceHandle.Get(), task->buffer.get(), task->chunkSize, &task->bytesRead,
               &rc) ||
      GetLastError() == ERROR_IO_PENDING) {
    task->readPending = true;
    task->SetState(TS_DOWNLOADED);
    return;
  }
  // Refused at once (typically at the end of the source): no completion will come, so
  // settle the task here instead of leaving it waiting for one.
  task->SetState(TS_DOWNLOADED);
  FinishRead(index, task, false, 0);
}

void CDownloaderKernel::FinishRead(int index, CDownloadTask* task, bool ok, DWORD transferred) {
  if (!ok || transferred == 0) {
    // Nothing more to read: the source ends where we stand (an empty source, or one
    // that shrank to exactly the copied part).
    if (task->offset >= task->fileSize)
      CompleteTask(index, task, task->fileSize);
    else
      PauseAfterFailedRead(index, task);
    return;
  }

  SetEvent(task->SpeedEvent.Get());
  SetEvent(SpeedWakeEvent.Get());

  if (!WriteChunk(task, transferred)) {
    CloseTask(task, TS_WRITE_ERROR);
    return;
  }
  SaveTaskList();
  if (task->offset + transferred < task->fileSize) {
    task->offset += transferred;
    task->SetState(TS_READY);
  } else {
    CompleteTask(index, task, task->offset + transferred);
  }
}

bool CDownloaderKernel::WriteChunk(CDownloadTask* task, DWORD count) {
  HANDLE destination = task->destinationHandle.Get();
  for (int attempt = 1;; ++attempt) {
    DWORD code = 0;
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(task->offset);
    if (!SetFilePointerEx(destination, position, nullptr, FILE_BEGIN)) {
      code = GetLastError();
    } else {
      DWORD written = 0;
      if (WriteFile(destination, task->buffer.get(), count, &written, nullptr) && written == count)
        return true;
      code = GetLastError();
      if (code == ERROR_SUCCESS) code = ERROR_WRITE_FAULT;  // a short write
    }
    // The kernel lock is held throughout: keep the retries few, and none once stopping.
    bool retry =
        attempt < kMaxWriteAttempts && !stopped && (!IsObserverActive() || observer->OnError(code));
    if (!retry) {
      g_log.Printf("[%s] - write failed with error %lu, task is stopped", task->name.c_str(),
                   static_cast<unsigned long>(code));
      return false;
    }
  }
}

void CDownloaderKernel::CompleteTask(int index, CDownloadTask* task, uint64_t endOfFile) {
  // An existing destination longer than the source must not keep its old tail.
  LARGE_INTEGER end;
  end.QuadPart = static_cast<LONGLONG>(endOfFile);
  if (SetFilePointerEx(task->destinationHandle.Get(), end, nullptr, FILE_BEGIN))
    SetEndOfFile(task->destinationHandle.Get());
  CloseTask(task, TS_COMPLETED);
  g_log.Printf("[%s] - complete.", task->name.c_str());
  SaveTaskList();
  if (IsObserverActive()) observer->OnTaskCompleted(index);
}

void CDownloaderKernel::PauseAfterFailedRead(int index, CDownloadTask* task) {
  CloseTask(task, TS_NOTHING);
  g_log.Printf("[%s] - GetOverlappedResult failed, task is paused", task->name.c_str());
  if (IsObserverActive()) observer->OnTaskPaused(index);
}
