// The words every running process of the program sees: how many starts are counted and
// the first instance's main thread. A named mapping, zero when no process holds it.
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

  void SetFirstThreadId(DWORD id);
  // 0 until the first instance has stored its id.
  DWORD FirstThreadId() const;

 private:
  struct Words {
    LONG instanceCount;
    LONG firstThreadId;
  };
  bool Open();

  std::wstring name_;
  base::UniqueKernelHandle mapping_;
  base::UniqueMappedView view_;
  Words* words_ = nullptr;
};
