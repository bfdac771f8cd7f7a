#include "ui/AddQueue.h"

#include <algorithm>
#include <utility>

void CAddQueue::Push(const std::vector<std::string>& files, const std::string& folder, bool whole) {
  if (whole || files.size() <= filesPerSlice_) {
    slices_.push_back({files, folder});
    return;
  }
  for (size_t from = 0; from < files.size(); from += filesPerSlice_) {
    const size_t to = std::min(files.size(), from + filesPerSlice_);
    slices_.push_back({std::vector<std::string>(files.begin() + static_cast<std::ptrdiff_t>(from),
                                                files.begin() + static_cast<std::ptrdiff_t>(to)),
                       folder});
  }
}

CAddQueue::Slice CAddQueue::Pop() {
  Slice slice = std::move(slices_.front());
  slices_.pop_front();
  return slice;
}
