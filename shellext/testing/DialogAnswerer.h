// Answers the folder dialog that a call on the test's own thread is about to show: picks
// a folder and presses OK, or cancels.
#pragma once

#include <string>

#include "testing/TimerDriver.h"

namespace comtest {

class DialogAnswerer {
 public:
  // An empty `folder` cancels the dialog.
  explicit DialogAnswerer(std::wstring folder);
  DialogAnswerer(const DialogAnswerer&) = delete;
  DialogAnswerer& operator=(const DialogAnswerer&) = delete;

  bool Answered() const { return answered_; }
  // The dialog's texts seen before answering, joined with '|'.
  const std::wstring& Texts() const { return texts_; }

 private:
  bool Step();

  const std::wstring folder_;
  bool answered_ = false;
  std::wstring texts_;
  // Last: its steps use the members above from the first tick.
  tolvatest::TimerDriver driver_;
};

}  // namespace comtest
