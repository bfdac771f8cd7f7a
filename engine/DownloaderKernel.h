// The download engine: the ordered task list, its lock, the watch, performance and
// downloader threads, the engine settings, and the operations the window calls.
//
// Tasks are named by their index in the list; deleting a task moves every later task
// down by one. All operations are called from the user-interface thread and report
// success as a boolean; file-system failures become task states, observer calls and
// log lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/CriticalSection.h"
#include "engine/DownloadTask.h"
#include "engine/KernelObserver.h"
#include "engine/TaskListFile.h"
#include "winui/UniqueHandle.h"
#include "winui/Win.h"

// Completed reads per speed window.
constexpr uint32_t SPEED_WINDOW = 10;

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

  // The task list file, by default next to the program as "<program name>.info".
  void SetListPath(const std::string& path) { listPath = path; }
  const std::string& GetListPath() const { return listPath; }

  // Reads the task list file once, before Start. False only when no XML parser exists.
  bool LoadTaskList();
  // One task per source, into `folder` (empty = the default folder). False when the
  // observer refused an add without any folder, or no source made a new task (a
  // source whose destination an existing task already has reopens that task).
  bool AddTasks(const std::vector<std::string>& sources, const std::string& folder);
  // Opens every task and starts the threads.
  bool Start();
  // Joins the threads (watch, performance, downloader); every unfinished task ends in
  // TS_NOTHING with its files closed.
  bool Stop();

  // Run-time operations on the task at `index`; out-of-range indexes do nothing.
  void OpenTask(int index);    // (re)open both files and make the task ready: Resume
  bool PauseTask(int index);   // close into TS_NOTHING; the watch thread reopens it
  void StopTask(int index);    // close into TS_WRITE_ERROR until resumed
  bool DeleteTask(int index);  // close, delete the destination file, remove the task
  void CloseTask(CDownloadTask* task, int newState);
  void SaveTaskList();

  std::string GetVersion() const { return "1.4.0"; }

  // For the window: the task count and the task at an index (null when out of range),
  // each read under the kernel lock. The record stays valid until DeleteTask removes
  // it, which only the window's own thread does.
  int GetTaskCount();
  CDownloadTask* GetTask(int index);

 private:
  bool PrepareTask(const std::string& sourcePath, const std::string& folder, CDownloadTask* task);
  void ReadSourceSize(CDownloadTask* task);
  bool IsObserverActive();
  int IndexOf(const CDownloadTask* task) const;  // -1 when not in the list
  // Opens both files of a task still in the list (for the watch thread: only one that
  // is still closed) without holding the kernel lock during the opens.
  void OpenTaskRecord(const std::shared_ptr<CDownloadTask>& task, bool onlyIfClosed);

  // The three threads.
  static DWORD WINAPI WatchThreadProc(LPVOID kernel);
  static DWORD WINAPI PerformanceThreadProc(LPVOID kernel);
  static DWORD WINAPI DownloaderThreadProc(LPVOID kernel);
  void WatchLoop();
  void PerformanceLoop();
  void DownloaderLoop();

  // Copy-loop steps.
  bool IssueReads();  // true when some task has a read in flight
  void IssueRead(int index, CDownloadTask* task);
  void FinishRead(int index, CDownloadTask* task, bool ok, DWORD transferred);
  bool WriteChunk(CDownloadTask* task, DWORD count);
  void CompleteTask(int index, CDownloadTask* task, uint64_t endOfFile);
  void PauseAfterFailedRead(int index, CDownloadTask* task);
  void TakeSpeedSample(int index, CDownloadTask* task);

  std::atomic<int> stopped{1};
  std::string defaultFolder;
  winui::UniqueKernelHandle WorkEvent;       // wakes the downloader thread
  winui::UniqueKernelHandle WatchWakeEvent;  // ends the watch thread's wait early
  winui::UniqueKernelHandle SpeedWakeEvent;  // a read completed, a task opened, or Stop
  CCriticalSection lock;
  winui::UniqueKernelHandle watchThread, performanceThread, downloaderThread;
  DWORD watchThreadId = 0, performanceThreadId = 0, downloaderThreadId = 0;
  std::string listPath;
  std::vector<TaskListEntry> listEntries;      // reused by every SaveTaskList
  std::vector<TaskListEntry> lastListEntries;  // what this kernel last wrote to listPath
  size_t lastListCount = 0;
  bool listWritten = false;
  IKernelObserver* observer = nullptr;
  // Shared so that a thread waiting on a task keeps the record (and its events) alive
  // even when the window deletes the task meanwhile.
  std::vector<std::shared_ptr<CDownloadTask>> tasks;
  int speedUnit = 2;
  float speedFactor = 1024.0f;
  std::atomic<uint32_t> watchInterval{5000};
};
