#include "engine/DataFolder.h"

#include <shlobj.h>

#include <vector>

#include "base/Utf8.h"
#include "base/Win.h"

namespace {

std::string ThisProgramPath() {
  std::vector<wchar_t> buf(32768);
  DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  if (n == 0 || n >= buf.size()) return {};
  return base::Narrow(std::wstring_view(buf.data(), n));
}

// Creates `folder` and any parent it lacks; true when it exists afterwards.
bool MakeFolders(const std::string& folder) {
  if (folder.empty()) return false;
  const std::wstring wide = base::WidePath(folder);
  DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t slash = folder.find_last_of('\\');
  if (slash != std::string::npos && slash > 2) MakeFolders(folder.substr(0, slash));
  return CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

bool CDataFolder::CanCreateFilesIn(const std::string& folder) {
  // A name of this process alone: two starts probing at once must not see each
  // other's file and take the folder for unwritable.
  const std::string probe = folder + "\\tolva-write-check-" +
                            std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(GetCurrentThreadId()) + ".tmp";
  HANDLE file = CreateFileW(base::WidePath(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  // Delete-on-close may be refused where deleting is (a folder that allows adding
  // files only): then the list's rename would fail as well.
  const std::wstring wide = base::WidePath(probe);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  return DeleteFileW(wide.c_str()) != 0;
}

std::string CDataFolder::PerUserFolder() {
  wchar_t* path = nullptr;
  std::string folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_DEFAULT, nullptr, &path)) &&
      path)
    folder = base::Narrow(path) + "\\Tolva";
  CoTaskMemFree(path);
  return folder;
}

CDataFolder CDataFolder::Beside(const std::string& programPath) {
  CDataFolder data;
  const size_t slash = programPath.find_last_of('\\');
  data.programFile_ = slash == std::string::npos ? programPath : programPath.substr(slash + 1);
  data.folder_ = slash == std::string::npos ? std::string(".") : programPath.substr(0, slash);
  return data;
}

CDataFolder CDataFolder::Decide(const std::string& programPath,
                                const std::function<std::string()>& perUserFolder) {
  CDataFolder data = Beside(programPath);
  if (CanCreateFilesIn(data.folder_)) return data;
  const std::string perUser = perUserFolder();
  if (perUser.empty()) return data;
  // The per-user folder is taken even when it cannot be made now: the files then fail
  // there, and the log says so, rather than beside the program where they never can.
  MakeFolders(perUser);
  data.folder_ = perUser;
  data.besideProgram_ = false;
  return data;
}

static std::string ProgramPathOrName() {
  std::string program = ThisProgramPath();
  return program.empty() ? std::string("tolva.exe") : program;
}

CDataFolder CDataFolder::ForThisProgram() { return Decide(ProgramPathOrName(), PerUserFolder); }

CDataFolder CDataFolder::BesideThisProgram() { return Beside(ProgramPathOrName()); }

std::string CDataFolder::ListPath() const {
  std::string name = programFile_;
  // Only a dot in the file name itself starts an extension.
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return folder_ + "\\" + name + ".info";
}

std::string CDataFolder::LogPath() const { return folder_ + "\\" + programFile_ + ".log"; }
