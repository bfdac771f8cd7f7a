#include "engine/DownloaderKernel.h"

#include <objbase.h>

#include "engine/EventLog.h"
#include "engine/TaskListFile.h"
#include "winui/Utf8.h"

namespace {

// "<program path without its extension>.info", next to the program.
std::string DefaultListPath() {
  std::vector<wchar_t> buf(32768);
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  std::string path = (n == 0 || n >= buf.size()) ? std::string("downloader.info")
                                                 : winui::Narrow(std::wstring_view(buf.data(), n));
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('\\');
  // Only a dot in the file name itself starts an extension.
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
  return path + ".info";
}

bool SamePathIgnoringCase(const std::string& a, const std::string& b) {
  std::wstring wa = winui::Widen(a), wb = winui::Widen(b);
  return CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

bool SameEntries(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b,
                 size_t count) {
  if (a.size() < count || b.size() < count) return false;
  for (size_t i = 0; i < count; ++i)
    if (a[i].state != b[i].state || a[i].name != b[i].name || a[i].source != b[i].source ||
        a[i].destination != b[i].destination)
      return false;
  return true;
}

}  // namespace

CDownloaderKernel::CDownloaderKernel() {
  // The three kernel events keep their fixed names: they are part of what the program
  // shows to the system. Only one kernel runs per session (single instance).
  WorkEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, L"{8AB432F4-AE10-4348-A328-4D2F7E16210B}"));
  WatchWakeEvent.Reset(
      CreateEventW(nullptr, FALSE, FALSE, L"{4DED9FF2-2FA4-402a-80A6-FBB32C5A0822}"));
  SpeedWakeEvent.Reset(
      CreateEventW(nullptr, FALSE, FALSE, L"{2A2D29AB-C10F-414c-BC58-ECE0F9F2858F}"));
  listPath = DefaultListPath();
}

CDownloaderKernel::~CDownloaderKernel() {
  if (!stopped) Stop();
  CLockGuard guard(lock);
  tasks.clear();
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

int CDownloaderKernel::GetTaskCount() {
  CLockGuard guard(lock);
  return static_cast<int>(tasks.size());
}

CDownloadTask* CDownloaderKernel::GetTask(int index) {
  CLockGuard guard(lock);
  if (index < 0 || index >= static_cast<int>(tasks.size())) return nullptr;
  return tasks[static_cast<size_t>(index)].get();
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

  CLockGuard guard(lock);
  std::vector<std::shared_ptr<CDownloadTask>> batch;
  for (const std::string& source : sources) {
    auto task = std::make_shared<CDownloadTask>();
    if (PrepareTask(source, folder, task.get())) batch.push_back(std::move(task));
  }
  if (batch.empty()) return false;
  for (auto& task : batch) {
    tasks.push_back(std::move(task));
    OpenTask(static_cast<int>(tasks.size()) - 1);
  }
  return true;
}

bool CDownloaderKernel::PrepareTask(const std::string& sourcePath, const std::string& folder,
                                    CDownloadTask* task) {
  CLockGuard guard(lock);
  task->source = sourcePath;
  size_t slash = sourcePath.rfind('\\');
  std::string fileName = slash == std::string::npos ? sourcePath : sourcePath.substr(slash + 1);
  task->destination = (folder.empty() ? defaultFolder : folder) + "\\" + fileName;

  // A destination we already copy to: that task goes on, now from the new source.
  for (size_t i = 0; i < tasks.size(); ++i) {
    CDownloadTask* existing = tasks[i].get();
    if (!SamePathIgnoringCase(existing->destination, task->destination)) continue;
    CloseTask(existing, TS_NOTHING);
    existing->source = sourcePath;
    OpenTask(static_cast<int>(i));
    return false;
  }

  ReadSourceSize(task);
  task->name = CDownloadTask::NameFromSource(sourcePath);
  g_log.Printf("add task: %s", task->name.c_str());
  return true;
}

void CDownloaderKernel::ReadSourceSize(CDownloadTask* task) {
  winui::UniqueFileHandle file(CreateFileW(winui::WidePath(task->source).c_str(), GENERIC_READ,
                                           FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (file && GetFileSizeEx(file.Get(), &size))
    task->fileSize = static_cast<uint64_t>(size.QuadPart);
}

bool CDownloaderKernel::Start() {
  if (!stopped) return true;  // already running
  g_log.Write("start downloader thread");
  if (IsObserverActive()) observer->OnStart();
  {
    CLockGuard guard(lock);
    for (size_t i = 0; i < tasks.size(); ++i) OpenTask(static_cast<int>(i));
  }
  stopped = 0;
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
  stopped = 1;

  SetEvent(WatchWakeEvent.Get());
  if (watchThread) WaitForSingleObject(watchThread.Get(), INFINITE);
  watchThread.Reset();
  g_log.Write("stopped watcher");

  SetEvent(SpeedWakeEvent.Get());
  if (performanceThread) WaitForSingleObject(performanceThread.Get(), INFINITE);
  performanceThread.Reset();
  g_log.Write("stopped perfomancer");

  {
    // Ends the copy loop's short wait on the task at its cursor at once.
    CLockGuard guard(lock);
    for (auto& task : tasks)
      if (task->ReadEvent) SetEvent(task->ReadEvent.Get());
  }
  SetEvent(WorkEvent.Get());
  if (downloaderThread) WaitForSingleObject(downloaderThread.Get(), INFINITE);
  downloaderThread.Reset();
  g_log.Write("download stopped");
  return true;
}

void CDownloaderKernel::CloseTask(CDownloadTask* task, int newState) {
  CLockGuard guard(lock);
  task->SetState(newState);
  if (task->sourceHandle) {
    if (task->readPending) {
      // Wait for the read in flight: it writes into the task's buffer. The event may
      // also have been set by Stop, so the control block is what says "done".
      while (!HasOverlappedIoCompleted(&task->readControl)) {
        if (WaitForSingleObject(task->ReadEvent.Get(), 10) == WAIT_OBJECT_0 &&
            !HasOverlappedIoCompleted(&task->readControl))
          ResetEvent(task->ReadEvent.Get());
      }
      task->readPending = false;
    }
    task->sourceHandle.Reset();
  }
  task->destinationHandle.Reset();
  if (task->SpeedEvent) ResetEvent(task->SpeedEvent.Get());
  if (task->ReadEvent) ResetEvent(task->ReadEvent.Get());
}

bool CDownloaderKernel::PauseTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return false;
  CloseTask(task, TS_NOTHING);
  if (IsObserverActive()) observer->OnTaskPaused(index);
  return true;
}

void CDownloaderKernel::StopTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return;
  CloseTask(task, TS_WRITE_ERROR);
  if (IsObserverActive()) observer->OnTaskPaused(index);
}

bool CDownloaderKernel::DeleteTask(int index) {
  CLockGuard guard(lock);
  if (index < 0 || index >= static_cast<int>(tasks.size())) return false;
  // Keeps the record alive for any thread still waiting on it after it leaves the list.
  std::shared_ptr<CDownloadTask> task = tasks[static_cast<size_t>(index)];
  g_log.Printf("[%s] - delete task", task->name.c_str());
  CloseTask(task.get(), TS_DELETED);
  DeleteFileW(winui::WidePath(task->destination).c_str());
  if (IsObserverActive()) observer->OnTaskDeleted(index);
  SaveTaskList();
  tasks.erase(tasks.begin() + index);
  return true;
}

void CDownloaderKernel::SaveTaskList() {
  CLockGuard guard(lock);
  // Called after every chunk: the entries reuse their storage, and when they are what
  // this kernel last wrote (one task copying, say) nothing is formatted or written.
  size_t count = 0;
  for (auto& task : tasks) {
    int state = task->GetState();
    if (state == TS_COMPLETED || state == TS_DELETED) continue;
    if (count == listEntries.size()) listEntries.emplace_back();
    TaskListEntry& entry = listEntries[count++];
    entry.name = task->name;
    entry.source = task->source;
    entry.destination = task->destination;
    entry.state = state;
  }
  if (listWritten && count == lastListCount && SameEntries(listEntries, lastListEntries, count))
    return;
  std::vector<TaskListEntry> current(listEntries.begin(), listEntries.begin() + count);
  if (CTaskListFile(listPath).Write(CTaskListFile::Format(current))) {
    lastListEntries = std::move(current);
    lastListCount = count;
    listWritten = true;
  }
}

bool CDownloaderKernel::LoadTaskList() {
  std::vector<TaskListEntry> entries;
  // The reader needs COM on this thread; the window's thread normally has it already.
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool loaded = CTaskListFile(listPath).Load(entries);
  if (SUCCEEDED(hr)) CoUninitialize();
  if (!loaded) return false;

  CLockGuard guard(lock);
  for (TaskListEntry& entry : entries) {
    auto task = std::make_shared<CDownloadTask>();
    task->name = std::move(entry.name);
    task->source = std::move(entry.source);
    task->destination = std::move(entry.destination);
    task->SetState(entry.state);
    ReadSourceSize(task.get());
    tasks.push_back(std::move(task));
  }
  return true;
}
