// Threads that make the blocking file-system calls (opens, chunk reads and writes, closes and
// deletes) so that no window, no lock holder and no other task ever waits on a share.
//
// A job that hangs (a share that never answers) holds up only its own thread: a job
// that waits while every thread has been busy for a while gets a new thread. Threads
// idle for a while end.
// Destroying the pool waits for no hung job: it ends the threads that are free and
// waits until they are gone, so that none is still ending while the process exits; a
// thread still inside a hung call is left to finish (or to the process exit) and then
// ends by itself.
#pragma once

#include <functional>
#include <memory>

class CIoPool {
 public:
  CIoPool();
  ~CIoPool();
  CIoPool(const CIoPool&) = delete;
  CIoPool& operator=(const CIoPool&) = delete;

  // Runs `job` on a pool thread soon. Never blocks on a job.
  void Submit(std::function<void()> job);

  // Threads alive now, busy or idle (for tests and the benchmark).
  int ThreadCount() const;

 private:
  struct State;
  // Under the pool's lock: a new thread of `kind`; false when none could be made.
  static bool StartThread(const std::shared_ptr<State>& state, bool monitor);
  static void Work(const std::shared_ptr<State>& state, int self);
  static void Monitor(const std::shared_ptr<State>& state);
  std::shared_ptr<State> state_;
};
