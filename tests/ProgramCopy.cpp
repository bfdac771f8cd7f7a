#include "tests/ProgramCopy.h"

#include <tlhelp32.h>

#include <cstdio>

#include "base/Utf8.h"
#include "testing/WindowSearch.h"

namespace testing_tolva {

namespace {

constexpr wchar_t kSettingsKey[] = L"SOFTWARE\\Tolva";
constexpr wchar_t kFolderValue[] = L"DefaultDownloadFolder";

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// A program left running by an earlier test that timed out would take every later
// test's hand-offs: each test begins without one.
void EndStrayPrograms() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"tolva.exe") != 0) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
    if (!process) continue;
    std::fprintf(stderr, "ending a tolva.exe left running before this test (process %lu)\n",
                 static_cast<unsigned long>(entry.th32ProcessID));
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

}  // namespace

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  unsigned value = 2166136261u ^ static_cast<unsigned>(seed);
  for (char& c : bytes) {
    value = value * 16777619u + 7;
    c = static_cast<char>(value >> 13);
  }
  return bytes;
}

RegistryValueOverride::RegistryValueOverride(HKEY root, const wchar_t* key, const wchar_t* value,
                                             const std::wstring& data)
    : root_(root), key_(key), value_(value) {
  HKEY raw = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExW(root, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &raw, &disposition) !=
      ERROR_SUCCESS)
    return;
  base::UniqueRegKey owner(raw);
  madeKey_ = disposition == REG_CREATED_NEW_KEY;
  wchar_t old[1024];
  DWORD size = sizeof(old) - sizeof(wchar_t), type = 0;
  if (RegQueryValueExW(raw, value, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    old[size / sizeof(wchar_t)] = 0;
    hadValue_ = true;
    previous_ = old;
  }
  set_ = RegSetValueExW(raw, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

RegistryValueOverride::~RegistryValueOverride() {
  if (madeKey_ && !hadValue_) {
    RegDeleteKeyW(root_, key_.c_str());
    return;
  }
  HKEY raw = nullptr;
  if (RegOpenKeyExW(root_, key_.c_str(), 0, KEY_ALL_ACCESS, &raw) != ERROR_SUCCESS) return;
  base::UniqueRegKey owner(raw);
  if (hadValue_)
    RegSetValueExW(raw, value_, 0, REG_SZ, reinterpret_cast<const BYTE*>(previous_.c_str()),
                   static_cast<DWORD>((previous_.size() + 1) * sizeof(wchar_t)));
  else
    RegDeleteValueW(raw, value_);
}

DefaultFolderSetting::DefaultFolderSetting(const std::wstring& folder)
    : RegistryValueOverride(HKEY_CURRENT_USER, kSettingsKey, kFolderValue, folder) {}

ProgramCopy::ProgramCopy() {
  EndStrayPrograms();
  wchar_t self[MAX_PATH];
  if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return;
  const std::wstring built = Parent(Parent(self)) + L"\\tolva\\tolva.exe";
  if (Folder().empty()) return;
  const std::wstring exe = Folder() + L"\\tolva.exe";
  if (CopyFileW(built.c_str(), exe.c_str(), FALSE)) exe_ = exe;
}

ProgramCopy::~ProgramCopy() {
  if (first_ && WaitForSingleObject(first_.Get(), 0) == WAIT_TIMEOUT && !CloseFirst())
    TerminateProcess(first_.Get(), 1);
}

base::UniqueKernelHandle ProgramCopy::Start(const std::string& arguments, DWORD* processId) {
  std::wstring command = L"\"" + exe_ + L"\"";
  if (!arguments.empty()) command += L" " + base::Widen(arguments);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (exe_.empty()) return base::UniqueKernelHandle();
  // Wine now and then fails a start with ERROR_INTERNAL_ERROR, its word for a new
  // process that ended before it had finished starting. Once more after a pause; a
  // program that cannot start fails the second time too.
  bool started = false;
  for (int attempt = 0; attempt < 2 && !started; ++attempt) {
    if (attempt > 0) {
      std::printf("the start failed with ERROR_INTERNAL_ERROR; starting once more\n");
      Sleep(500);
    }
    started = CreateProcessW(exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             Folder().c_str(), &si, &pi) != FALSE;
    if (!started && GetLastError() != ERROR_INTERNAL_ERROR) break;
  }
  if (!started) return base::UniqueKernelHandle();
  CloseHandle(pi.hThread);
  if (processId) *processId = pi.dwProcessId;
  return base::UniqueKernelHandle(pi.hProcess);
}

::testing::AssertionResult ProgramCopy::StartFirst(const std::string& arguments) {
  first_ = Start(arguments, &firstId_);
  if (!first_)
    return ::testing::AssertionFailure()
           << "the program cannot be started (error " << GetLastError() << ")";
  // A start that ends at once (it found another instance) fails now, not after the wait.
  if (tolvatest::WaitFor([this] {
        return MainWindow() != nullptr || WaitForSingleObject(first_.Get(), 0) == WAIT_OBJECT_0;
      }) &&
      MainWindow())
    return ::testing::AssertionSuccess();
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(first_.Get(), &code);
  return ::testing::AssertionFailure()
         << (code == STILL_ACTIVE ? "no main window within 30 s"
                                  : "it ended with exit code " + std::to_string(code))
         << "; its log:\n"
         << LogTail(1500);
}

HWND ProgramCopy::MainWindow() const {
  if (!firstId_) return nullptr;
  return tolvatest::FirstWindow(
      {.process = firstId_, .className = nullptr, .caption = kWindowTitle, .shownOnly = false});
}

HWND ProgramCopy::DialogOfFirst() const {
  if (!firstId_) return nullptr;
  // Any shown dialog but the main window, itself a dialog.
  return tolvatest::FirstWindow({.process = firstId_, .also = [](HWND window) {
                                   return tolvatest::WindowText(window) !=
                                          base::Narrow(kWindowTitle);
                                 }});
}

bool ProgramCopy::AdoptRunningInstance() {
  HWND found =
      tolvatest::FirstWindow({.className = nullptr, .caption = kWindowTitle, .shownOnly = false});
  DWORD pid = 0;
  if (!found || !GetWindowThreadProcessId(found, &pid)) return false;
  base::UniqueKernelHandle process(
      OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE, pid));
  if (!process) return false;
  first_ = std::move(process);
  firstId_ = pid;
  return true;
}

bool ProgramCopy::KillFirst() {
  if (!first_) return false;
  TerminateProcess(first_.Get(), 9);
  bool ended = WaitForSingleObject(first_.Get(), 30000) == WAIT_OBJECT_0;
  if (ended) {
    first_.Reset();
    firstId_ = 0;
  }
  return ended;
}

bool ProgramCopy::CloseFirst() {
  HWND window = MainWindow();
  if (!first_ || !window) return false;
  PostMessageW(window, WM_CLOSE, 0, 0);
  bool ended = WaitForSingleObject(first_.Get(), 30000) == WAIT_OBJECT_0;
  if (ended) {
    first_.Reset();
    firstId_ = 0;
  }
  return ended;
}

std::string ProgramCopy::Log() const {
  std::string text;
  tolvatest::ReadBytes(exe_ + L".log", text);
  return text;
}

std::string ProgramCopy::LogTail(size_t bytes) const {
  std::string log = Log();
  return log.size() > bytes ? "..." + log.substr(log.size() - bytes) : log;
}

std::vector<std::string> ProgramCopy::AddedTasks() const {
  static constexpr char kMark[] = "add task: ";
  std::vector<std::string> names;
  const std::string log = Log();
  for (size_t at = log.find(kMark); at != std::string::npos; at = log.find(kMark, at)) {
    at += sizeof(kMark) - 1;
    size_t end = log.find_first_of("\r\n", at);
    names.push_back(log.substr(at, end == std::string::npos ? std::string::npos : end - at));
  }
  return names;
}

}  // namespace testing_tolva
