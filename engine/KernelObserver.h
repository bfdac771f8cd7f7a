// What the download kernel tells its one observer (the main window).
//
// Calls come from the user-interface thread, from the kernel's three worker threads and
// from its pool threads, always with no kernel lock held: an observer may call back into
// the kernel from any of them (a worker's call handed to the window's thread and waited
// for included). Still, a window hands a worker's notice to its own thread without
// waiting (PostMessage): a worker that waits holds up copies.
#pragma once

#include <cstdint>

class CDownloadTask;

// Code passed to OnError when tasks are added with no destination folder anywhere.
constexpr uint32_t NoDefaultFolder = 0xFFFF0001;

class IKernelObserver {
 public:
  // Start: the kernel is about to open every task; rebuild the view from the list.
  virtual void OnStart() = 0;
  // The task at `index` has both files open (a task added at run time arrives here).
  virtual void OnTaskReady(int index, CDownloadTask* task) = 0;
  // The task at `index` has a new `speed`.
  virtual void OnTaskSpeed(int index, CDownloadTask* task) = 0;
  // Paused, stopped, or a read failed (the watch thread retries paused tasks).
  virtual void OnTaskPaused(int index) = 0;
  virtual void OnTaskCompleted(int index) = 0;
  // Tasks were added at the end of the list by the kernel itself (a folder's files).
  virtual void OnTasksAdded() {}
  // A folder listing found files (or ended), or an open found another path to a task's
  // file: the observer has the kernel's AddFoundTasks called soon on the thread that adds
  // and deletes tasks, and answers true. An observer that reads no task without the
  // table's lock may answer false; the thread that found them then adds them itself.
  virtual bool OnTasksFound() { return false; }
  // The task that was at `index` has left the list; later tasks moved down by one.
  virtual void OnTaskDeleted(int index) = 0;
  // Asked before every other call; false skips that call.
  virtual bool IsActive() = 0;
  // A write of a destination failed with `code` (true = try again), or `code` is
  // NoDefaultFolder (true = add the tasks anyway, false = refuse the add).
  virtual bool OnError(uint32_t code) = 0;

 protected:
  ~IKernelObserver() = default;
};
