#include "engine/TaskWatcher.h"

#include "engine/CopyLoop.h"
#include "engine/EventLog.h"

CTaskWatcher::CTaskWatcher(CTaskTable& table, CCopyLoop& copier, HANDLE wake,
                           const std::atomic<int>& stopped)
    : table_(table), copier_(copier), wake_(wake), stopped_(stopped) {}

void CTaskWatcher::Start() {
  thread_.Start([this] { WatchLoop(); });
}

void CTaskWatcher::WatchLoop() {
  g_log.Write("watch thread have started");
  while (!stopped_) {
    WaitForSingleObject(wake_, watchInterval);
    if (stopped_) break;
    // A task whose open still hangs gets no second one; one waiting for its turn is
    // opened when its turn comes, not here.
    auto rows = table_.Write();
    for (auto& task : rows->Tasks())
      if (task->GetState() == TS_NOTHING && !task->waiting) copier_.RequestOpen(rows, task);
  }
  g_log.Write("watch thread has ended");
}
