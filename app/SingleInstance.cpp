#include "app/SingleInstance.h"

#include <utility>
#include <vector>

#include "base/Utf8.h"

namespace {

// Lets the running instance bring a message about these files to the front. Wine keeps
// no foreground lock and its AllowSetForegroundWindow does nothing; there the call is
// left out, as it alone would load the window library into a later start (about a
// quarter of such a start's time).
void LetComeToFront(DWORD pid) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")) return;
  AllowSetForegroundWindow(pid);
}

}  // namespace

CSingleInstance::CSingleInstance(Names names, CHandOffWriter::Timeouts timeouts,
                                 CHandOffWriter::LogFn log, StartAnewFn startAnew)
    : names_(std::move(names)),
      timeouts_(timeouts),
      log_(std::move(log)),
      startAnew_(std::move(startAnew)),
      instances_(names_.instanceArea),
      area_(names_.handOffArea) {}

CSingleInstance::CSingleInstance() : CSingleInstance(Names(), {}, {}) {}

void CSingleInstance::Log(const std::string& message) const {
  if (log_) log_(message);
}

bool CSingleInstance::Start() {
  if (first_) return true;
  if (instances_.Enter() > 1) {
    // An instance that was killed never uncounts itself; while anything keeps the area
    // its count stays, and starting anew from here would only start one more process.
    if (!instances_.TakeOverIfFirstEnded(GetCurrentThreadId(), GetCurrentProcessId())) return false;
    Log("The running instance had ended without closing; this start takes its place.");
  }
  first_ = true;
  instances_.SetFirst(GetCurrentThreadId(), GetCurrentProcessId());
  // Without an area the program still runs; only later starts cannot reach it.
  if (!area_.Create()) {
    Log("The hand-off area cannot be created.");
    return true;
  }
  reader_ = std::make_unique<CHandOffReader>(area_, GetCurrentThreadId());
  if (!reader_->Start()) {
    Log("Hand-off: no reader thread; texts are taken when the window gets to them.");
    reader_.reset();
  }
  return true;
}

bool CSingleInstance::HandOff(const std::string& rawArguments) {
  if (first_) return false;
  CHandOffWriter writer(names_.handOffArea, timeouts_, log_);
  // A message the running instance shows for these files (no default folder) may then
  // come to the front, though this process, not it, was started by the user.
  if (DWORD pid = instances_.FirstProcessId()) LetComeToFront(pid);
  std::string unsent;
  switch (writer.Send(
      rawArguments, [this] { return instances_.FirstThreadId(); },
      [this] { return instances_.FirstIsGone(); }, &unsent)) {
    case CHandOffWriter::Outcome::kTaken:
      return true;
    case CHandOffWriter::Outcome::kFailed:
      return false;
    case CHandOffWriter::Outcome::kInstanceGone:
      break;
  }
  return StartAnewAfterFirstEnds(unsent);
}

bool CSingleInstance::StartAnewAfterFirstEnds(const std::string& arguments) {
  const DWORD pid = instances_.FirstProcessId();
  // Not counted any more: once the closing instance has ended, the new start is first.
  instances_.Release();
  // (The first instance is never this process, except where a test plays both.)
  if (pid != 0 && pid != GetCurrentProcessId()) {
    base::UniqueKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (process && WaitForSingleObject(process.Get(), timeouts_.limitMs) == WAIT_TIMEOUT) {
      Log("Hand-off failed: the closing instance did not end in " +
          std::to_string(timeouts_.limitMs / 1000) + " s.");
      return false;
    }
  }
  Log("Hand-off: the running instance was closing; the program starts anew for this start.");
  if (startAnew_ && startAnew_(arguments)) return true;
  Log("Hand-off failed: the program cannot be started anew.");
  return false;
}

bool CSingleInstance::StartProgramAnew(const std::string& arguments) {
  wchar_t self[MAX_PATH * 4];
  DWORD length = GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
  if (length == 0 || length >= std::size(self)) return false;
  std::wstring command = L"\"" + std::wstring(self, length) + L"\"";
  if (!arguments.empty()) command += L" " + base::Widen(arguments);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool CSingleInstance::NextText(std::string& text) {
  // With the reader running, only it takes from the area, so texts keep their order.
  if (reader_) return reader_->Next(text);
  return area_.Take(text);
}

bool CSingleInstance::OnHandOff(const CHandOffArea::QueueFilesFn& queueFiles) {
  if (!first_ || finished_) return false;
  bool any = false;
  for (std::string text; NextText(text);) {
    any = true;
    CHandOffArea::Queue(text, queueFiles);
  }
  return any;
}

void CSingleInstance::Finish() {
  if (!first_ || finished_) return;
  finished_ = true;
  // Writers from now on wait for this process to end and start anew.
  instances_.MarkClosing();
  std::vector<std::string> left;
  if (reader_) {
    reader_->Stop();
    for (std::string text; reader_->Next(text);) left.push_back(std::move(text));
    reader_.reset();
  }
  for (std::string text; area_.Take(text);) left.push_back(std::move(text));
  area_.Close();
  instances_.Leave();
  // Taken but never queued: a new start carries them to the next first instance.
  for (const std::string& text : left) {
    if (text.empty()) continue;
    Log("Hand-off: a start that came while closing is passed on to a new start.");
    if (!startAnew_ || !startAnew_(text))
      Log("Hand-off failed: the program cannot be started anew.");
  }
}
