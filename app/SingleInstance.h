// The single-instance rule at start-up: the first start runs the program and receives
// the arguments of every later start; a later start hands its arguments over and ends.
#pragma once

#include <string>

#include "app/HandOffArea.h"
#include "app/HandOffProtocol.h"
#include "app/HandOffWriter.h"
#include "app/InstanceArea.h"

class CSingleInstance {
 public:
  struct Names {
    std::wstring instanceArea = INSTANCE_AREA_NAME;
    std::wstring handOffArea = HANDOFF_AREA_NAME;
  };

  CSingleInstance();
  CSingleInstance(Names names, CHandOffWriter::Timeouts timeouts, CHandOffWriter::LogFn log);
  CSingleInstance(const CSingleInstance&) = delete;
  CSingleInstance& operator=(const CSingleInstance&) = delete;
  ~CSingleInstance() { Finish(); }

  // Counts this start. True for the first instance, which then stores the calling
  // thread as the one to tell and creates the hand-off area.
  bool Start();
  bool IsFirst() const { return first_; }

  // A later start: leaves `rawArguments` (RawArguments of its command line) for the
  // first instance and tells it. False when it could not.
  bool HandOff(const std::string& rawArguments);

  // The first instance's WM_HANDOFF handler: gives the waiting sources and folder to
  // `queueFiles` (the window's QueueFiles). Also safe to call at any other time, e.g.
  // on a timer, to pick up a text whose message a dialog's loop swallowed.
  bool OnHandOff(const CHandOffArea::QueueFilesFn& queueFiles);

  // The first instance once its window has closed: the area goes first, so that later
  // starts stop handing over, then the count.
  void Finish();

 private:
  Names names_;
  CHandOffWriter::Timeouts timeouts_;
  CHandOffWriter::LogFn log_;
  CInstanceArea instances_;
  CHandOffArea area_;
  bool first_ = false;
  bool finished_ = false;
};
