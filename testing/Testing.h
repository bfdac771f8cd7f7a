// What the tests of every folder share: a temporary folder, waiting for a condition,
// whole files written and read, unique names, a folder browser's choice and child
// processes. Paths are UTF-8 in std::string and UTF-16 in std::wstring, as everywhere
// else in the program.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Win.h"

namespace tolvatest {

// Eight hex digits, new at every call, for names no other test or run meets.
std::wstring UniqueText();

// Deletes the folder with everything in it; what cannot be deleted stays.
void RemoveTree(const std::wstring& folder);

// A new empty folder in the temp folder, removed with everything in it at the end of
// the scope. `prefix` starts its name.
class TempFolder {
 public:
  explicit TempFolder(const std::wstring& prefix = L"tolva");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Without a trailing backslash; empty when the folder could not be made.
  const std::string& Path() const { return path_; }
  const std::wstring& WidePath() const { return widePath_; }
  // A path inside the folder; `name` may hold "\".
  std::string File(const std::string& name) const { return path_ + "\\" + name; }
  // Makes the folder `name` inside this one and returns its path.
  std::string Folder(const std::string& name) const;
  // Writes a file of `size` bytes and returns its path.
  std::string Write(const std::string& name, size_t size) const;

 private:
  std::wstring widePath_;
  std::string path_;
};

bool FileExists(const std::string& path);

// Writes the file anew with these bytes, sharing it with nobody while it is written;
// false on failure.
bool WriteBytes(const std::wstring& path, std::string_view bytes);
bool WriteBytes(const std::string& path, std::string_view bytes);
// False when the file cannot be read (yet). It is shared with writers and deleters;
// still, while it is open, an open that shares only writes (the program's own open of
// a destination) fails, so a test must not read a file over and over while the
// program may be opening it.
bool ReadBytes(const std::wstring& path, std::string& bytes);
// The file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);

// `size` bytes that differ by `seed` and are the same for the same seed.
std::vector<char> RandomBytes(size_t size, uint32_t seed);

// Looks at `done` every few milliseconds until it holds (true) or `limit` has passed.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(30));
// The same for a thread that owns windows: it handles its messages while it waits.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(30));

// The text of the item selected in the window's tree view (a folder browser's folder);
// empty when there is none.
std::wstring SelectedTreeItem(HWND window);

// Runs a command line to its end; its exit code, or -1 when it could not start or did
// not end within two minutes (it is then ended).
long RunProcess(const std::wstring& commandLine, const std::wstring& directory = L"");

}  // namespace tolvatest
