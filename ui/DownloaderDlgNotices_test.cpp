// The main window under the notices of thousands of tasks, sent from another thread as
// the kernel's workers send them: it keeps answering, redraws a few times a second
// instead of once a notice, shows where the tasks stand soon after the last notice,
// and the end of the last copy at once.
#include "ui/MainWindowDriver_test.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;
using tolvatest::PumpUntil;
using tolvatest::TempFolder;
using windowtest::RunningWindow;
using windowtest::WindowTest;

constexpr int kTasks = 5000;
constexpr uint64_t kSize = 1000000;

// Asks the window for a no-op, again and again, from a thread of its own.
class Prober {
 public:
  explicit Prober(HWND hwnd) {
    thread_ = std::thread([this, hwnd] {
      while (!stop_) {
        DWORD start = GetTickCount();
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_NORMAL, 200, &result)) ++missed;
        worst = std::max<DWORD>(worst, GetTickCount() - start);
        ++asked;
        Sleep(5);
      }
    });
  }
  ~Prober() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::atomic<int> missed{0}, asked{0};
  std::atomic<DWORD> worst{0};

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct PaintCount {
  std::atomic<int> paints{0}, erases{0}, textReads{0};
};

LRESULT CALLBACK CountPaints(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR id,
                             DWORD_PTR data) {
  auto* count = reinterpret_cast<PaintCount*>(data);
  if (msg == WM_PAINT) ++count->paints;
  if (msg == WM_ERASEBKGND) ++count->erases;
  if (msg == LVM_GETITEMTEXTW) ++count->textReads;
  if (msg == WM_NCDESTROY) RemoveWindowSubclass(wnd, &CountPaints, id);
  return DefSubclassProc(wnd, msg, wp, lp);
}

void Set(CDownloadTask* task, int state, uint64_t offset, float speed) {
  task->fileSize = kSize;
  task->offset = offset;
  task->speed = speed;
  task->SetState(state);
  task->GetState();  // what the list draws
}

// Pixels of `colour` across the middle of a row's progress cell, as on the screen.
int ShownPixels(RunningWindow& w, int row, COLORREF colour) {
  HWND list = w.dlg.List().Hwnd();
  RECT cell = w.dlg.List().SubItemRect(row, 1);
  HDC window = GetDC(list);
  HDC dc = CreateCompatibleDC(window);
  HBITMAP bitmap = CreateCompatibleBitmap(window, cell.right, cell.bottom);
  HGDIOBJ old = SelectObject(dc, bitmap);
  BitBlt(dc, 0, 0, cell.right, cell.bottom, window, 0, 0, SRCCOPY);
  ReleaseDC(list, window);
  int n = 0;
  for (int x = cell.left; x < cell.right; ++x)
    n += GetPixel(dc, x, (cell.top + cell.bottom) / 2) == colour;
  SelectObject(dc, old);
  DeleteObject(bitmap);
  DeleteDC(dc);
  return n;
}

std::string Tip(RunningWindow& w) {
  std::string tip;
  w.OnUi([&] { tip = w.dlg.Tray().TipText(); });
  return tip;
}

using NoticeFlood = WindowTest;

TEST_F(NoticeFlood, FiftyThousandNoticesForFiveThousandTasks) {
  std::string out = temp.Folder("out");
  std::vector<std::string> sources;
  for (int i = 0; i < kTasks; ++i) sources.push_back("Z:\\nowhere\\t" + std::to_string(i) + ".bin");
  PaintCount count;  // outlives the list
  // The kernel is held: its threads stay out, and only these notices say what changed.
  RunningWindow w(temp, {}, out, false, true);
  ASSERT_TRUE(w.WaitInitialised());
  std::vector<CDownloadTask*> tasks;
  w.OnUi([&] { w.dlg.QueueFiles(sources, out); });
  // So many come in slices, a turn of the window's message loop each.
  ASSERT_TRUE(PumpUntil([&] { return w.Rows() == kTasks; }, 60s));
  w.OnUi([&] {
    for (int i = 0; i < w.dlg.Kernel().GetTaskCount(); ++i)
      tasks.push_back(w.dlg.Kernel().GetTask(i));
    SetWindowSubclass(w.dlg.List().Hwnd(), &CountPaints, 1, reinterpret_cast<DWORD_PTR>(&count));
  });
  ASSERT_EQ(w.Rows(), kTasks);
  ASSERT_EQ(tasks.size(), static_cast<size_t>(kTasks));

  // Two tasks copy; the others wait for their share. The burst: speed, ready, completed
  // and paused notices for tasks anywhere in the list, in rounds, with the two copies
  // moving on (never past half) between rounds.
  Set(tasks[0], TS_DOWNLOADED, 0, 1.0f);
  Set(tasks[1], TS_DOWNLOADED, 0, 1.0f);
  // Wine's tray window and other programs' windows settle as the window starts; one
  // that uncovers the list is no erase of ours. The count starts after half a second
  // without one.
  int erasesSeen = count.erases;
  DWORD quietSince = GetTickCount();
  PumpUntil(
      [&] {
        if (count.erases != erasesSeen) {
          erasesSeen = count.erases;
          quietSince = GetTickCount();
        }
        return GetTickCount() - quietSince >= 500;
      },
      5s);
  const int refreshesBefore = w.dlg.viewRefreshes, paintsBefore = count.paints;
  const int erasesBefore = count.erases, textReadsBefore = count.textReads;
  Prober prober(w.Hwnd());
  const DWORD start = GetTickCount();
  std::thread kernelThread([&] {
    std::mt19937 random(20240611);
    for (int round = 0; round < 50; ++round) {
      tasks[0]->offset = round * kSize / 100;
      tasks[1]->offset = round * kSize / 200;
      for (int k = 0; k < 1000; ++k) {
        int i = static_cast<int>(random() % kTasks);
        switch (k % 4) {
          case 0:
            w.dlg.OnTaskSpeed(i, tasks[i]);
            break;
          case 1:
            w.dlg.OnTaskReady(i, tasks[i]);
            break;
          case 2:
            w.dlg.OnTaskCompleted(i);
            break;
          default:
            w.dlg.OnTaskPaused(i);
            break;
        }
      }
      Sleep(40);
    }
    // Where the burst leaves them: the first copy at three quarters, the second paused
    // by a failed read.
    Set(tasks[0], TS_DOWNLOADED, 3 * kSize / 4, 2.5f);
    Set(tasks[1], TS_NOTHING, kSize / 4, 0.0f);
    w.dlg.OnTaskPaused(1);
  });
  kernelThread.join();
  const DWORD burst = GetTickCount() - start;
  const int refreshes = w.dlg.viewRefreshes - refreshesBefore;
  const int paints = count.paints - paintsBefore;

  // Within a second of the last notice: the tip, and both rows on the screen.
  const DWORD end = GetTickCount();
  EXPECT_TRUE(PumpUntil(
      [&] {
        return Tip(w).find("t0 - 75.0% [downloaded]") != std::string::npos &&
               ShownPixels(w, 0, CTaskListCtrl::kActiveBar) > 20 &&
               ShownPixels(w, 1, CTaskListCtrl::kOtherBar) > 10 &&
               ShownPixels(w, 1, CTaskListCtrl::kActiveBar) == 0;
      },
      1s))
      << Tip(w);
  const DWORD settled = GetTickCount() - end;
  prober.Stop();

  EXPECT_EQ(prober.missed, 0) << "of " << prober.asked << ", worst " << prober.worst << " ms";
  EXPECT_GT(prober.asked, 20);
  // A few repaints a second, through the whole burst, never one a notice; none erases.
  EXPECT_GE(refreshes, static_cast<int>(burst / 1000)) << burst << " ms";
  EXPECT_LE(refreshes, static_cast<int>(10 + 8 * burst / 1000)) << burst << " ms";
  EXPECT_LE(paints, static_cast<int>(10 + 8 * burst / 1000)) << burst << " ms";
  POINT cursor{};
  GetCursorPos(&cursor);
  RECT list{};
  GetWindowRect(w.dlg.List().Hwnd(), &list);
  EXPECT_EQ(count.erases - erasesBefore, 0)
      << "cursor at " << cursor.x << "," << cursor.y << ", list at " << list.left << "," << list.top
      << "-" << list.right << "," << list.bottom;
  // Matching rows to tasks does not read the rows back: not even once through the list.
  EXPECT_LT(count.textReads - textReadsBefore, kTasks);
  RecordProperty("burst_ms", static_cast<int>(burst));
  RecordProperty("settled_ms", static_cast<int>(settled));
  RecordProperty("worst_answer_ms", static_cast<int>(prober.worst.load()));

  // The last copy ends: the window says so once it has the notice, not at its next tick
  // (the notice comes right after a refresh, so the tick is a period away).
  const int seen = w.dlg.viewRefreshes;
  Set(tasks[0], TS_DOWNLOADED, 9 * kSize / 10, 2.5f);
  w.dlg.OnTaskSpeed(0, tasks[0]);
  ASSERT_TRUE(PumpUntil([&] { return w.dlg.viewRefreshes > seen; }, 2s));
  Set(tasks[0], TS_COMPLETED, kSize, 0.0f);
  w.dlg.OnTaskCompleted(0);
  ASSERT_TRUE(w.Flush());
  EXPECT_NE(Tip(w).find("t0 - 100.0% [completed]"), std::string::npos) << Tip(w);
  EXPECT_TRUE(PumpUntil([&] { return ShownPixels(w, 0, CTaskListCtrl::kCompletedBar) > 20; }, 1s));
  ASSERT_TRUE(w.Close());
}

}  // namespace

TEST_F(NoticeFlood, ABigHandOffKeepsTheWindowAnsweringAndArrivesInOrder) {
  std::string out = temp.Folder("out");
  // Two hand-offs, as two later starts leave them: the second must follow the first.
  std::vector<std::string> first, second;
  for (int i = 0; i < kTasks; ++i)
    (i < kTasks * 3 / 5 ? first : second).push_back("Z:\\nowhere\\h" + std::to_string(i) + ".bin");
  RunningWindow w(temp, {}, out, false, true);
  ASSERT_TRUE(w.WaitInitialised());
  Prober prober(w.Hwnd());
  w.Post([&] { w.dlg.QueueFiles(first, out); });
  w.Post([&] { w.dlg.QueueFiles(second, out); });
  ASSERT_TRUE(PumpUntil([&] { return w.Rows() == kTasks; }, 120s));
  prober.Stop();
  EXPECT_LE(prober.worst.load(), 200u) << prober.asked << " asked";
  EXPECT_EQ(prober.missed.load(), 0);
  EXPECT_EQ(w.dlg.paintsWithRowCountInTurn.load(), 0);
  std::vector<std::string> names = w.RowTexts();
  ASSERT_EQ(names.size(), static_cast<size_t>(kTasks));
  for (int i = 0; i < kTasks; ++i) ASSERT_EQ(names[i], "h" + std::to_string(i)) << i;
}
