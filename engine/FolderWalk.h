// Lists a folder tree for download as real file servers serve it: a link on the server
// that leads back up is seen by the client as a plain folder, some subfolders are
// refused while the rest can be read, and a share can go away half way.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Win.h"

// One entry of a folder, as a listing gives it.
struct FolderEntry {
  std::string name;
  bool folder = false;
  bool link = false;  // a link the client itself sees (a reparse point)
  uint64_t size = 0;
  FILETIME lastWrite{};
};

// Where the walk reads folders from: the file system, or a test's own tree.
class IFolderSource {
 public:
  virtual ~IFolderSource() = default;
  // Every entry of `path` but "." and ".."; 0, or the error that stopped the listing.
  virtual DWORD List(const std::string& path, std::vector<FolderEntry>& entries) = 0;
  // The folder's volume serial and file ID; false where they cannot be read.
  virtual bool Identity(const std::string& path, uint64_t& volume, uint64_t& id) = 0;
  // Whether the folder can be reached at all (a share that went away cannot).
  virtual bool Reachable(const std::string& path) = 0;
};

// The file system through Win32.
class CFileSystemFolders : public IFolderSource {
 public:
  DWORD List(const std::string& path, std::vector<FolderEntry>& entries) override;
  bool Identity(const std::string& path, uint64_t& volume, uint64_t& id) override;
  bool Reachable(const std::string& path) override;
};

class CFolderWalk {
 public:
  struct FoundFile {
    std::string source;
    std::string destination;
  };
  // Takes a batch of found files; false stops the walk.
  using Deliver = std::function<bool(std::vector<FoundFile>&)>;
  enum class Skip {
    Refused,      // the server would not list it; `detail` is Windows' text
    SameAsAbove,  // a link back up: `detail` names the folder above it that it repeats
    TooDeep,      // below kMaxDepth levels
    LeftOut,      // asked for with LeaveOut
  };
  // Said for each subfolder not walked, with its path below the walked folder's parent
  // (as "tree\sub\loop").
  using Skipped =
      std::function<void(Skip why, const std::string& relative, const std::string& detail)>;

  // Deeper than this the walk goes no further: the last guard against an endless tree.
  static constexpr int kMaxDepth = 100;
  // Files handed over at a time: the first rows come at once, a big tree costs few locks.
  static constexpr size_t kFilesPerBatch = 256;

  CFolderWalk(IFolderSource& folders, std::string source, std::string destination);

  // A folder that is not walked (the destination inside the source, say).
  void LeaveOut(std::string folder) { leftOut_.push_back(std::move(folder)); }

  // Walks the tree, making each folder under the destination (empty ones too) and
  // handing its files over in batches, every file found before an error included.
  // Returns 0, ERROR_CANCELLED when `deliver` stopped it, or the error that cut the
  // listing short (the walked folder itself unreadable, or a share gone).
  DWORD Run(const Deliver& deliver, const Skipped& skipped);

  size_t Files() const { return files_; }
  // Subfolders the server refused.
  size_t Unlisted() const { return unlisted_; }

 private:
  // A folder on the walk's path from the walked folder down, as later ones meet it.
  struct Visit {
    uint64_t print = 0;  // of its listing
    uint64_t volume = 0;
    uint64_t id = 0;
    bool hasId = false;
    int parent = -1;  // in visits_, -1 at the top
    std::string relative;
  };
  // The folder above `visit` on its path that it repeats, or -1.
  int SameAsAbove(const Visit& visit) const;
  bool IsLeftOut(const std::string& path) const;

  IFolderSource& folders_;
  std::string source_;
  std::string destination_;
  std::vector<std::string> leftOut_;
  std::vector<Visit> visits_;
  size_t files_ = 0;
  size_t unlisted_ = 0;
};
