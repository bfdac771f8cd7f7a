// Answers the folder dialog that a call on the test's own thread is about to show: picks
// a folder and presses OK, or cancels.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "base/Win.h"

namespace comtest {

class DialogAnswerer {
 public:
  // An empty `folder` cancels the dialog.
  explicit DialogAnswerer(std::wstring folder);
  ~DialogAnswerer();
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;

  bool Answered() const { return answered_; }
  // The dialog's texts seen before answering, joined with '|'.
  const std::wstring& Texts() const { return texts_; }

 private:
  void Run();

  const DWORD owner_;
  const std::wstring folder_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> answered_{false};
  std::wstring texts_;
  std::thread thread_;
};

}  // namespace comtest
