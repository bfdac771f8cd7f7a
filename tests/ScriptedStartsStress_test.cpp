// Rounds of what scripts and users do to a running Tolva: it starts, a script hands it a
// file through the automation object (64-bit script host, and the 32-bit one where this
// machine runs 32-bit programs), a later start hands over files and a folder in one of
// the command-line forms people type, and the window is closed at a random moment. In
// every round every file arrives whole (or waits in the task list and arrives after
// the next start), the program ends within 5 s of the close, and no tolva.exe is left.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "tests/FaultSeed.h"
#include "tests/ProgramCopy.h"
// tlhelp32.h needs windows.h before it.
#include <tlhelp32.h>

namespace {

using namespace testing_tolva;
using namespace tolvatest;

constexpr int kRounds = 30;
constexpr ULONGLONG kCloseLimitMs = 5000;
constexpr wchar_t kAppPathKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\tolva.exe";

// A Linux path of the build as Wine's drive Z: shows it.
std::wstring FromBuild(const char* path) {
  std::wstring wide = W(path);
  std::replace(wide.begin(), wide.end(), L'/', L'\\');
  return wide.empty() ? wide : L"Z:" + wide;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<DWORD> RunningPrograms() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(entry.szExeFile, L"tolva.exe") == 0) ids.push_back(entry.th32ProcessID);
  CloseHandle(snapshot);
  return ids;
}

// Where the threads of every tolva.exe stand, from Wine's debugger.
std::string Stacks(const std::wstring& folder) {
  const std::wstring out = folder + L"\\stacks.txt";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file =
      CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "(no stacks: cannot write them)";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = file;
  PROCESS_INFORMATION pi{};
  std::wstring line = L"winedbg.exe --command \"bt all\"";
  if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    if (WaitForSingleObject(pi.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(file);
  std::string text, kept;
  ReadBytes(out, text);
  // Only the program's own threads.
  bool on = false;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string row = text.substr(at, end - at);
    if (row.rfind("Backtracing for thread", 0) == 0)
      on = row.find("tolva.exe") != std::string::npos;
    if (on) kept += row + "\n";
    at = end + 1;
  }
  return kept.empty() ? "(no tolva.exe thread in winedbg's answer)" : kept;
}

// The starter registered by a script host's own regsvr32, removed again at the end.
class Registration {
 public:
  Registration(std::wstring system, std::wstring dll)
      : system_(std::move(system)), dll_(std::move(dll)) {
    ok_ = RunProcess(system_ + L"\\regsvr32.exe /s \"" + dll_ + L"\"") == 0;
  }
  ~Registration() {
    if (ok_) RunProcess(system_ + L"\\regsvr32.exe /s /u \"" + dll_ + L"\"");
  }
  bool Ok() const { return ok_; }
  // Runs the script with the script host of this registration's size.
  long Script(const std::wstring& script, const std::wstring& source,
              const std::wstring& folder) const {
    return RunProcess(system_ + L"\\cscript.exe //nologo \"" + script + L"\" \"" + source +
                      L"\" \"" + folder + L"\"");
  }

 private:
  std::wstring system_, dll_;
  bool ok_ = false;
};

struct Awaited {
  std::wstring path;
  std::string content;
  std::string how;  // which start brought it
  std::wstring source;
  std::wstring listedAs;  // the task that brings it, when not its own (its folder's)
};

std::string ListText(const ProgramCopy& program) {
  std::string list;
  ReadBytes(program.Folder() + L"\\tolva.info", list);
  return list;
}

// The closed instance's list holds its task (or its folder's, to be listed again): the
// next start goes on with it.
bool Listed(const ProgramCopy& program, const Awaited& file) {
  const std::string list = ListText(program);
  auto has = [&](const std::wstring& task) {
    return !task.empty() && list.find("destination=\"" + U8(task) + "\"") != std::string::npos;
  };
  return has(file.path) || has(file.listedAs);
}

// Read only once it has its full size: a big file is not read over and over while it
// is copied.
bool Whole(const Awaited& file) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(file.path.c_str(), GetFileExInfoStandard, &data) ||
      ((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow) != file.content.size())
    return false;
  std::string got;
  return ReadBytes(file.path, got) && got == file.content;
}

using ScriptedStartsStress = ProgramTest;

TEST_F(ScriptedStartsStress, EveryStartArrivesAndEveryCloseEnds) {
  TempFolder scripts(L"tscript");
  const std::wstring script = scripts.WidePath() + L"\\start.js";
  ASSERT_TRUE(WriteBytes(script,
                         "var a = WScript.Arguments;\r\n"
                         "new ActiveXObject(\"Veduravevaredav.Starter\")"
                         ".startDownload('\"' + a(0) + ';\" \"' + a(1) + '\"');\r\n"));
  // HKLM App Paths for tolva.exe, as setup writes it.
  RegistryValueOverride appPath(HKEY_LOCAL_MACHINE, kAppPathKey, nullptr,
                                program.Folder() + L"\\tolva.exe");
  ASSERT_TRUE(appPath.Ok());
  Registration host64(L"C:\\windows\\system32", FromBuild(TOLVA_STARTER64_DLL));
  ASSERT_TRUE(host64.Ok()) << "regsvr32 cannot register " << TOLVA_STARTER64_DLL;
  std::unique_ptr<Registration> host32;
  const std::wstring dll32 = FromBuild(TOLVA_STARTER32_DLL);
  if (dll32.empty() || !Exists(dll32))
    std::cout << "[ skipped  ] the 32-bit script host: no 32-bit tolvastarter.dll was built"
              << std::endl;
  else if (!Exists(L"C:\\windows\\syswow64\\cscript.exe"))
    std::cout << "[ skipped  ] the 32-bit script host: this machine runs no 32-bit programs"
              << std::endl;
  else if (host32 = std::make_unique<Registration>(L"C:\\windows\\syswow64", dll32); !host32->Ok())
    std::cout << "[ skipped  ] the 32-bit script host: its regsvr32 did not run" << std::endl;
  if (host32 && !host32->Ok()) host32.reset();

  faulttest::Seeded random("stress rounds");
  const std::string S = U8(f.src);
  ASSERT_EQ(S.find(' '), std::string::npos) << "the unquoted forms need a folder without blanks";
  std::vector<Awaited> carried;  // in the list when the program closed
  ULONGLONG slowestClose = 0;
  int carriedCount = 0, closesBeforeArrival = 0;

  // Closes the running instance, and any a hand-off started anew after it; false after
  // a close that did not end (then the program is ended by force).
  auto closeAll = [&](const std::string& round) {
    for (int instance = 0; instance < 5; ++instance) {
      HWND window = program.MainWindow();
      if (!window) break;
      const DWORD pid = program.FirstProcessId();
      base::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
      const ULONGLONG asked = GetTickCount64();
      PostMessageW(window, WM_CLOSE, 0, 0);
      const bool ended = process && WaitForSingleObject(process.Get(), 60000) == WAIT_OBJECT_0;
      const ULONGLONG took = GetTickCount64() - asked;
      slowestClose = std::max(slowestClose, took);
      std::cout << "[ close    ] " << round << ": instance " << instance + 1 << " ended in " << took
                << " ms" << std::endl;
      EXPECT_LE(took, kCloseLimitMs)
          << round << ": the program took " << took << " ms to end after its window was closed";
      if (!ended) {
        ADD_FAILURE() << round << ": the program did not end within 60 s of the close; "
                      << "its threads:\n"
                      << Stacks(scripts.WidePath()) << "its log:\n"
                      << program.LogTail(3000);
        program.KillFirst();
        return false;
      }
      // A start that met the closing instance starts the program anew with its files:
      // that one is closed in turn.
      WaitFor([&] { return RunningPrograms().empty() || program.AdoptRunningInstance(); },
              std::chrono::seconds(15));
      if (program.FirstProcessId() == pid) break;
    }
    return true;
  };

  for (int round = 1; round <= kRounds; ++round) {
    const std::string tag = "r" + std::to_string(round);
    SCOPED_TRACE("round " + std::to_string(round));
    const std::wstring into = f.dst + L"\\" + W(tag);
    ASSERT_TRUE(CreateDirectoryW(into.c_str(), nullptr));
    std::vector<Awaited> files = carried;
    carried.clear();
    auto source = [&](const std::string& name, size_t size, const std::string& how) {
      const std::string content =
          f.Source(name, size, static_cast<int>(random.Between(1, 1 << 30)));
      files.push_back({into + L"\\" + W(name.substr(name.find_last_of('\\') + 1)), content, how,
                       f.src + L"\\" + W(name), L""});
    };

    ASSERT_TRUE(program.StartFirst("")) << tag;
    // The automation object, as a script calls it, from the 64-bit script host.
    source("s64_" + tag + ".bin", random.Between(100000, 24000000), "64-bit cscript");
    EXPECT_EQ(host64.Script(script, f.src + L"\\s64_" + W(tag) + L".bin", into), 0);
    if (host32) {
      source("s32_" + tag + ".bin", random.Between(100000, 8000000), "32-bit cscript");
      EXPECT_EQ(host32->Script(script, f.src + L"\\s32_" + W(tag) + L".bin", into), 0);
    }
    // A later start with two files and a folder, in one of the forms people type.
    const std::string folderName = "dir_" + tag;
    CreateDirectoryW((f.src + L"\\" + W(folderName)).c_str(), nullptr);
    const std::string a = "a_" + tag + ".bin", b = "b_" + tag + ".bin";
    source(a, random.Between(1000, 40000000), "command line");
    source(b, random.Between(1000, 600000), "command line");
    const std::string sources = S + "\\" + a + ";" + S + "\\" + b + ";" + S + "\\" + folderName;
    for (const char* inside : {"x.bin", "y.bin"}) {
      const std::string name = folderName + "\\" + inside;
      const std::string content =
          f.Source(name, random.Between(1000, 300000), static_cast<int>(random.Between(1, 1000)));
      files.push_back({into + L"\\" + W(name), content, "command line, in the folder",
                       f.src + L"\\" + W(name), into + L"\\" + W(folderName)});
    }
    const std::string D = U8(into);
    const std::string forms[] = {"\"" + sources + ";\" \"" + D + "\"", sources + " \"" + D + "\"",
                                 sources + " " + D, sources + "; " + D};
    const std::string& form = forms[random.Between(0, 3)];
    base::UniqueKernelHandle later = program.Start(form);
    ASSERT_TRUE(later);

    // The close: just after that start (it may meet the window closing), a moment
    // after it was taken (mostly mid-copy), or once everything is there.
    const size_t when = random.Between(0, 2);
    if (when > 0) {
      EXPECT_EQ(WaitForSingleObject(later.Get(), 60000), WAIT_OBJECT_0) << form;
    }
    if (when == 1) Sleep(static_cast<DWORD>(random.Between(0, 400)));
    if (when == 2) {
      EXPECT_TRUE(WaitFor([&] { return std::all_of(files.begin(), files.end(), Whole); }))
          << tag << ": not every file arrived while the program ran; its log:\n"
          << program.LogTail(3000);
    }
    const bool closed = closeAll(tag + " (close " + std::to_string(when) + ")");
    for (const Awaited& file : files) {
      if (Whole(file)) continue;
      ++closesBeforeArrival;
      if (closed && Listed(program, file)) {
        carried.push_back(file);
        continue;
      }
      ADD_FAILURE() << tag << ": " << U8(file.path) << " (" << file.how
                    << ") is neither there whole nor in the task list; the list:\n"
                    << ListText(program) << "\nthe log:\n"
                    << program.LogTail(4000);
    }
    EXPECT_EQ(WaitForSingleObject(later.Get(), 60000), WAIT_OBJECT_0) << form;
    DWORD code = 99;
    GetExitCodeProcess(later.Get(), &code);
    EXPECT_EQ(code, 0u) << "the later start with " << form;
    carriedCount += static_cast<int>(carried.size());
    if (!carried.empty())
      std::cout << "[ carried  ] " << tag << ": " << carried.size() << " file(s) in the list"
                << std::endl;
    // What arrived makes room for the next rounds.
    for (const Awaited& file : files)
      if (std::none_of(carried.begin(), carried.end(),
                       [&](const Awaited& c) { return c.path == file.path; })) {
        DeleteFileW(file.path.c_str());
        DeleteFileW(file.source.c_str());
      }
    EXPECT_TRUE(WaitFor([] { return RunningPrograms().empty(); }, std::chrono::seconds(10)))
        << tag << ": a tolva.exe is left running";
    if (HasFatalFailure() || !closed) break;
  }

  // What the last close left in the list arrives with the next start.
  if (!carried.empty()) {
    ASSERT_TRUE(program.StartFirst(""));
    for (const Awaited& file : carried) EXPECT_TRUE(Arrives(file.path, file.content)) << file.how;
    closeAll("the last start");
  }
  // Nothing went to the default folder.
  WIN32_FIND_DATAW found;
  HANDLE any = FindFirstFileW((f.def + L"\\*").c_str(), &found);
  int strays = 0;
  if (any != INVALID_HANDLE_VALUE) {
    do strays += wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0;
    while (FindNextFileW(any, &found));
    FindClose(any);
  }
  EXPECT_EQ(strays, 0) << "files went to the default folder";
  std::cout << "[ rounds   ] " << kRounds << " rounds, slowest close " << slowestClose << " ms, "
            << closesBeforeArrival << " file(s) still copying at a close, " << carriedCount
            << " carried over in the list" << (host32 ? "" : "; 64-bit script host only")
            << std::endl;
}

}  // namespace
