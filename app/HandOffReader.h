// Takes every text a later start leaves in the hand-off area as soon as it is there, on
// a thread of its own, so a writer never waits for the window (busy adding a batch, or
// in a message box's loop). The window's thread then queues the texts in the order they
// came.
#pragma once

#include <atomic>
#include <deque>
#include <string>
#include <thread>

#include "app/HandOffArea.h"
#include "base/SlimLock.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"

class CHandOffReader {
 public:
  // `area` must stay open until Stop; `notifyThread` gets WM_HANDOFF for every text
  // until a window is named to get it instead.
  CHandOffReader(CHandOffArea& area, DWORD notifyThread);
  ~CHandOffReader() { Stop(); }
  CHandOffReader(const CHandOffReader&) = delete;
  CHandOffReader& operator=(const CHandOffReader&) = delete;

  // False when the thread cannot run; the window's thread then takes texts itself.
  bool Start();
  // Ends the thread. Texts taken before stay for Next.
  void Stop();
  bool Running() const { return thread_.joinable(); }

  // The oldest text taken and not yet handed out.
  bool Next(std::string& text);

  // From now on WM_HANDOFF goes to `window` (null: to the thread again). Texts taken
  // before were announced to the thread: whoever names the window takes those too.
  void NotifyWindow(HWND window) { notifyWindow_ = window; }

 private:
  void Run();

  CHandOffArea& area_;
  DWORD notifyThread_;
  std::atomic<HWND> notifyWindow_{nullptr};
  base::UniqueKernelHandle textEvent_, stopEvent_;
  base::SlimLock lock_;
  std::deque<std::string> texts_;
  std::thread thread_;
};
