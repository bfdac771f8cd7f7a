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

  // Creates the area; false when it could not (later starts then cannot hand over).
  bool Create();
  bool IsOpen() const { return mapping_.Valid(); }
  void Close();

  // Takes the waiting text, if any, and marks the area free for the next writer. False
  // when no text waits (already taken, or none written).
  bool Take(std::string& text);

  // The thread message's handler: takes the waiting text, reads it with the parameter
  // rule and gives the sources and folder to `queueFiles` (the window's QueueFiles).
  // False when there was nothing to take.
  bool Receive(const QueueFilesFn& queueFiles);

 private:
  std::wstring name_;
  base::UniqueKernelHandle mapping_;
};
