// The single-instance rule at start-up: the first start runs the program and receives
// the arguments of every later start; a later start hands its arguments over and ends.
// A later start that meets a first instance on its way out waits for it to end and
// starts the program anew with its own arguments, so they are never lost.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/HandOffArea.h"
#include "app/HandOffProtocol.h"
#include "app/HandOffReader.h"
#include "app/HandOffWriter.h"
#include "app/InstanceArea.h"

class CSingleInstance {
 public:
  struct Names {
    std::wstring instanceArea = INSTANCE_AREA_NAME;
    std::wstring handOffArea = HANDOFF_AREA_NAME;
  };
  // Starts the program as a new process with this argument text; false when it cannot.
  using StartAnewFn = std::function<bool(const std::string& arguments)>;

  CSingleInstance();
  CSingleInstance(Names names, CHandOffWriter::Timeouts timeouts, CHandOffWriter::LogFn log,
                  StartAnewFn startAnew = StartProgramAnew);
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;
  ~CSingleInstance() { Finish(); }

  // Counts this start. True for the first instance, which then stores the calling
  // thread as the one to tell, creates the hand-off area and starts taking texts.
  bool Start();
  bool IsFirst() const { return first_; }

  // A later start: leaves `rawArguments` (RawArguments of its command line) for the
  // first instance and tells it, or starts anew when the first instance is closing.
  // False when neither could be done within the limit.
  bool HandOff(const std::string& rawArguments);

  // The first instance's WM_HANDOFF handler: gives every text taken so far, oldest
  // first, to `queueFiles` (the window's QueueFiles). Also safe to call at any other
  // time, e.g. on a timer. False when there was nothing to give.
  bool OnHandOff(const CHandOffArea::QueueFilesFn& queueFiles);

  // The first instance: texts taken from now on are announced to `window` (null: to the
  // thread again). Without a reader thread the writers still tell the thread.
  void NotifyWindow(HWND window) {
    if (reader_) reader_->NotifyWindow(window);
  }

  // The first instance once its window has closed: later starts are told it is closing,
  // the area goes, then the count. A text taken but not queued is passed to a new start.
  void Finish();

  // The program file started with `arguments`, after its quoted path.
  static bool StartProgramAnew(const std::string& arguments);

 private:
  bool NextText(std::string& text);
  bool StartAnewAfterFirstEnds(const std::string& arguments);
  void Log(const std::string& message) const;

  Names names_;
  CHandOffWriter::Timeouts timeouts_;
  CHandOffWriter::LogFn log_;
  StartAnewFn startAnew_;
  CInstanceArea instances_;
  CHandOffArea area_;
  std::unique_ptr<CHandOffReader> reader_;
  bool first_ = false;
  bool finished_ = false;
};
