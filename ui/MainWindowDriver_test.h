// Test support: the main window running modally on its own thread, as the program
// runs it, while the test thread reads the screen and acts as the user.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ui/DownloaderDlg.h"
// commctrl.h needs the Windows headers first.
#include <commctrl.h>
#include "testing/Testing.h"
#include "testing/WindowSearch.h"
#include "base/Utf8.h"

namespace windowtest {

using tolvatest::PumpUntil;
using tolvatest::TempFolder;

// The window, with one extra message that runs a function on the window's thread.
class TestDlg : public CDownloaderDlg {
 public:
  using CDownloaderDlg::RunTaskCommandOn;
  using CDownloaderDlg::SelectedTaskRefs;
  using CDownloaderDlg::TaskRefs;
  static constexpr UINT WM_RUN = WM_APP + 50;
  // Runs (and deletes) a function posted with RunningWindow::Post.
  static constexpr UINT WM_RUN_POSTED = WM_APP + 51;
  // While set, the tray icon is refused as by a shell with no notification area.
  std::atomic<bool> refuseTray{false};
  // While set, the kernel is not started: tasks stay in the states they are put in.
  std::atomic<bool> holdKernel{false};
  // Initialisation is over (the kernel was asked to start).
  std::atomic<bool> initialised{false};
  // Pop-up menus the window has shown.
  std::atomic<int> menusShown{0};
  // What the window asked the shell to open (written on the window's thread).
  std::vector<std::string> opened;
  // While set, the shell really is asked (on the window's own opener thread).
  std::atomic<bool> realShellOpen{false};
  // Repaints and tip refreshes the window's notices have caused (counted once done).
  std::atomic<int> viewRefreshes{0};
  // Repaints that came in the same turn as a change of the list's row count: a turn
  // doing both keeps a message sent meanwhile waiting for the two.
  std::atomic<int> paintsWithRowCountInTurn{0};
  // How many tasks each delete question named, and the answer given to it.
  std::vector<size_t> deleteQuestions;
  std::vector<size_t> deletedFilesAsked;  // files each question said would go
  bool deleteAnswer = true;
  // The tray balloons shown, as "title: text" (written on the window's thread).
  std::vector<std::string> balloons;

 protected:
  bool AddTrayIcon() override { return !refuseTray && CDownloaderDlg::AddTrayIcon(); }
  void RefreshView() override {
    if (turnDepth_ == 1 && ListView_GetItemCount(List().Hwnd()) != rowsAtTurnStart_)
      ++paintsWithRowCountInTurn;
    CDownloaderDlg::RefreshView();
    ++viewRefreshes;
  }
  void ShellOpen(const std::string& path) override {
    opened.push_back(path);
    if (realShellOpen) CDownloaderDlg::ShellOpen(path);
  }

  bool ConfirmDelete(size_t count, size_t files) override {
    deleteQuestions.push_back(count);
    deletedFilesAsked.push_back(files);
    return deleteAnswer;
  }
  void ShowTrayBalloon(const std::string& title, const std::string& text) override {
    balloons.push_back(title + ": " + text);
    CDownloaderDlg::ShowTrayBalloon(title, text);
  }
  INT_PTR HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
    struct Turn {
      TestDlg& dlg;
      explicit Turn(TestDlg& d) : dlg(d) {
        if (dlg.turnDepth_++ == 0 && dlg.List().Hwnd())
          dlg.rowsAtTurnStart_ = ListView_GetItemCount(dlg.List().Hwnd());
      }
      ~Turn() { --dlg.turnDepth_; }
    } turn(*this);
    return HandleTestMessage(msg, wParam, lParam);
  }

 private:
  int turnDepth_ = 0;  // dialog messages being handled, nested ones included
  int rowsAtTurnStart_ = 0;

  INT_PTR HandleTestMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
      case WM_RUN:
        (*reinterpret_cast<std::function<void()>*>(lParam))();
        return TRUE;
      case WM_RUN_POSTED:
        std::unique_ptr<std::function<void()>>(reinterpret_cast<std::function<void()>*>(lParam))
            ->
            operator()();
        return TRUE;
      case WM_START_KERNEL:
        initialised = true;
        if (holdKernel) return TRUE;
        break;
      case WM_ENTERMENULOOP:
        if (wParam) ++menusShown;  // a pop-up, not the system menu
        break;
    }
    return CDownloaderDlg::HandleMessage(msg, wParam, lParam);
  }
};

class RunningWindow {
 public:
  RunningWindow(const TempFolder& temp, std::vector<std::string> files = {},
                std::string folder = {}, bool refuseTray = false, bool holdKernel = false) {
    dlg.refuseTray = refuseTray;
    dlg.holdKernel = holdKernel;
    dlg.Kernel().SetListPath(temp.File("tolva.info"));
    dlg.m_startFiles = std::move(files);
    dlg.m_startFolder = std::move(folder);
    thread = std::thread([this] {
      uiThread = GetCurrentThreadId();
      result = dlg.DoModal();
      ended = true;
    });
  }
  ~RunningWindow() {
    // A test that stopped with a dialog or a menu open closes it first, or the window's
    // thread would wait on it for ever.
    if (!ended && uiThread) tolvatest::CancelDialogs(uiThread, dlg.Hwnd());
    if (!ended && dlg.Hwnd()) PostMessageW(dlg.Hwnd(), WM_CLOSE, 0, 0);
    thread.join();
  }

  bool WaitStarted() {
    return PumpUntil([this] { return ended || dlg.IsKernelStarted(); }) && !ended;
  }
  // Initialisation over, whether the kernel was started or held.
  bool WaitInitialised() {
    return PumpUntil([this] { return ended || dlg.initialised; }) && !ended;
  }
  HWND Hwnd() { return dlg.Hwnd(); }
  void OnUi(std::function<void()> f) {
    SendMessageW(dlg.Hwnd(), TestDlg::WM_RUN, 0, reinterpret_cast<LPARAM>(&f));
  }
  // Runs `f` on the window's thread when it reaches the posted message, as work that
  // arrives from outside (a hand-off) does; returns at once.
  void Post(std::function<void()> f) {
    PostMessageW(dlg.Hwnd(), TestDlg::WM_RUN_POSTED, 0,
                 reinterpret_cast<LPARAM>(new std::function<void()>(std::move(f))));
  }
  // Waits until the window's thread has handled every message posted to it before.
  bool Flush() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    Post([done] { *done = true; });
    return PumpUntil([&] { return done->load(); });
  }
  bool Close() {
    PostMessageW(dlg.Hwnd(), WM_CLOSE, 0, 0);
    return PumpUntil([this] { return ended.load(); });
  }

  int Rows() { return dlg.List().ItemCount(); }
  std::vector<std::string> RowTexts() {
    std::vector<std::string> texts;
    for (int i = 0; i < Rows(); ++i) texts.push_back(dlg.List().ItemText(i));
    return texts;
  }
  int State(int i) {
    CDownloadTask* t = dlg.Kernel().GetTask(i);
    return t ? t->state.load() : -1;
  }

  // A dialog box of the window's thread with this caption, or null.
  HWND FindDialog(const std::string& caption) {
    return tolvatest::FirstWindow({.thread = uiThread, .caption = base::Widen(caption)});
  }

  // A shown window of the window's thread with this class (tolvatest::kMenuClass for a
  // pop-up menu), or null.
  HWND FindWindowOfClass(const wchar_t* className) {
    return tolvatest::FirstWindow({.thread = uiThread, .className = className});
  }

  TestDlg dlg;
  std::thread thread;
  std::atomic<DWORD> uiThread{0};
  std::atomic<bool> ended{false};
  INT_PTR result = 0;
};

// Window tests: the common controls registered, and no settings left from another test.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva");
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva"); }

  TempFolder temp;
};

}  // namespace windowtest
