// A fresh folder under the system temp folder for one benchmark run, removed with
// everything in it when the run ends (also when it fails).
#pragma once

#include <cstdint>
#include <string>

class BenchFolder {
 public:
  // `prefix` names the program that made the folder, for anyone who finds it.
  explicit BenchFolder(const std::string& prefix);
  ~BenchFolder();
  BenchFolder(const BenchFolder&) = delete;
  BenchFolder& operator=(const BenchFolder&) = delete;

  bool Valid() const { return valid_; }
  // UTF-8 path without a trailing backslash.
  const std::string& Path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "\\" + name; }

  // Creates the folder (and missing parents); true when it exists afterwards.
  static bool MakeFolder(const std::string& path);
  // Removes the folder's contents, keeping the folder itself.
  static bool Empty(const std::string& path);

 private:
  std::string path_;
  bool valid_ = false;
};
