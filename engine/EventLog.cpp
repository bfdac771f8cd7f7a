#include "engine/EventLog.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "base/Utf8.h"

CEventLog g_log;

CEventLog::~CEventLog() { Close(); }

bool CEventLog::Open(HMODULE logModule) {
  module = logModule;
  std::vector<wchar_t> buf(32768);
  DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<DWORD>(buf.size()));
  std::string modulePath;
  if (n == 0 || n >= buf.size())
    modulePath = "kelserver";
  else
    modulePath = base::Narrow(std::wstring_view(buf.data(), n));
  return Open(modulePath + ".log");
}

bool CEventLog::Open(const std::string& logPath) {
  base::SlimGuard guard(writeLock);
  path = logPath;
  // Append-only access makes every write land whole at the current end of the file,
  // also when another run of the program appends to the same log at the same time.
  // Each line is one write: once it returns, the line is the system's and survives a
  // crash or a kill of the program. Not forced to the disk line by line: that cost a
  // millisecond a line, more than a whole small file's copy.
  file.Reset(CreateFileW(base::WidePath(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  return file.Valid();
}

void CEventLog::Close() {
  base::SlimGuard guard(writeLock);
  if (file) FlushFileBuffers(file.Get());
  file.Reset();
}

std::string CEventLog::FormatLine(const SYSTEMTIME& t, const char* message) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02u/%02u/%02u %02u:%02u:%02u -- ", t.wMonth % 100u,
                t.wDay % 100u, t.wYear % 100u, t.wHour % 100u, t.wMinute % 100u, t.wSecond % 100u);
  std::string line = stamp;
  line += message;
  if (line.size() > kMaxLine - 1) {
    size_t cut = kMaxLine - 1;
    // Never leave half of a UTF-8 sequence at the end of a cut line.
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    line.resize(cut);
  }
  line += '\n';
  return line;
}

namespace {

// The innermost batch of the calling thread, if any; each names the one around it.
thread_local CEventLog::Batch* t_batch = nullptr;
// A batch this big goes to the file at once: thousands of files added together hold
// no megabytes of lines.
constexpr size_t kBatchBytes = 64 * 1024;

}  // namespace

CEventLog::Batch::Batch(CEventLog& log) : log_(&log), outer_(t_batch) { t_batch = this; }

CEventLog::Batch::~Batch() {
  t_batch = outer_;
  if (!lines_.empty()) log_->Append(lines_);
}

void CEventLog::Append(const std::string& lines) {
  base::SlimGuard guard(writeLock);
  if (!file) return;
  DWORD written = 0;
  WriteFile(file.Get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

void CEventLog::Write(const char* message) {
  if (!message) return;
  SYSTEMTIME now;
  GetLocalTime(&now);
  std::string line = FormatLine(now, message);
  // The outermost batch of this log gathers them all, so that they stay in order.
  Batch* batch = nullptr;
  for (Batch* b = t_batch; b; b = b->outer_)
    if (b->log_ == this) batch = b;
  if (batch) {
    batch->lines_ += line;
    if (batch->lines_.size() >= kBatchBytes) {
      Append(batch->lines_);
      batch->lines_.clear();
    }
    return;
  }
  Append(line);
}

void CEventLog::Printf(const char* format, ...) {
  char buf[2048];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  Write(buf);
}
