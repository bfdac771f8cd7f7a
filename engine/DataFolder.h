// Where the program keeps its task list and its log. Beside the program, named after
// it, when the user who runs it may write there (a per-user install, a copy on a
// stick); otherwise (an install for all users, in a folder only administrators may
// change) in the user's own %LOCALAPPDATA%\Tolva, under the same names.
#pragma once

#include <functional>
#include <string>

class CDataFolder {
 public:
  // Decided once for this process's program file: by creating and deleting a file
  // beside it, since only the attempt tells what the folder's permissions and the
  // volume (read-only media, a share) allow.
  static CDataFolder ForThisProgram();
  // Beside this process's program file, without asking whether it can be written.
  static CDataFolder BesideThisProgram();
  // The same for a program file at `programPath`, with what `perUserFolder` gives as the
  // other place, asked for only when needed (the shell is loaded for it, and a later
  // start that only hands its arguments over should not wait for that). The per-user
  // folder is created when it is needed and missing.
  static CDataFolder Decide(const std::string& programPath,
                            const std::function<std::string()>& perUserFolder);
  static CDataFolder Beside(const std::string& programPath);

  const std::string& Folder() const { return folder_; }
  bool BesideProgram() const { return besideProgram_; }
  // "<program name without its extension>.info" and "<program file name>.log".
  std::string ListPath() const;
  std::string LogPath() const;

  // Whether a file can be created in `folder` (and is deleted again at once).
  static bool CanCreateFilesIn(const std::string& folder);
  // %LOCALAPPDATA%\Tolva; empty when the user has no local application data folder.
  static std::string PerUserFolder();

 private:
  std::string folder_;
  std::string programFile_;  // the program's file name, e.g. "tolva.exe"
  bool besideProgram_ = true;
};
