#include "engine/DownloaderKernel.h"

#include <objbase.h>

#include "base/ComScope.h"
#include "base/ErrorText.h"
#include "base/Utf8.h"
#include "engine/DestinationPath.h"
#include "engine/EventLog.h"
#include "engine/TaskListFile.h"

// The events carry no names: nothing opens them by name, and two kernels (two users'
// sessions, two test processes) must never share them.
CDownloaderKernel::CDownloaderKernel()
    : WorkEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      WatchWakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      SpeedWakeEvent(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      table(notices),
      saver(table, WorkEvent.Get()),
      meter(table, SpeedWakeEvent.Get(), StopEvent.Get(), stopped),
      folders(table, notices, pool, saver, copier),
      copier(table, notices, pool, saver, meter, folders, WorkEvent.Get(), StopEvent.Get(),
             stopped),
      watcher(table, copier, WatchWakeEvent.Get(), stopped) {}

CDownloaderKernel::~CDownloaderKernel() {
  if (!stopped) Stop();
  // Pool threads still inside a hung call find the links cut when they come back.
  copier.CutLink();
  folders.CutLink();
  // What they changed after Stop's write, with no downloader thread left to write it.
  if (saver.Dirty()) saver.Save(true);
  table.Write()->Clear();
}

void CDownloaderKernel::SetObserver(IKernelObserver* newObserver) {
  notices.SetObserver(newObserver);
}

bool CDownloaderKernel::SetDefaultFolder(const std::string& path) {
  defaultFolder = path;
  if (!defaultFolder.empty() && defaultFolder.back() == '\\') defaultFolder.pop_back();
  return true;
}

void CDownloaderKernel::SetWatchInterval(int seconds) {
  watcher.SetInterval(static_cast<uint32_t>(seconds < 1 ? 1 : seconds) * 1000u);
}

void CDownloaderKernel::SetSpeedUnit(int unit) { meter.SetUnit(unit); }

CDownloadTask* CDownloaderKernel::GetTask(int index) const { return table.At(index); }

std::shared_ptr<CDownloadTask> CDownloaderKernel::TaskRef(int index) const {
  return table.Ref(index);
}

bool CDownloaderKernel::AnyTaskCopying() const { return table.Read()->AnyCopying(); }

bool CDownloaderKernel::AddTasks(const std::vector<std::string>& sources,
                                 const std::string& folder) {
  if (sources.empty()) return true;
  if (folder.empty() && defaultFolder.empty() &&
      !notices.Error(NoDefaultFolder, /*inactiveAnswer=*/true))
    return false;

  bool added = false;
  {
    auto rows = table.Write();
    // Their lines in one write, made before the table is free again, so that they come
    // before whatever the opens then write.
    CEventLog::Batch lines(g_log);
    std::vector<TaskPtr> batch;
    // Each in the list at once: the same source twice in one call is one task. Every
    // task is in the list (and can be paused or deleted) before any open returns.
    for (const std::string& source : sources) {
      auto task = std::make_shared<CDownloadTask>();
      if (!PrepareTask(rows, source, folder, task.get())) continue;
      rows->Add(task);
      batch.push_back(std::move(task));
    }
    for (auto& task : batch) copier.RequestOpen(rows, task);
    added = !batch.empty();
  }
  // Written once for the batch: a close or a kill before the first chunk loses nothing.
  saver.Save();
  return added;
}

bool CDownloaderKernel::PrepareTask(CTaskTable::Writer& rows, const std::string& sourcePath,
                                    const std::string& folder, CDownloadTask* task) {
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
  task->destination =
      destination_path::NormalFolder(folder.empty() ? defaultFolder : folder) + "\\" + fileName;

  // The same source into the same folder again: its task goes on (or copies it anew).
  // Another file of the same name becomes a task of its own, and its copy goes beside.
  if (CDownloadTask* found = rows->Find(task->destination, source)) {
    copier.TakeNewSource(rows, found, source);
    return false;
  }
  // Another path may reach the very file an unfinished task copies there (a mapped drive
  // and its share): its open compares the two and hands the task over if they are one.
  if (CDownloadTask* other = rows->Find(task->destination);
      other && other->GetState() != TS_COMPLETED && other->copySourceTime != 0)
    task->sameFileAs = rows->Tasks()[static_cast<size_t>(rows->IndexOf(other))];

  task->name = CDownloadTask::NameFromSource(source);
  g_log.Printf("add task: %s", task->name.c_str());
  return true;
}

bool CDownloaderKernel::Start() {
  if (!stopped) return true;  // already running
  g_log.Write("start downloader thread");
  notices.Start();
  {
    auto rows = table.Write();
    CEventLog::Batch lines(g_log);
    for (auto& task : rows->Tasks()) {
      // A task added just before is open or opening already.
      if (task->read || (task->openPending && task->openGeneration == task->generation)) continue;
      copier.RequestOpen(rows, task);
    }
  }
  stopped = 0;
  ResetEvent(StopEvent.Get());
  copier.Cap().Hold();
  watcher.Start();
  meter.Start();
  copier.Start();
  return true;
}

bool CDownloaderKernel::Stop() {
  // A second Stop (the window stops at destroy, its owner again at the end) has
  // nothing to join and must not log a second shutdown.
  if (stopped && !watcher.Running() && !meter.Running() && !copier.Running()) return true;
  g_log.Write("stop downloading");
  // Written first: whatever hangs after this, every unfinished task is in the file.
  saver.Save(true);
  stopped = 1;
  SetEvent(StopEvent.Get());
  copier.Cap().Release();  // reads waiting under the cap go: the tasks close

  // None of the three threads waits on a file-system call, so these joins are short
  // even when a share hangs: pool threads stuck in a call are not waited for.
  SetEvent(WatchWakeEvent.Get());
  watcher.Join();
  g_log.Write("stopped watcher");

  SetEvent(SpeedWakeEvent.Get());
  meter.Join();
  g_log.Write("stopped perfomancer");

  SetEvent(WorkEvent.Get());
  copier.Join();
  g_log.Write("download stopped");
  return true;
}

void CDownloaderKernel::OpenTask(int index) {
  auto rows = table.Write();
  if (index < 0 || index >= static_cast<int>(rows->Tasks().size())) return;
  copier.RequestOpen(rows, rows->Tasks()[static_cast<size_t>(index)]);
}

void CDownloaderKernel::ResumeTask(int index) {
  {
    auto rows = table.Write();
    if (index < 0 || index >= static_cast<int>(rows->Tasks().size())) return;
    copier.Queue().ToFront(rows, *rows->Tasks()[static_cast<size_t>(index)]);
  }
  OpenTask(index);
}

std::vector<int> CDownloaderKernel::MoveTasks(const std::vector<int>& indexes, TaskMove move) {
  std::vector<int> placed = table.Write()->Move(indexes, move);
  // In the new order at once: waiting tasks take their turns by it after a restart too.
  if (!placed.empty()) saver.Save();
  return placed;
}

bool CDownloaderKernel::PauseTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return false;
  {
    auto rows = table.Write();
    copier.CloseTask(rows, task, TS_NOTHING);
  }
  task->SetWaitReason("Paused");
  notices.TaskPaused(index);
  return true;
}

void CDownloaderKernel::StopTask(int index) {
  CDownloadTask* task = GetTask(index);
  if (!task) return;
  {
    auto rows = table.Write();
    copier.CloseTask(rows, task, TS_WRITE_ERROR);
  }
  task->SetWaitReason("Stopped");
  notices.TaskPaused(index);
}

bool CDownloaderKernel::DeleteTask(int index, bool deleteFile) {
  TaskPtr task;
  {
    auto rows = table.Write();
    if (index < 0 || index >= static_cast<int>(rows->Tasks().size())) return false;
    // Keeps the record alive for any thread still busy with it after it leaves the list.
    task = rows->Tasks()[static_cast<size_t>(index)];
    g_log.Printf("[%s] - delete task", task->name.c_str());
    copier.RemoveTask(rows, index);
  }
  saver.Save();
  if (!deleteFile) return true;
  // Only a file the task made goes: one that was there before it is the user's.
  if (task->madeFile) {
    g_log.Printf("[%s] - the file %s is deleted", task->name.c_str(), task->destination.c_str());
    copier.DeleteFileLater(task->destination);
  } else {
    g_log.Printf("[%s] - the file %s is left: this task did not make it", task->name.c_str(),
                 task->destination.c_str());
  }
  return true;
}

void CDownloaderKernel::AddFoundTasks() {
  copier.TakeOvers();
  folders.AddFoundTasks();
}

void CDownloaderKernel::SaveTaskList(bool positionsNow) { saver.Save(positionsNow); }

void CDownloaderKernel::KeepUnreadList(bool parsed, size_t tasksRead) {
  const std::string& list = saver.Path();
  const std::string kept = list + ".kept";
  std::string outcome = "the file is kept as " + kept + ".";
  if (!CopyFileW(base::WidePath(list).c_str(), base::WidePath(kept).c_str(), FALSE)) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;  // no list yet
    outcome = "it could not be kept: " + base::ErrorText(error);
  }
  const std::string why =
      parsed ? "could not be read whole: " + std::to_string(tasksRead) + " tasks were read from it"
             : "could not be read: no XML reader could be created";
  g_log.Printf("The task list %s %s; %s", list.c_str(), why.c_str(), outcome.c_str());
}

bool CDownloaderKernel::LoadTaskList() {
  std::vector<TaskListEntry> entries;
  bool damaged = false;
  bool loaded = false;
  // The reader needs COM on this thread; the window's thread normally has it already.
  {
    base::ComScope com;
    loaded = CTaskListFile(saver.Path()).Load(entries, &damaged);
  }
  // The next write replaces the file: what could not be read of it is kept beside it.
  if (!loaded || damaged) KeepUnreadList(loaded, entries.size());
  if (!loaded) return false;

  std::vector<TaskPtr> batch;
  batch.reserve(entries.size());
  {
    auto rows = table.Write();
    rows->Reserve(entries.size());
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
      rows->Add(task);
      batch.push_back(std::move(task));
    }
  }
  // After the table is let go: the size reads look at every task they measure.
  copier.ReadSizesLater(batch);
  return true;
}
