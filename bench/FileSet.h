// A set of equal-sized source files to copy (say 16 x 4 MiB), made of pseudo-random
// bytes so that no layer can shortcut them as zeros, and the check that a copy of the
// set is complete and exact.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class FileSet {
 public:
  FileSet(std::string label, int count, uint64_t size);

  const std::string& Label() const { return label_; }
  int Count() const { return count_; }
  uint64_t FileSize() const { return size_; }
  uint64_t TotalBytes() const { return static_cast<uint64_t>(count_) * size_; }

  // Writes the sources into `folder` (which must exist). False on any failure.
  bool Create(const std::string& folder);
  // Full paths of the sources, after Create.
  const std::vector<std::string>& Sources() const { return sources_; }
  // Each source's destination in `folder` under the same file name.
  std::vector<std::string> Destinations(const std::string& folder) const;

  // Empty when every destination in `folder` has its source's bytes, otherwise a line
  // naming the first file that differs. `compareBytes` false checks sizes only.
  std::string Verify(const std::string& folder, bool compareBytes) const;

  // The file name of `path`: what follows its last backslash.
  static std::string FileName(const std::string& path);

 private:
  std::string label_;
  int count_;
  uint64_t size_;
  std::vector<std::string> sources_;
};
