// The running instance's side of the hand-off: it owns the named area for its whole run
// and takes each text a later start leaves there.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/UniqueHandle.h"

class CHandOffArea {
 public:
  using QueueFilesFn =
      std::function<void(const std::vector<std::string>& files, const std::string& folder)>;

  explicit CHandOffArea(std::wstring name);

  // Creates and maps the area; false when it could not (later starts then cannot hand
  // over).
  bool Create();
  bool IsOpen() const { return view_.Valid(); }
  void Close();
  const std::wstring& Name() const { return name_; }

  // Takes the waiting text, if any, and marks the area free for the next writer. False
  // when no text waits (already taken, or none written). Safe from any thread while
  // the area is open.
  bool Take(std::string& text);

  // Reads a taken text with the parameter rule and gives its sources and folder to
  // `queueFiles` (the window's QueueFiles).
  static void Queue(const std::string& text, const QueueFilesFn& queueFiles);

  // Take, then Queue. False when there was nothing to take.
  bool Receive(const QueueFilesFn& queueFiles);

 private:
  std::wstring name_;
  base::UniqueKernelHandle mapping_, takenEvent_;
  base::UniqueMappedView view_;
};
