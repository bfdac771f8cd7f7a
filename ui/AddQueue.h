// Sources waiting to be handed to the kernel a slice at a time, in the order they came:
// a hand-off of thousands of files is added and shown in pieces, with the window's
// messages answered between them.
#pragma once

#include <deque>
#include <string>
#include <vector>

class CAddQueue {
 public:
  struct Slice {
    std::vector<std::string> files;
    std::string folder;
  };

  explicit CAddQueue(size_t filesPerSlice) : filesPerSlice_(filesPerSlice ? filesPerSlice : 1) {}

  // Appends `files` as slices of at most filesPerSlice, or as one slice when `whole`.
  void Push(const std::vector<std::string>& files, const std::string& folder, bool whole);
  bool Empty() const { return slices_.empty(); }
  // The oldest slice, taken out; call only when not Empty.
  Slice Pop();

 private:
  size_t filesPerSlice_;
  std::deque<Slice> slices_;
};
