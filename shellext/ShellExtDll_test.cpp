// Drives tolvashell.dll as the file manager does: class object, IShellExtInit with a drop
// list, IContextMenu on a real menu, and the start of the (stand-in) program.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "app/DownloaderCommandLineInfo.h"
#include "base/Utf8.h"
#include "com/ComPtr.h"
#include "shellext/Shell.h"
#include "shellext/testing/DialogAnswerer.h"
#include "shellext/testing/DropData.h"
#include "shellext/testing/TestSupport.h"
#include "base/UniqueHandle.h"

namespace {

using com::ComPtr;

const CLSID kClsid = {0x603c8761, 0xbc91, 0x4e97, {0x88, 0x62, 0x77, 0xb8, 0x20, 0x43, 0x17, 0xfa}};
const IID kIidDownloaderShellExt = {
    0xf037e6d6, 0xe34b, 0x4efd, {0x8d, 0x69, 0xef, 0x75, 0x25, 0x78, 0xa4, 0x62}};

using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(WINAPI*)();

class ShellExtDllTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    library_ = LoadLibraryW(comtest::BuildPath(L"shellext\\tolvashell.dll").c_str());
    ASSERT_NE(nullptr, library_);
    getClassObject_ = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(library_, "DllGetClassObject")));
    canUnloadNow_ = reinterpret_cast<CanUnloadNowFn>(
        reinterpret_cast<void*>(GetProcAddress(library_, "DllCanUnloadNow")));
    ASSERT_NE(nullptr, getClassObject_);
    ASSERT_NE(nullptr, canUnloadNow_);
  }

  ComPtr<IClassFactory> Factory() {
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, getClassObject_(kClsid, IID_IClassFactory, factory.PutVoid()));
    return factory;
  }

  // A handler initialised with `paths`, as the shell hands it a selection.
  ComPtr<IContextMenu> Handler(const std::vector<std::wstring>& paths) {
    ComPtr<IShellExtInit> init;
    EXPECT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IShellExtInit, init.PutVoid()));
    ComPtr<IDataObject> data = ComPtr<IDataObject>::Attach(comtest::NewDropDataObject(paths));
    EXPECT_EQ(S_OK, init->Initialize(nullptr, data.Get(), nullptr));
    ComPtr<IContextMenu> menu;
    EXPECT_EQ(S_OK, init->QueryInterface(IID_IContextMenu, menu.PutVoid()));
    return menu;
  }

  static std::wstring HelpW(IContextMenu* menu, UINT_PTR id, UINT cchMax = 128) {
    wchar_t buffer[128];
    wmemset(buffer, L'#', 128);
    EXPECT_EQ(S_OK, menu->GetCommandString(id, GCS_HELPTEXTW, nullptr,
                                           reinterpret_cast<char*>(buffer), cchMax));
    return std::wstring(buffer, wcsnlen(buffer, 128));
  }

  static HRESULT Invoke(IContextMenu* menu, const char* verb, DWORD mask = 0) {
    CMINVOKECOMMANDINFO info{};
    info.cbSize = sizeof(info);
    info.fMask = mask;
    info.lpVerb = verb;
    info.nShow = SW_SHOWNORMAL;
    return menu->InvokeCommand(&info);
  }

  static HMODULE library_;
  static GetClassObjectFn getClassObject_;
  static CanUnloadNowFn canUnloadNow_;
};

HMODULE ShellExtDllTest::library_ = nullptr;
GetClassObjectFn ShellExtDllTest::getClassObject_ = nullptr;
CanUnloadNowFn ShellExtDllTest::canUnloadNow_ = nullptr;

const char* Offset(UINT offset) { return MAKEINTRESOURCEA(offset); }

// Distinct paths of `length` characters whose "Download..." text of several paths is
// exactly `chars` long: the last one takes up the rest.
std::vector<std::wstring> PathsFilling(size_t chars, size_t length) {
  std::vector<std::wstring> paths;
  size_t used = 2;  // the quotes
  for (int i = 0; used + 2 * (length + 1) <= chars; ++i) {
    std::wstring path = L"C:\\" + std::to_wstring(100000 + i) + L"\\";
    paths.push_back(path + std::wstring(length - path.size(), L'x'));
    used += length + 1;
  }
  paths.push_back(L"C:\\last\\" + std::wstring(chars - used - 1 - 8, L'z'));
  return paths;
}

// What the program reads from the recorded starts: checks each start's end and folder and
// returns the paths of all starts, the starts put in the order of `selection` (started
// programs record themselves in any order).
std::vector<std::wstring> Received(const std::vector<std::wstring>& starts,
                                   const std::vector<std::wstring>& selection,
                                   const std::wstring& folder) {
  std::vector<std::pair<size_t, std::vector<std::wstring>>> runs;
  for (const std::wstring& start : starts) {
    // Under Wine a command line over the limit loses its end, the closing quote first.
    EXPECT_EQ(L'"', start.empty() ? 0 : start.back());
    auto info = CDownloaderCommandLineInfo::FromHandOffText(base::Narrow(start));
    EXPECT_EQ(base::Narrow(folder), info.m_folder);
    std::vector<std::wstring> files;
    for (const std::string& file : info.m_files) files.push_back(base::Widen(file));
    size_t at = files.empty()
                    ? 0
                    : std::find(selection.begin(), selection.end(), files[0]) - selection.begin();
    runs.emplace_back(at, std::move(files));
  }
  std::sort(runs.begin(), runs.end());
  std::vector<std::wstring> received;
  for (const auto& run : runs)
    received.insert(received.end(), run.second.begin(), run.second.end());
  return received;
}

TEST_F(ShellExtDllTest, ClassObjectServesOnlyItsClassAndRefusesAggregationOfOtherInterfaces) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, getClassObject_(IID_IUnknown, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, getClassObject_(kClsid, IID_IClassFactory, nullptr));

  ComPtr<IClassFactory> factory = Factory();
  ComPtr<IUnknown> outer;
  ASSERT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, outer.PutVoid()));  // any IUnknown
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), IID_IContextMenu, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(ShellExtDllTest, QueryInterfaceAnswersOnlyTheShellInterfaces) {
  ComPtr<IUnknown> object;
  ASSERT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IUnknown, object.PutVoid()));
  for (const IID* iid : {&IID_IUnknown, &IID_IShellExtInit, &IID_IContextMenu}) {
    ComPtr<IUnknown> answer;
    EXPECT_EQ(S_OK, object->QueryInterface(*iid, answer.PutVoid()));
    ComPtr<IUnknown> identity;
    ASSERT_EQ(S_OK, answer->QueryInterface(IID_IUnknown, identity.PutVoid()));
    EXPECT_EQ(object.Get(), identity.Get());
  }
  for (const IID* iid : {&IID_IDispatch, &kIidDownloaderShellExt, &IID_IContextMenu2,
                         &IID_IContextMenu3, &IID_IPersist, &IID_IMarshal, &IID_IClassFactory}) {
    void* answer = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*iid, &answer));
    EXPECT_EQ(nullptr, answer);
  }
}

TEST_F(ShellExtDllTest, CanUnloadOnlyWithoutLiveObjectsClassObjectsOrServerLocks) {
  EXPECT_EQ(S_OK, canUnloadNow_());
  ComPtr<IClassFactory> factory = Factory();
  EXPECT_EQ(S_FALSE, canUnloadNow_());
  ComPtr<IContextMenu> object;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IContextMenu, object.PutVoid()));
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  factory.Reset();
  EXPECT_EQ(S_FALSE, canUnloadNow_());
  object.Reset();
  EXPECT_EQ(S_FALSE, canUnloadNow_());  // the server lock
  ASSERT_EQ(S_OK, Factory()->LockServer(FALSE));
  EXPECT_EQ(S_OK, canUnloadNow_());
  ASSERT_EQ(S_OK, Factory()->CreateInstance(nullptr, IID_IContextMenu, object.PutVoid()));
  EXPECT_EQ(S_FALSE, canUnloadNow_());
  object.Reset();
  EXPECT_EQ(S_OK, canUnloadNow_());
}

TEST_F(ShellExtDllTest, InitializeRefusesMissingDropListsAndKeepsTheOldSelection) {
  ComPtr<IContextMenu> menu = Handler({L"C:\\a.txt"});
  ComPtr<IShellExtInit> init;
  ASSERT_EQ(S_OK, menu->QueryInterface(IID_IShellExtInit, init.PutVoid()));
  EXPECT_EQ(E_INVALIDARG, init->Initialize(nullptr, nullptr, nullptr));
  ComPtr<IDataObject> none = ComPtr<IDataObject>::Attach(comtest::NewDataObjectWithoutDropList());
  EXPECT_EQ(E_INVALIDARG, init->Initialize(nullptr, none.Get(), nullptr));
  EXPECT_EQ(L"Скачать файл (C:\\a.txt)", HelpW(menu.Get(), 0));
  // A new selection replaces the old one.
  ComPtr<IDataObject> two =
      ComPtr<IDataObject>::Attach(comtest::NewDropDataObject({L"C:\\a.txt", L"C:\\b.txt"}));
  EXPECT_EQ(S_OK, init->Initialize(nullptr, two.Get(), nullptr));
  EXPECT_EQ(L"Скачать файлы", HelpW(menu.Get(), 0));
}

TEST_F(ShellExtDllTest, MenuGetsBothEntriesWithTheirBitmapsForEveryKindOfRequest) {
  for (UINT flags : {static_cast<UINT>(CMF_NORMAL), static_cast<UINT>(CMF_DEFAULTONLY)}) {
    base::UniqueMenu menu(CreatePopupMenu());
    for (UINT i = 0; i < 7; ++i) AppendMenuW(menu.Get(), MF_STRING, 1 + i, L"shell item");
    ComPtr<IContextMenu> handler = Handler({L"C:\\a.txt"});
    HRESULT hr = handler->QueryContextMenu(menu.Get(), 5, 100, 200, flags);
    EXPECT_EQ(2, hr) << flags;
    ASSERT_EQ(11, GetMenuItemCount(menu.Get()));
    EXPECT_TRUE(GetMenuState(menu.Get(), 5, MF_BYPOSITION) & MF_SEPARATOR);
    EXPECT_EQ(100u, GetMenuItemID(menu.Get(), 6));
    EXPECT_EQ(101u, GetMenuItemID(menu.Get(), 7));
    EXPECT_TRUE(GetMenuState(menu.Get(), 8, MF_BYPOSITION) & MF_SEPARATOR);
    wchar_t text[64];
    GetMenuStringW(menu.Get(), 6, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(L"Download...", text);
    GetMenuStringW(menu.Get(), 7, text, 64, MF_BYPOSITION);
    EXPECT_STREQ(L"Download into...", text);

    HBITMAP bitmaps[2] = {};
    for (UINT i = 0; i < 2; ++i) {
      MENUITEMINFOW info{};
      info.cbSize = sizeof(info);
      info.fMask = MIIM_CHECKMARKS;
      ASSERT_TRUE(GetMenuItemInfoW(menu.Get(), 6 + i, TRUE, &info));
      bitmaps[i] = info.hbmpUnchecked;
      BITMAP bm{};
      ASSERT_EQ(static_cast<int>(sizeof(bm)), GetObjectW(bitmaps[i], sizeof(bm), &bm));
      EXPECT_EQ(13, bm.bmWidth);
      EXPECT_EQ(13, bm.bmHeight);
    }
    EXPECT_NE(bitmaps[0], bitmaps[1]);
    handler.Reset();
    BITMAP gone{};
    EXPECT_EQ(0, GetObjectW(bitmaps[0], sizeof(gone), &gone));  // deleted with the handler
  }
}

TEST_F(ShellExtDllTest, HelpTextNamesOneItemInBothWidthsAndCutsToTheBuffer) {
  ComPtr<IContextMenu> one = Handler({L"C:\\a.txt"});
  EXPECT_EQ(L"Скачать файл (C:\\a.txt)", HelpW(one.Get(), 0));
  EXPECT_EQ(L"Скачать файл (C:\\a.txt)", HelpW(one.Get(), 1));
  EXPECT_EQ(L"Скачать", HelpW(one.Get(), 0, 8));

  char expected[128] = {};
  WideCharToMultiByte(CP_ACP, 0, L"Скачать файл (C:\\a.txt)", -1, expected, 128, nullptr, nullptr);
  char ansi[128];
  std::memset(ansi, '#', sizeof(ansi));
  EXPECT_EQ(S_OK, one->GetCommandString(1, GCS_HELPTEXTA, nullptr, ansi, 128));
  EXPECT_STREQ(expected, ansi);
  std::memset(ansi, '#', sizeof(ansi));
  EXPECT_EQ(S_OK, one->GetCommandString(0, GCS_HELPTEXTA, nullptr, ansi, 4));
  EXPECT_EQ(3u, strlen(ansi));
  EXPECT_EQ(0, std::memcmp(expected, ansi, 3));

  ComPtr<IContextMenu> several = Handler({L"C:\\a.txt", L"C:\\b.txt", L"C:\\c"});
  EXPECT_EQ(L"Скачать файлы", HelpW(several.Get(), 0));
  WideCharToMultiByte(CP_ACP, 0, L"Скачать файлы", -1, expected, 128, nullptr, nullptr);
  EXPECT_EQ(S_OK, several->GetCommandString(1, GCS_HELPTEXTA, nullptr, ansi, 128));
  EXPECT_STREQ(expected, ansi);

  wchar_t untouched[16];
  wmemset(untouched, L'#', 16);
  EXPECT_EQ(S_OK, several->GetCommandString(0, GCS_VERBW, nullptr,
                                            reinterpret_cast<char*>(untouched), 16));
  EXPECT_EQ(std::wstring(16, L'#'), std::wstring(untouched, 16));
}

TEST_F(ShellExtDllTest, DownloadStartsTheProgramWithTheQuotedSelection) {
  comtest::FakeTolva tolva;
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\dir\\a.txt"}).Get(), Offset(0)));
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\a.txt", L"C:\\My Files\\b c.txt", L"D:\\folder"}).Get(),
                         Offset(0)));
  // Anything but offset 1 is the plain download: a verb string, a larger offset.
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\v.txt"}).Get(), "Download..."));
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\w.txt"}).Get(), Offset(7)));
  std::vector<std::wstring> starts = tolva.WaitForStarts(4);
  EXPECT_EQ(
      comtest::Sorted({L"\"C:\\dir\\a.txt\"", L"\"C:\\a.txt;C:\\My Files\\b c.txt;D:\\folder;\"",
                       L"\"C:\\v.txt\"", L"\"C:\\w.txt\""}),
      starts);
}

TEST_F(ShellExtDllTest, DownloadIntoAsksForAFolderAndPassesItAsSecondArgument) {
  comtest::FakeTolva tolva;
  tolvatest::TempFolder target;
  {
    comtest::DialogAnswerer answer(target.WidePath());
    EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\a.txt", L"C:\\b.txt"}).Get(), Offset(1)));
    EXPECT_TRUE(answer.Answered());
    EXPECT_NE(std::wstring::npos, answer.Texts().find(L"Select folder to download files:"))
        << answer.Texts();
  }
  {
    comtest::DialogAnswerer answer(L"C:\\");
    EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\dir\\a.txt"}).Get(), Offset(1)));
  }
  std::vector<std::wstring> starts = tolva.WaitForStarts(2);
  EXPECT_EQ(comtest::Sorted({L"\"C:\\a.txt;C:\\b.txt;\" \"" + target.WidePath() + L"\"",
                             L"\"C:\\dir\\a.txt\" \"C:\\\""}),
            starts);
}

TEST_F(ShellExtDllTest, CancellingTheFolderDialogStartsNothing) {
  comtest::FakeTolva tolva;
  {
    comtest::DialogAnswerer cancel(L"");
    EXPECT_EQ(E_FAIL, Invoke(Handler({L"C:\\a.txt"}).Get(), Offset(1)));
    EXPECT_TRUE(cancel.Answered());
  }
  // The next start is the only one recorded: the cancelled one never asked.
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\after.txt"}).Get(), Offset(0)));
  EXPECT_EQ(std::vector<std::wstring>{L"\"C:\\after.txt\""}, tolva.WaitForStarts(1));
}

// The whole command line, program path and terminating zero included, at exactly its
// limit and one past it. Under Wine a longer one is cut without an error, so a text that
// arrives whole shows that the program's path is counted right.
TEST_F(ShellExtDllTest, ASelectionTooLongForOneCommandLineGoesInSeveralStartsThatArriveWhole) {
  const size_t program = comtest::FakeTolva::Program().size() + 2;  // in quotes
  std::vector<std::wstring> paths = PathsFilling(32767 - program - 2, 200);
  {
    comtest::FakeTolva tolva;
    EXPECT_EQ(S_OK, Invoke(Handler(paths).Get(), Offset(0)));
    std::vector<std::wstring> starts = tolva.WaitForStarts(1);
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(32767 - program - 2, starts[0].size());
    EXPECT_EQ(paths, Received(starts, paths, L""));
  }
  paths.back() += L'z';
  {
    comtest::FakeTolva tolva;
    EXPECT_EQ(S_OK, Invoke(Handler(paths).Get(), Offset(0)));
    std::vector<std::wstring> starts = tolva.WaitForStarts(2);
    EXPECT_EQ(2u, starts.size());
    EXPECT_EQ(paths, Received(starts, paths, L""));
  }
  // Download into...: the folder goes with every start.
  comtest::FakeTolva tolva;
  tolvatest::TempFolder target;
  paths = PathsFilling(100000, 250);
  {
    comtest::DialogAnswerer answer(target.WidePath());
    EXPECT_EQ(S_OK, Invoke(Handler(paths).Get(), Offset(1)));
    EXPECT_TRUE(answer.Answered());
  }
  std::vector<std::wstring> starts = tolva.WaitForStarts(4);
  EXPECT_EQ(4u, starts.size());
  EXPECT_EQ(paths, Received(starts, paths, target.WidePath()));
}

TEST_F(ShellExtDllTest, APathTooLongForAnyCommandLineIsLeftOutAndReported) {
  comtest::FakeTolva tolva;
  const std::wstring tooLong = L"C:\\" + std::wstring(33000, L'x');
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
            Invoke(Handler({L"C:\\a.txt", tooLong, L"C:\\b.txt"}).Get(), Offset(0)));
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE),
            Invoke(Handler({tooLong}).Get(), Offset(0)));
  // The next start is the only other one recorded: the lone long path never went.
  EXPECT_EQ(S_OK, Invoke(Handler({L"C:\\after.txt"}).Get(), Offset(0)));
  EXPECT_EQ(comtest::Sorted({L"\"C:\\a.txt;C:\\b.txt;\"", L"\"C:\\after.txt\""}),
            tolva.WaitForStarts(2));
}

TEST_F(ShellExtDllTest, AProgramThatCannotBeStartedGivesAFailingResult) {
  comtest::MissingTolva missing;
  const HRESULT notFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(notFound, Invoke(Handler({L"C:\\a.txt"}).Get(), Offset(0), CMIC_MASK_FLAG_NO_UI));
  EXPECT_EQ(notFound,
            Invoke(Handler(PathsFilling(50000, 200)).Get(), Offset(0), CMIC_MASK_FLAG_NO_UI));
  tolvatest::TempFolder target;
  comtest::DialogAnswerer answer(target.WidePath());
  EXPECT_EQ(notFound,
            Invoke(Handler({L"C:\\a.txt", L"C:\\b.txt"}).Get(), Offset(1), CMIC_MASK_FLAG_NO_UI));
}

}  // namespace
