#include "engine/DownloadTask.h"

#include <objbase.h>

#include "base/Utf8.h"
#include "engine/EventLog.h"

namespace {

// A fresh GUID in its braced upper-case text form.
std::string NewGuidText() {
  GUID guid{};
  wchar_t text[40] = {};
  if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 40) == 0) return {};
  return base::Narrow(text);
}

}  // namespace

// A task holds no kernel object of its own: the chunk buffers and file handles come
// with the read slot when the task is opened, so a closed task costs only its texts
// (a list of thousands costs no handles).
CDownloadTask::CDownloadTask() : id(NewGuidText()) {}

// A read still in flight owns its own buffer and handle: nothing to wait for here.
CDownloadTask::~CDownloadTask() { liveMark = 0; }

namespace {
std::atomic<long> freedReads{0};
}

CDownloadTask* CDownloadTask::Checked(CDownloadTask* task) {
  if (!task || task->liveMark == kLiveMark) return task;
  if (freedReads++ == 0) g_log.Write("a task record was read after it was freed");
  return nullptr;
}

long CDownloadTask::FreedReads() { return freedReads; }

void CDownloadTask::SetState(int newState) {
  base::SlimGuard guard(stateLock);
  state = newState;
}

int CDownloadTask::GetState() {
  int s = state;
  lastState = s;
  return s;
}

std::string CDownloadTask::GetStateName() const {
  switch (state) {
    case TS_NOTHING:
      return "nothing";
    case TS_READY:
      return "ready";
    case TS_DOWNLOADED:
      return "downloaded";
    case TS_COMPLETED:
      return "completed";
    case TS_WRITE_ERROR:
      return "write error";
    default:
      return {};
  }
}

std::string CDownloadTask::FileNameOf(const std::string& path) {
  // Windows takes "/" for "\\" too, and a colon ends a drive or starts a file's stream:
  // a name holding either would reach out of the folder it is put in.
  size_t end = path.find_last_of("\\/:");
  return end == std::string::npos ? path : path.substr(end + 1);
}

std::string CDownloadTask::NameFromSource(const std::string& source) {
  std::string file = FileNameOf(source);
  size_t dot = file.rfind('.');
  // A file without an extension ("README", ".profile") is shown by its whole name: a
  // blank row and "[]" in the log would tell the user nothing.
  if (dot == std::string::npos || dot == 0) return file;
  return file.substr(0, dot);
}

// One lock for every task's reason: a lock per task costs memory in lists of 100,000
// tasks, and reasons change only on failures and are read only on a hover.
static base::SlimLock& ReasonLock() {
  static base::SlimLock lock;
  return lock;
}

void CDownloadTask::SetWaitReason(const std::string& reason) {
  base::SlimGuard guard(ReasonLock());
  waitReason = reason;
}

std::string CDownloadTask::WaitReason() const {
  base::SlimGuard guard(ReasonLock());
  return waitReason;
}

void CDownloadTask::SetDestination(const std::string& path) {
  base::SlimGuard guard(ReasonLock());
  destination = path;
}

std::string CDownloadTask::Destination() const {
  base::SlimGuard guard(ReasonLock());
  return destination;
}
