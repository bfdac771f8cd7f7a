// Helpers for the tests of the COM servers: build paths, the stand-in program and
// registry dumps.
#pragma once

#include <string>
#include <vector>

#include "base/Win.h"
#include "testing/Testing.h"

namespace comtest {

// A file below the build folder, as a path Windows programs under Wine can open.
std::wstring BuildPath(const std::wstring& relative);

// Makes the bare name "tolva.exe" start the stand-in program for as long as it lives,
// and reads what each start was given.
class FakeTolva {
 public:
  FakeTolva();
  ~FakeTolva();
  FakeTolva(const FakeTolva&) = delete;
  FakeTolva& operator=(const FakeTolva&) = delete;

  // The parameter text of every start so far, sorted: started processes run side by
  // side, so the order in which they record themselves means nothing.
  std::vector<std::wstring> Starts() const;
  // Waits until at least `count` starts are recorded (or a generous deadline passes).
  std::vector<std::wstring> WaitForStarts(size_t count) const;
  const std::wstring& RecordFile() const { return record_; }
  // The stand-in's path, as the shell finds it for the bare name.
  static std::wstring Program();

 private:
  tolvatest::TempFolder folder_;
  std::wstring record_;
};

// Makes the bare name "tolva.exe" name a program that does not exist, for as long as it
// lives, so that the shell cannot start it.
class MissingTolva {
 public:
  MissingTolva();
  ~MissingTolva();
  MissingTolva(const MissingTolva&) = delete;
  MissingTolva& operator=(const MissingTolva&) = delete;

 private:
  tolvatest::TempFolder folder_;
};

// The registry subtree at `path` as sorted lines: "key" for each key and
// "key: name = data" for each string value (name "@" for the default value); paths are
// relative to `path`'s parent (to `root` when `path` is empty). Empty when the key does
// not exist.
std::vector<std::wstring> DumpKey(HKEY root, const std::wstring& path);
bool KeyExists(HKEY root, const std::wstring& path);
// The lines of `after` that are not in `before` (both sorted).
std::vector<std::wstring> Added(const std::vector<std::wstring>& before,
                                const std::vector<std::wstring>& after);

// The lines sorted, to compare with Starts().
std::vector<std::wstring> Sorted(std::vector<std::wstring> lines);

// Copies a file; false on failure.
bool CopyTo(const std::wstring& from, const std::wstring& to);

}  // namespace comtest
