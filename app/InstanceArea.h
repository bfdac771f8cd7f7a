// The words every running process of the program sees: how many starts are counted, the
// first instance's main thread and process, and whether it is closing. A named mapping,
// zero when no process holds it.
#pragma once

#include <string>

#include "base/UniqueHandle.h"
#include "base/Win.h"

class CInstanceArea {
 public:
  explicit CInstanceArea(std::wstring name);

  // Counts this start and returns the count including it: 1 for the first instance.
  // When the area cannot be had at all, this process runs as the first instance (1).
  LONG Enter();

  // Uncounts the first instance when its window has closed. Later starts never do.
  void Leave();

  // The first instance's main thread (told of texts) and process (waited for when it
  // closes).
  void SetFirst(DWORD threadId, DWORD processId);
  void SetFirstThreadId(DWORD id) { SetFirst(id, GetCurrentProcessId()); }
  // 0 until the first instance has stored its ids.
  DWORD FirstThreadId() const;
  DWORD FirstProcessId() const;

  // The first instance takes no texts from now on: its window has closed.
  void MarkClosing();
  // True when the first instance is closing, or its process has ended (it was killed
  // and some other process still holds this area).
  bool FirstIsGone() const;

  // Makes this process the first instance in place of one whose process has ended
  // (killed, or crashed, while some other process kept the area and its count). False
  // when the first still runs, has not stored its ids yet, or another start took over.
  bool TakeOverIfFirstEnded(DWORD threadId, DWORD processId);

  // Lets go of the area, so that once every process has, the next start counts from 0.
  void Release();

 private:
  struct Words {
    LONG instanceCount;
    LONG firstThreadId;
    LONG firstProcessId;
    LONG closing;
  };
  bool Open();

  std::wstring name_;
  base::UniqueKernelHandle mapping_;
  base::UniqueMappedView view_;
  Words* words_ = nullptr;
};
