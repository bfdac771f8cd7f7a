// The program's event log: one stamped line per engine event, appended to a text file
// next to the program ("MM/DD/YY HH:MM:SS -- message"). Safe to call from any thread.
#pragma once

#include <string>

#include "base/SlimLock.h"
#include "base/UniqueHandle.h"
#include "base/Win.h"

class CEventLog {
 public:
  // Longest line written, line feed included; longer messages are cut.
  static constexpr size_t kMaxLine = 1023;

  CEventLog() = default;
  CEventLog(const CEventLog&) = delete;
  CEventLog& operator=(const CEventLog&) = delete;

  // Appends one line; does nothing while the log is not open or `message` is null.
  virtual void Write(const char* message);
  virtual ~CEventLog();

  // Opens "<full module path>.log" (the program itself when `module` is null).
  bool Open(HMODULE module = nullptr);
  // Opens the log at an explicit path (appending; created when missing).
  bool Open(const std::string& logPath);
  void Close();
  bool IsOpen() const { return file.Valid(); }
  const std::string& Path() const { return path; }

  // While one lives, the lines this thread writes to `log` gather and reach the file in
  // one write as it ends (the outermost one, when nested): a burst of lines, such as
  // hundreds of files handed over at once, costs one system call instead of one a line
  // (a write for every 64 KiB gathered).
  class Batch {
   public:
    explicit Batch(CEventLog& log);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

   private:
    friend class CEventLog;
    CEventLog* log_;
    Batch* outer_;
    std::string lines_;
  };

  // printf-style convenience over Write.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // "MM/DD/YY HH:MM:SS -- message\n", cut to kMaxLine with the line feed kept.
  static std::string FormatLine(const SYSTEMTIME& local, const char* message);

 private:
  // Appends whole lines in one write.
  void Append(const std::string& lines);

  base::UniqueFileHandle file;
  HMODULE module = nullptr;
  std::string path;
  base::SlimLock writeLock;
};

// The program's one log, open from start-up to exit.
extern CEventLog g_log;
