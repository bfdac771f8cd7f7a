// The task list file: unfinished tasks kept across runs in a small XML file next to
// the program. The kernel hands it plain entries; this class owns the bytes on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TaskListEntry {
  std::string name;
  std::string source;
  std::string destination;
  int state = 0;
  // Where an unfinished copy stood, with the source's size and last-write time when it
  // began: after a restart it goes on there only over the same source. Written only
  // for a copy under way (offset above 0 and a known size).
  uint64_t offset = 0;
  uint64_t sourceSize = UINT64_MAX;
  uint64_t sourceTime = 0;
  // The destination asked for (folder \\ file name) when the copy went beside a file of
  // that name under another one; empty when it is `destination` itself.
  std::string askedDestination{};
  // The task made the file at `destination`. A list written before this was recorded
  // gives true only for a copy under way (its position), which only the task wrote.
  bool madeFile = false;

  bool HasPosition() const { return offset > 0 && sourceSize != UINT64_MAX; }
};

class CTaskListFile {
 public:
  explicit CTaskListFile(std::string path);

  const std::string& Path() const { return path_; }

  // The whole file text for these entries, in list order (the caller has already left
  // out completed and deleted tasks).
  static std::string Format(const std::vector<TaskListEntry>& entries);

  // Replaces the file with `text` so that a crash at any moment leaves either the old
  // file or the new one, never an empty or partial file. False when it could not, with
  // GetLastError telling why.
  bool Write(const std::string& text) const;

  // Reads the entries back in file order into `entries` (appended). False only when no
  // XML parser could be created; a missing file gives true and no entries. A file that
  // is there but cannot be read, or is not well-formed throughout, sets `damaged`: its
  // entries are then those of the task lines that still parse one by one. COM must be
  // initialised on the calling thread.
  bool Load(std::vector<TaskListEntry>& entries, bool* damaged = nullptr) const;

 private:
  std::string path_;
};
