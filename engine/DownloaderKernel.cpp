#include "engine/DownloaderKernel.h"

#include <objbase.h>

#include <algorithm>

#include "engine/DataFolder.h"
#include "engine/DestinationPath.h"
#include "engine/EventLog.h"
#include "engine/TaskListFile.h"
#include "base/ComScope.h"
#include "base/ErrorText.h"
#include "base/Utf8.h"

namespace {

using destination_path::Folded;
using destination_path::NormalFolder;
using destination_path::Same;

// The same tasks in the same states, wherever their copies stand.
bool SameTasks(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].state != b[i].state || a[i].name != b[i].name || a[i].source != b[i].source ||
        a[i].destination != b[i].destination || a[i].madeFile != b[i].madeFile ||
        a[i].askedDestination != b[i].askedDestination)
      return false;
  return true;
}

bool SamePositions(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b) {
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].offset != b[i].offset || a[i].sourceSize != b[i].sourceSize ||
        a[i].sourceTime != b[i].sourceTime)
      return false;
  return true;
}

// How long a delete keeps trying while a pool thread still holds the file open.
constexpr int kDeleteAttempts = 60;
constexpr DWORD kDeleteRetryMs = 500;

// Pool jobs that read the sizes of a list loaded at start-up.
constexpr size_t kSizeLanes = 4;

}  // namespace

CDownloaderKernel::CDownloaderKernel()
    : WorkEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      WatchWakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      SpeedWakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      link(std::make_shared<CKernelLink>(this)) {
  // The events carry no names: nothing opens them by name, and two kernels (two users'
  // sessions, two test processes) must never share them.
  listPath = CDataFolder::BesideThisProgram().ListPath();
}

CDownloaderKernel::~CDownloaderKernel() {
  if (!stopped) Stop();
  // Pool threads still inside a hung call find the link cut when they come back.
  link->Cut();
  // What they changed after Stop's write, with no downloader thread left to write it.
  if (listDirty) SaveTaskList(true);
  CLockGuard guard(lock);
  tasks.clear();
  byDestination.clear();
}

void CDownloaderKernel::SetObserver(IKernelObserver* newObserver) {
  CLockGuard guard(lock);
  observer = newObserver;
}

bool CDownloaderKernel::IsObserverActive() { return observer && observer->IsActive(); }

bool CDownloaderKernel::SetDefaultFolder(const std::string& path) {
  defaultFolder = path;
  if (!defaultFolder.empty() && defaultFolder.back() == '\\') defaultFolder.pop_back();
  return true;
}

void CDownloaderKernel::SetWatchInterval(int seconds) {
  watchInterval = static_cast<uint32_t>(seconds < 1 ? 1 : seconds) * 1000u;
}

void CDownloaderKernel::SetSpeedUnit(int unit) {
  static const float kFactors[] = {0.001024f, 1.024f, 1024.0f};
  if (unit < 0 || unit > 2) return;
  CLockGuard guard(lock);
  speedUnit = unit;
  speedFactor = kFactors[unit];
}

CDownloadTask* CDownloaderKernel::GetTask(int index) const {
  if (index < 0 || index >= static_cast<int>(tasks.size())) return nullptr;
  return tasks[static_cast<size_t>(index)].get();
}

std::shared_ptr<CDownloadTask> CDownloaderKernel::TaskRef(int index) const {
  if (index < 0 || index >= static_cast<int>(tasks.size())) return nullptr;
  return tasks[static_cast<size_t>(index)];
}

CDownloadTask* CDownloaderKernel::TaskWithDestination(const std::string& destination) const {
  return TaskWithDestination(destination, std::string());
}

CDownloadTask* CDownloaderKernel::TaskWithDestination(const std::string& destination,
                                                      const std::string& source) const {
  auto [first, last] = byDestination.equal_range(Folded(destination));
  for (auto it = first; it != last; ++it)
    if ((Same(it->second->destination, destination) ||
         Same(it->second->AskedDestination(), destination)) &&
        (source.empty() || Same(it->second->source, source)))
      return it->second;
  return nullptr;
}

void CDownloaderKernel::AddToList(const TaskPtr& task) {
  tasks.push_back(task);
  IndexDestinations(task.get());
}

void CDownloaderKernel::IndexDestinations(CDownloadTask* task) {
  byDestination.emplace(Folded(task->AskedDestination()), task);
  if (!Same(task->AskedDestination(), task->destination))
    byDestination.emplace(Folded(task->destination), task);
}

void CDownloaderKernel::UnindexDestinations(CDownloadTask* task) {
  const std::string* got = &task->destination;
  for (const std::string* path : {&task->AskedDestination(), got}) {
    auto [first, last] = byDestination.equal_range(Folded(*path));
    for (auto it = first; it != last;) it = it->second == task ? byDestination.erase(it) : ++it;
  }
}

void CDownloaderKernel::MoveDestination(CDownloadTask* task, const std::string& path) {
  const std::string asked = task->AskedDestination();
  UnindexDestinations(task);
  task->SetDestination(path);
  task->SetAskedDestination(asked);
  IndexDestinations(task);
}

bool CDownloaderKernel::IsOwnUnchangedCopy(const std::string& path, const std::string& source,
                                           uint64_t size, uint64_t time) const {
  auto found = finishedCopies.find(Folded(path));
  return found != finishedCopies.end() && Same(found->second.source, source) &&
         found->second.size == size && found->second.time == time;
}

int CDownloaderKernel::IndexOf(const CDownloadTask* task) const {
  for (size_t i = 0; i < tasks.size(); ++i)
    if (tasks[i].get() == task) return static_cast<int>(i);
  return -1;
}

bool CDownloaderKernel::AddTasks(const std::vector<std::string>& sources,
                                 const std::string& folder) {
  if (sources.empty()) return true;
  if (folder.empty() && defaultFolder.empty() && IsObserverActive() &&
      !observer->OnError(NoDefaultFolder))
    return false;

  bool added = false;
  {
    CLockGuard guard(lock);
    std::vector<TaskPtr> batch;
    // Each in the list at once: the same source twice in one call is one task. Every
    // task is in the list (and can be paused or deleted) before any open returns.
    for (const std::string& source : sources) {
      auto task = std::make_shared<CDownloadTask>();
      if (!PrepareTask(source, folder, task.get())) continue;
      AddToList(task);
      batch.push_back(std::move(task));
    }
    for (auto& task : batch) RequestOpen(task);
    added = !batch.empty();
  }
  // Written once for the batch: a close or a kill before the first chunk loses nothing.
  SaveTaskList();
  return added;
}

void CDownloaderKernel::TakeNewSource(CDownloadTask* listed, std::string source) {
  const TaskPtr existing = tasks[static_cast<size_t>(IndexOf(listed))];
  if (existing->GetState() == TS_COMPLETED) {
    existing->restartFromZero = true;
    // Its finished file is the user's now: the copy looks for its name afresh, and may
    // replace that file only while nobody has changed it.
    existing->destinationClaimed = false;
    existing->madeFile = false;
    MoveDestination(existing.get(), std::string(existing->AskedDestination()));
  }
  CloseTask(existing.get(), TS_NOTHING);
  existing->source = std::move(source);
  RequestOpen(existing);
}

bool CDownloaderKernel::PrepareTask(const std::string& sourcePath, const std::string& folder,
                                    CDownloadTask* task) {
  CLockGuard guard(lock);
  // A folder may come with its closing backslash; its name is the last part before it.
  std::string source = sourcePath;
  while (source.size() > 1 && (source.back() == '\\' || source.back() == '/')) source.pop_back();
  task->source = source;
  std::string fileName = CDownloadTask::FileNameOf(source);
  // Windows drops trailing dots and blanks: a name of nothing else ("", ".", "..") would
  // make the destination the folder itself or its parent.
  if (fileName.find_first_not_of(". ") == std::string::npos) {
    g_log.Printf("cannot add %s: it names no file", sourcePath.c_str());
    return false;
  }
  // A name Windows reserves, or one that ends in a dot or a blank, is read as the file
  // it is but saved under a name that exists on Windows as it reads.
  if (const std::string safe = destination_path::SafeName(fileName); safe != fileName) {
    g_log.Printf("%s is saved as %s: Windows does not take that name as it is", sourcePath.c_str(),
                 safe.c_str());
    fileName = safe;
  }
  task->destination = NormalFolder(folder.empty() ? defaultFolder : folder) + "\\" + fileName;

  // The same source into the same folder again: its task goes on (or copies it anew).
  // Another file of the same name becomes a task of its own, and its copy goes beside.
  if (CDownloadTask* found = TaskWithDestination(task->destination, source)) {
    TakeNewSource(found, source);
    return false;
  }
  // Another path may reach the very file an unfinished task copies there (a mapped drive
  // and its share): its open compares the two and hands the task over if they are one.
  if (CDownloadTask* other = TaskWithDestination(task->destination);
      other && other->GetState() != TS_COMPLETED && other->copySourceTime != 0)
    task->sameFileAs = tasks[static_cast<size_t>(IndexOf(other))];

  task->name = CDownloadTask::NameFromSource(source);
  g_log.Printf("add task: %s", task->name.c_str());
  return true;
}

void CDownloaderKernel::ReadSizesLater(const std::vector<TaskPtr>& batch) {
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
    pool.Submit([link = link, work] {
      for (size_t k; (k = work->next++) < work->tasks.size();) {
        std::wstring source;
        bool kernelGone = true;
        link->With([&](CDownloaderKernel& kernel) {
          kernelGone = false;
          CLockGuard guard(kernel.lock);
          // An open that came first measures the size itself.
          if (TaskPtr task = work->tasks[k].lock(); task && !task->read)
            source = base::WidePath(task->source);
        });
        if (kernelGone) return;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (source.empty() || !GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data))
          continue;
        uint64_t size = (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        link->With([&](CDownloaderKernel& kernel) {
          CLockGuard guard(kernel.lock);
          if (TaskPtr task = work->tasks[k].lock(); task && !task->read) task->fileSize = size;
        });
      }
    });
  }
}

bool CDownloaderKernel::Start() {
  if (!stopped) return true;  // already running
  g_log.Write("start downloader thread");
  if (IsObserverActive()) observer->OnStart();
  {
    CLockGuard guard(lock);
    for (auto& task : tasks) {
      // A task added just before is open or opening already.
      if (task->read || (task->openPending && task->openGeneration == task->generation)) continue;
      RequestOpen(task);
    }
  }
  stopped = 0;
  ResetEvent(StopEvent.Get());
  watchThread.Reset(CreateThread(nullptr, 0, WatchThreadProc, this, 0, &watchThreadId));
  performanceThread.Reset(
      CreateThread(nullptr, 0, PerformanceThreadProc, this, 0, &performanceThreadId));
  downloaderThread.Reset(
      CreateThread(nullptr, 0, DownloaderThreadProc, this, 0, &downloaderThreadId));
  return true;
}

bool CDownloaderKernel::Stop() {
  // A second Stop (the window stops at destroy, its owner again at the end) has
  // nothing to join and must not log a second shutdown.
  if (stopped && !watchThread && !performanceThread && !downloaderThread) return true;
  g_log.Write("stop downloading");
  // Written first: whatever hangs after this, every unfinished task is in the file.
  SaveTaskList(true);
  stopped = 1;
  SetEvent(StopEvent.Get());

  // None of the three threads waits on a file-system call, so these joins are short
  // even when a share hangs: pool threads stuck in a call are not waited for.
  SetEvent(WatchWakeEvent.Get());
  if (watchThread) WaitForSingleObject(watchThread.Get(), INFINITE);
  watchThread.Reset();
  g_log.Write("stopped watcher");

  SetEvent(SpeedWakeEvent.Get());
  if (performanceThread) WaitForSingleObject(performanceThread.Get(), INFINITE);
  performanceThread.Reset();
  g_log.Write("stopped perfomancer");

  SetEvent(WorkEvent.Get());
  if (downloaderThread) WaitForSingleObject(downloaderThread.Get(), INFINITE);
  downloaderThread.Reset();
  g_log.Write("download stopped");
  return true;
}

void CDownloaderKernel::ReleaseLater(std::shared_ptr<void> what) {
  if (what) pool.Submit([what = std::move(what)]() mutable { what.reset(); });
}

void CDownloaderKernel::CloseTask(CDownloadTask* task, int newState) {
  CLockGuard guard(lock);
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
  ReleaseLater(std::move(task->destinationHandle));
}

void CDownloaderKernel::ResumeTask(int index) { OpenTask(index); }

bool CDownloaderKernel::PauseTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return false;
  CloseTask(task, TS_NOTHING);
  task->SetWaitReason("Paused");
  if (IsObserverActive()) observer->OnTaskPaused(index);
  return true;
}

void CDownloaderKernel::StopTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return;
  CloseTask(task, TS_WRITE_ERROR);
  task->SetWaitReason("Stopped");
  if (IsObserverActive()) observer->OnTaskPaused(index);
}

bool CDownloaderKernel::DeleteTask(int index, bool deleteFile) {
  TaskPtr task;
  {
    CLockGuard guard(lock);
    if (index < 0 || index >= static_cast<int>(tasks.size())) return false;
    // Keeps the record alive for any thread still busy with it after it leaves the list.
    task = tasks[static_cast<size_t>(index)];
    g_log.Printf("[%s] - delete task", task->name.c_str());
    RemoveFromList(index);
  }
  SaveTaskList();
  if (!deleteFile) return true;
  // Only a file the task made goes: one that was there before it is the user's.
  if (task->madeFile) {
    g_log.Printf("[%s] - the file %s is deleted", task->name.c_str(), task->destination.c_str());
    DeleteFileLater(task->destination);
  } else {
    g_log.Printf("[%s] - the file %s is left: this task did not make it", task->name.c_str(),
                 task->destination.c_str());
  }
  return true;
}

void CDownloaderKernel::RemoveFromList(int index) {
  CLockGuard guard(lock);
  TaskPtr task = tasks[static_cast<size_t>(index)];
  CloseTask(task.get(), TS_DELETED);
  if (IsObserverActive()) observer->OnTaskDeleted(index);
  tasks.erase(tasks.begin() + index);
  UnindexDestinations(task.get());
}

void CDownloaderKernel::DeleteFileLater(const std::string& path) {
  pool.Submit([link = link, path] {
    std::wstring wide = base::WidePath(path);
    for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
      // A task that copies into this very file now owns it: leave it alone.
      bool claimed = false;
      link->With([&](CDownloaderKernel& kernel) {
        CLockGuard guard(kernel.lock);
        auto [first, last] = kernel.byDestination.equal_range(Folded(path));
        for (auto it = first; it != last && !claimed; ++it)
          claimed = Same(it->second->destination, path);
      });
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

void CDownloaderKernel::SaveTaskList(bool positionsNow) {
  // Cleared before the snapshot: a change made after it marks the list again.
  listDirty = false;
  listWriteTick = GetTickCount64();
  std::vector<TaskListEntry> current;
  uint64_t snapshot = 0;
  {
    CLockGuard guard(lock);
    snapshot = ++listSnapshots;
    current.reserve(tasks.size());
    for (auto& task : tasks) {
      int state = task->GetState();
      if (state == TS_COMPLETED || state == TS_DELETED) continue;
      TaskListEntry entry{task->name, task->source, task->destination, state};
      if (&task->AskedDestination() != &task->destination)
        entry.askedDestination = task->AskedDestination();
      entry.madeFile = task->madeFile;
      // Only a copy under way over a source of known size has a place to go on from,
      // and only as far as its bytes are known to be on the disk.
      const uint64_t flushed = std::min<uint64_t>(task->flushedOffset, task->offset);
      if (flushed > 0 && task->copySourceSize != UINT64_MAX) {
        entry.offset = flushed;
        entry.sourceSize = task->copySourceSize;
        entry.sourceTime = task->copySourceTime;
      }
      current.push_back(std::move(entry));
    }
  }
  // The file is ours, next to the program, but still written without the kernel lock.
  CLockGuard guard(listLock);
  if (snapshot < listWrittenSnapshot) return;  // a newer list is on disk already
  const bool sameTasks = listWritten && SameTasks(current, lastListEntries);
  if (sameTasks && SamePositions(current, lastListEntries)) {
    listWrittenSnapshot = snapshot;
    return;
  }
  const uint64_t now = GetTickCount64();
  // A long list takes long to write: positions alone never take more than a twentieth
  // of the copy thread's time.
  const uint64_t positionsEvery = std::max<uint64_t>(kListPositionRewriteMs, 20 * listWriteMs);
  if (sameTasks && !positionsNow && now - listPositionsTick < positionsEvery) {
    listDirty = true;  // the downloader thread comes back to it
    return;
  }
  const bool saved = CTaskListFile(listPath).Write(CTaskListFile::Format(current));
  listWriteMs = GetTickCount64() - now;
  if (saved) {
    ++listWrites;  // copying threads flush before the next one stores their positions
    listPositionsTick = now;
    lastListEntries = std::move(current);
    listWritten = true;
    listWrittenSnapshot = snapshot;
    if (listSaveError) g_log.Write(("The task list is saved again to " + listPath + ".").c_str());
    listSaveError = 0;
    return;
  }
  // Once per change of reason: a folder that stays unwritable must not fill the log
  // with a line per chunk, yet unfinished work that would not survive a restart is
  // worth a line.
  const DWORD error = GetLastError() ? GetLastError() : ERROR_GEN_FAILURE;
  if (error != listSaveError)
    g_log.Write(("The task list cannot be saved to " + listPath + ": " + base::ErrorText(error) +
                 " Unfinished downloads will not be resumed after a restart.")
                    .c_str());
  listSaveError = error;
}

bool CDownloaderKernel::LoadTaskList() {
  std::vector<TaskListEntry> entries;
  // The reader needs COM on this thread; the window's thread normally has it already.
  {
    base::ComScope com;
    if (!CTaskListFile(listPath).Load(entries)) return false;
  }

  std::vector<TaskPtr> batch;
  batch.reserve(entries.size());
  {
    CLockGuard guard(lock);
    tasks.reserve(tasks.size() + entries.size());
    for (TaskListEntry& entry : entries) {
      auto task = std::make_shared<CDownloadTask>();
      task->name = std::move(entry.name);
      task->source = std::move(entry.source);
      task->destination = std::move(entry.destination);
      if (!entry.askedDestination.empty()) task->SetAskedDestination(entry.askedDestination);
      // A file the task made is its own; any other is looked at anew when it opens.
      task->madeFile = entry.madeFile;
      task->destinationClaimed = entry.madeFile;
      if (!entry.madeFile) {
        const std::string asked = task->AskedDestination();
        task->destination = asked;
        task->SetAskedDestination(asked);
      }
      task->SetState(entry.state);
      if (entry.HasPosition()) {
        // Checked against the source and the copy when the task opens.
        task->offset = entry.offset;
        task->flushedOffset = entry.offset;  // stored only once it was on the disk
        task->fileSize = entry.sourceSize;
        task->copySourceSize = entry.sourceSize;
        task->copySourceTime = entry.sourceTime;
      }
      AddToList(task);
      batch.push_back(std::move(task));
    }
  }
  // After the lock: the size reads take it for every task they measure.
  ReadSizesLater(batch);
  return true;
}
