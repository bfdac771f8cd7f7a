// Registers both libraries with the system's regsvr32 and checks the registry against
// the trees the libraries own, for the machine and for the current user (regsvr32 /n
// /i:user); then a script creates the Starter by its ProgID.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <fstream>

#include "shellext/testing/TestSupport.h"
#include "base/Utf8.h"

namespace {

using comtest::BuildPath;
using comtest::DumpKey;
using comtest::KeyExists;

const std::wstring kShellClsid = L"{603C8761-BC91-4E97-8862-77B8204317FA}";
const std::wstring kShellLib = L"{AA3DB6C1-E127-49C5-AB4D-7CB3F2404248}";
const std::wstring kShellIid = L"{F037E6D6-E34B-4EFD-8D69-EF752578A462}";
const std::wstring kStarterClsid = L"{C998F1AA-C1F7-4562-97B4-12087D1EA397}";
const std::wstring kStarterLib = L"{91DB5158-C493-46D2-A530-6E256B97E824}";
const std::wstring kStarterIid = L"{35A7CED9-0C76-446E-8648-D3DB16D9A5C6}";

long RegSvr(const std::wstring& dll, bool unregister = false) {
  return tolvatest::RunProcess(std::wstring(L"regsvr32.exe /s ") + (unregister ? L"/u " : L"") +
                               L"\"" + dll + L"\"");
}

// DllInstall with `commandLine`, as a per-user setup calls it.
long RegSvrInstall(const std::wstring& dll, const std::wstring& commandLine,
                   bool unregister = false) {
  return tolvatest::RunProcess(std::wstring(L"regsvr32.exe /s ") + (unregister ? L"/u " : L"") +
                               L"/n /i:" + commandLine + L" \"" + dll + L"\"");
}

// Key paths compare without case, as the registry does; values keep theirs.
std::wstring Normal(std::wstring line) {
  size_t end = line.find(L": ");
  if (end == std::wstring::npos) end = line.size();
  std::transform(line.begin(), line.begin() + end, line.begin(), ::towlower);
  return line;
}

std::vector<std::wstring> Normal(std::vector<std::wstring> lines) {
  for (auto& l : lines) l = Normal(l);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// What registration added to HKEY_CLASSES_ROOT, without the type library's own keys
// (the system writes those; they are checked apart).
std::vector<std::wstring> AddedTree(const std::vector<std::wstring>& before,
                                    const std::vector<std::wstring>& after, const std::wstring& lib,
                                    const std::wstring& iid) {
  std::vector<std::wstring> added;
  for (const auto& line : comtest::Added(before, after)) {
    bool system = false;
    // The system may record the library for the 32-bit view as well.
    for (const wchar_t* view : {L"", L"Wow6432Node\\"}) {
      if (line.rfind(Normal(view + (L"TypeLib\\" + lib)), 0) == 0) system = true;
      if (line.rfind(Normal(view + (L"Interface\\" + iid)), 0) == 0) system = true;
    }
    if (!system) added.push_back(line);
  }
  return added;
}

std::vector<std::wstring> ClassesRoot() { return Normal(DumpKey(HKEY_CLASSES_ROOT, L"")); }

// The classes below `root`\Software\Classes, with paths like ClassesRoot's. The machine's
// own are read there: on Windows HKEY_CLASSES_ROOT shows the user's ones too.
std::vector<std::wstring> ClassesBelow(HKEY root) {
  std::vector<std::wstring> lines;
  const std::wstring top = L"classes\\";
  for (const auto& line : Normal(DumpKey(root, L"Software\\Classes"))) {
    if (line.rfind(top, 0) == 0) lines.push_back(line.substr(top.size()));
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::vector<std::wstring> MachineClasses() { return ClassesBelow(HKEY_LOCAL_MACHINE); }
std::vector<std::wstring> UserClasses() { return ClassesBelow(HKEY_CURRENT_USER); }

// The shared keys above our entries: a user's classes may lack them before the first
// registration, and they stay afterwards like HKEY_CLASSES_ROOT's.
bool IsSharedParent(const std::wstring& line) {
  for (const wchar_t* key :
       {L"clsid", L"*", L"*\\shellex", L"*\\shellex\\contextmenuhandlers", L"directory",
        L"directory\\shellex", L"directory\\shellex\\contextmenuhandlers"})
    if (line == key) return true;
  return false;
}

std::wstring Value(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size))
    return L"<missing>";
  return buffer;
}

// The classes tree of a server, as lines of DumpKey.
std::vector<std::wstring> ClassTree(const std::wstring& clsid, const std::wstring& title,
                                    const std::wstring& progId, const std::wstring& lib,
                                    const std::wstring& path) {
  const std::wstring c = L"CLSID\\" + clsid;
  const std::wstring p1 = progId + L".1";
  return {p1,
          p1 + L": @ = " + title,
          p1 + L"\\CLSID",
          p1 + L"\\CLSID: @ = " + clsid,
          progId,
          progId + L": @ = " + title,
          progId + L"\\CLSID",
          progId + L"\\CLSID: @ = " + clsid,
          progId + L"\\CurVer",
          progId + L"\\CurVer: @ = " + p1,
          c,
          c + L": @ = " + title,
          c + L"\\ProgID",
          c + L"\\ProgID: @ = " + p1,
          c + L"\\VersionIndependentProgID",
          c + L"\\VersionIndependentProgID: @ = " + progId,
          c + L"\\Programmable",
          c + L"\\InprocServer32",
          c + L"\\InprocServer32: @ = " + path,
          c + L"\\InprocServer32: ThreadingModel = Apartment",
          c + L"\\TypeLib",
          c + L"\\TypeLib: @ = " + lib};
}

std::vector<std::wstring> ShellTree(const std::wstring& path) {
  auto tree = ClassTree(kShellClsid, L"DownloaderShellExt Class", L"Ziravadi.DownloaderExt",
                        kShellLib, path);
  tree.push_back(L"*\\Shellex\\ContextMenuHandlers\\VeraviviDuruzovevo");
  tree.push_back(L"*\\Shellex\\ContextMenuHandlers\\VeraviviDuruzovevo: @ = " + kShellClsid);
  tree.push_back(L"Directory\\Shellex\\ContextMenuHandlers\\VeraviviDuruzovevo");
  tree.push_back(L"Directory\\Shellex\\ContextMenuHandlers\\VeraviviDuruzovevo: @ = " +
                 kShellClsid);
  return Normal(tree);
}

std::vector<std::wstring> StarterTree(const std::wstring& path) {
  return Normal(
      ClassTree(kStarterClsid, L"Starter Class", L"Veduravevaredav.Starter", kStarterLib, path));
}

class RegistrationTest : public testing::Test {
 protected:
  void SetUp() override {
    RegSvr(shell_, true);
    RegSvr(starter_, true);
    RegSvrInstall(shell_, L"user", true);
    RegSvrInstall(starter_, L"user", true);
    // Other handlers share these keys; they exist before us on any real system.
    HKEY raw = nullptr;
    for (const wchar_t* shared :
         {L"*\\Shellex\\ContextMenuHandlers", L"Directory\\Shellex\\ContextMenuHandlers"}) {
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, shared, 0, nullptr, 0, KEY_READ,
                                               nullptr, &raw, nullptr));
      RegCloseKey(raw);
    }
  }

  const std::wstring shell_ = BuildPath(L"shellext\\tolvashell.dll");
  const std::wstring starter_ = BuildPath(L"starter\\tolvastarter.dll");
};

TEST_F(RegistrationTest, ShellExtensionWritesItsTreeOnceAndRemovesItWhole) {
  const auto before = ClassesRoot();
  ASSERT_EQ(0, RegSvr(shell_));
  const auto after = ClassesRoot();
  EXPECT_EQ(ShellTree(shell_), AddedTree(before, after, kShellLib, kShellIid));
  EXPECT_EQ(L"tolvashell 1.0 Type Library", Value(L"TypeLib\\" + kShellLib + L"\\1.0"));
  EXPECT_EQ(shell_, Value(L"TypeLib\\" + kShellLib + L"\\1.0\\409\\win64"));
  EXPECT_EQ(shell_.substr(0, shell_.rfind(L'\\') + 1),
            Value(L"TypeLib\\" + kShellLib + L"\\1.0\\HELPDIR"));

  // A second registration rebuilds the class key: one set, stale subkeys gone.
  HKEY raw = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT,
                                           (L"CLSID\\" + kShellClsid + L"\\Stale\\Deeper").c_str(),
                                           0, nullptr, 0, KEY_READ, nullptr, &raw, nullptr));
  RegCloseKey(raw);
  ASSERT_EQ(0, RegSvr(shell_));
  EXPECT_EQ(after, ClassesRoot());

  ASSERT_EQ(0, RegSvr(shell_, true));
  EXPECT_EQ(before, ClassesRoot());
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"*\\Shellex\\ContextMenuHandlers"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kShellLib));
  // Removing what is not there is no failure for the shell extension.
  EXPECT_EQ(0, RegSvr(shell_, true));
}

TEST_F(RegistrationTest, StarterWritesItsTreeOnceAndRemovesItWhole) {
  const auto before = ClassesRoot();
  ASSERT_EQ(0, RegSvr(starter_));
  const auto after = ClassesRoot();
  EXPECT_EQ(StarterTree(starter_), AddedTree(before, after, kStarterLib, kStarterIid));
  EXPECT_EQ(L"tolvastarter 1.0 Type Library", Value(L"TypeLib\\" + kStarterLib + L"\\1.0"));
  EXPECT_EQ(starter_, Value(L"TypeLib\\" + kStarterLib + L"\\1.0\\409\\win64"));
  // The dual interface is marshalled by the automation marshaller.
  EXPECT_EQ(L"{00020424-0000-0000-C000-000000000046}",
            Value(L"Interface\\" + kStarterIid + L"\\ProxyStubClsid32"));

  ASSERT_EQ(0, RegSvr(starter_));
  EXPECT_EQ(after, ClassesRoot());
  ASSERT_EQ(0, RegSvr(starter_, true));
  EXPECT_EQ(before, ClassesRoot());
}

TEST_F(RegistrationTest, PerUserRegistrationWritesTheSameTreesForTheCurrentUserOnly) {
  const auto machineBefore = MachineClasses();
  const auto userBefore = UserClasses();
  ASSERT_EQ(0, RegSvrInstall(shell_, L"user"));
  ASSERT_EQ(0, RegSvrInstall(starter_, L"user"));

  // The user's registration may carry the type libraries' keys (Windows) or not (Wine
  // writes them for the machine): both are the system's and are left out here.
  auto withoutLibs = [](const std::vector<std::wstring>& before,
                        const std::vector<std::wstring>& after) {
    auto lines =
        AddedTree({}, AddedTree(before, after, kShellLib, kShellIid), kStarterLib, kStarterIid);
    lines.erase(std::remove_if(lines.begin(), lines.end(), IsSharedParent), lines.end());
    return lines;
  };
  auto expected = ShellTree(shell_);
  for (const auto& line : StarterTree(starter_)) expected.push_back(line);
  std::sort(expected.begin(), expected.end());
  const auto userAfter = UserClasses();
  EXPECT_EQ(expected, withoutLibs(userBefore, userAfter));
  EXPECT_EQ(std::vector<std::wstring>{}, withoutLibs(machineBefore, MachineClasses()));
  EXPECT_EQ(starter_, Value(L"TypeLib\\" + kStarterLib + L"\\1.0\\409\\win64"));

  // Again: one set of keys, as for the machine.
  ASSERT_EQ(0, RegSvrInstall(starter_, L"user"));
  EXPECT_EQ(userAfter, UserClasses());

  // The machine's registration beside the user's (as setup does inside Wine) writes the
  // machine's classes, not the user's keys of the same names.
  ASSERT_EQ(0, RegSvr(starter_));
  EXPECT_EQ(StarterTree(starter_), withoutLibs(machineBefore, MachineClasses()));
  EXPECT_EQ(userAfter, UserClasses());
  ASSERT_EQ(0, RegSvr(starter_, true));
  EXPECT_EQ(std::vector<std::wstring>{}, withoutLibs(machineBefore, MachineClasses()));
  EXPECT_EQ(userAfter, UserClasses());
  ASSERT_EQ(0, RegSvrInstall(starter_, L"user"));  // the machine's removal took the type library

  EXPECT_EQ(0, RegSvrInstall(shell_, L"user", true));
  EXPECT_EQ(0, RegSvrInstall(starter_, L"user", true));
  EXPECT_EQ(std::vector<std::wstring>{}, withoutLibs(userBefore, UserClasses()));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kStarterLib));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\" + kShellLib));
  EXPECT_EQ(machineBefore, MachineClasses());
}

TEST_F(RegistrationTest, ACommandLineThatNamesNoScopeRegistersNothing) {
  const auto machineBefore = MachineClasses();
  const auto userBefore = UserClasses();
  for (const auto& dll : {shell_, starter_}) {
    EXPECT_NE(0, RegSvrInstall(dll, L"everyone"));
    EXPECT_NE(0, RegSvrInstall(dll, L"everyone", true));
  }
  EXPECT_EQ(machineBefore, MachineClasses());
  EXPECT_EQ(userBefore, UserClasses());
}

TEST_F(RegistrationTest, ALibraryUnderAPathWithAQuoteRegistersThatPath) {
  tolvatest::TempFolder temp;
  const std::wstring folder = temp.WidePath() + L"\\it's here";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  for (const auto& [from, name] :
       {std::pair{shell_, L"tolvashell.dll"}, std::pair{starter_, L"tolvastarter.dll"}}) {
    const std::wstring copy = folder + L"\\" + name;
    ASSERT_TRUE(comtest::CopyTo(from, copy));
    ASSERT_EQ(0, RegSvr(copy));
  }
  EXPECT_EQ(folder + L"\\tolvashell.dll", Value(L"CLSID\\" + kShellClsid + L"\\InprocServer32"));
  EXPECT_EQ(folder + L"\\tolvastarter.dll",
            Value(L"CLSID\\" + kStarterClsid + L"\\InprocServer32"));
  EXPECT_EQ(folder + L"\\tolvastarter.dll",
            Value(L"TypeLib\\" + kStarterLib + L"\\1.0\\409\\win64"));
  EXPECT_EQ(0, RegSvr(folder + L"\\tolvashell.dll", true));
  EXPECT_EQ(0, RegSvr(folder + L"\\tolvastarter.dll", true));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kShellClsid));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + kStarterClsid));
}

TEST_F(RegistrationTest, AScriptStartsTheProgramThroughTheStarterByItsProgId) {
  ASSERT_EQ(0, RegSvr(starter_));
  comtest::FakeTolva tolva;
  tolvatest::TempFolder temp;
  const std::wstring script = temp.WidePath() + L"\\start.js";
  {
    std::ofstream out(base::Narrow(script), std::ios::binary);
    out << "var s = new ActiveXObject(\"Veduravevaredav.Starter\");\r\n"
           "s.startDownload('\"C:\\\\My Files\\\\a b.txt;C:\\\\c.txt;\" \"D:\\\\target\"');\r\n"
           "s.startDownload(\"\");\r\n"
           "WScript.Quit(7);\r\n";
  }
  EXPECT_EQ(7, tolvatest::RunProcess(L"cscript.exe //nologo \"" + script + L"\""));
  EXPECT_EQ(comtest::Sorted({L"\"C:\\My Files\\a b.txt;C:\\c.txt;\" \"D:\\target\"", L""}),
            tolva.WaitForStarts(2));
  EXPECT_EQ(0, RegSvr(starter_, true));
}

}  // namespace
