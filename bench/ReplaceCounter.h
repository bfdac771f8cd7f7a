// Counts how often one file in a folder is created or replaced (written under another
// name and renamed over it), as the file system reports the folder's changes. Watching
// from outside needs nothing from the program that writes the file.
#pragma once

#include <atomic>
#include <string>

#include "base/UniqueHandle.h"

class ReplaceCounter {
 public:
  // `folder` must exist; `fileName` is the bare name of the file to count.
  ReplaceCounter(std::string folder, std::string fileName);
  ~ReplaceCounter();
  ReplaceCounter(const ReplaceCounter&) = delete;
  ReplaceCounter& operator=(const ReplaceCounter&) = delete;

  // Starts counting from zero; changes made after it returns true are all seen.
  bool Start();
  // Makes sure every change made before the call has been seen (a marker file goes
  // through the same notifications, in order), then stops watching. False when the
  // marker was not seen within `timeoutMs` or the change buffer overflowed: the count
  // is then not exact.
  bool Finish(unsigned timeoutMs = 30000);

  int Count() const { return count_; }
  const std::string& Error() const { return error_; }

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);
  void Watch();
  void Consume(const void* records, DWORD size);
  void StopThread();

  std::string folder_;
  std::wstring fileName_;
  std::wstring markerName_;
  base::UniqueFileHandle directory_;
  base::UniqueKernelHandle ioEvent_, stopEvent_, armedEvent_, markerEvent_, thread_;
  std::atomic<int> count_{0};
  std::atomic<bool> overflowed_{false};
  std::atomic<bool> failed_{false};
  std::string error_;
};
