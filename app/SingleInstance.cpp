#include "app/SingleInstance.h"

#include <utility>

CSingleInstance::CSingleInstance(Names names, CHandOffWriter::Timeouts timeouts,
                                 CHandOffWriter::LogFn log)
    : names_(std::move(names)),
      timeouts_(timeouts),
      log_(std::move(log)),
      instances_(names_.instanceArea),
      area_(names_.handOffArea) {}

CSingleInstance::CSingleInstance() : CSingleInstance(Names(), {}, {}) {}

bool CSingleInstance::Start() {
  if (first_ || instances_.Enter() > 1) return first_;
  first_ = true;
  instances_.SetFirstThreadId(GetCurrentThreadId());
  // Without an area the program still runs; only later starts cannot reach it.
  if (!area_.Create() && log_) log_("The hand-off area cannot be created.");
  return true;
}

bool CSingleInstance::HandOff(const std::string& rawArguments) {
  if (first_) return false;
  CHandOffWriter writer(names_.handOffArea, timeouts_, log_);
  return writer.Send(rawArguments, [this] { return instances_.FirstThreadId(); });
}

bool CSingleInstance::OnHandOff(const CHandOffArea::QueueFilesFn& queueFiles) {
  return first_ && !finished_ && area_.Receive(queueFiles);
}

void CSingleInstance::Finish() {
  if (!first_ || finished_) return;
  finished_ = true;
  area_.Close();
  instances_.Leave();
}
