// State that threads share, reachable only through its lock: Lock() hands out the
// value alone, LockShared() read-only beside other readers, each for as long as the
// handle lives. The lock is not recursive: a thread that holds it never asks again
// (code that runs under it takes the handle, or the value, as a parameter).
#pragma once

#include <utility>

#include "base/SlimLock.h"

namespace base {

template <class T>
class Guarded {
 public:
  template <class... Args>
  explicit Guarded(Args&&... args) : value_(std::forward<Args>(args)...) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // The value, held alone until the handle goes or Unlock() is called.
  class Locked {
   public:
    explicit Locked(Guarded& owner) : owner_(&owner) { owner_->lock_.Lock(); }
    Locked(Locked&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    ~Locked() { Unlock(); }
    void Unlock() {
      if (owner_) std::exchange(owner_, nullptr)->lock_.Unlock();
    }
    T& operator*() const { return owner_->value_; }
    T* operator->() const { return &owner_->value_; }

   private:
    Guarded* owner_;
  };

  // The value, read beside other readers.
  class SharedLocked {
   public:
    explicit SharedLocked(const Guarded& owner) : owner_(&owner) { owner_->lock_.LockShared(); }
    SharedLocked(SharedLocked&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    SharedLocked(const SharedLocked&) = delete;
    SharedLocked& operator=(const SharedLocked&) = delete;
    ~SharedLocked() { Unlock(); }
    void Unlock() {
      if (owner_) std::exchange(owner_, nullptr)->lock_.UnlockShared();
    }
    const T& operator*() const { return owner_->value_; }
    const T* operator->() const { return &owner_->value_; }

   private:
    const Guarded* owner_;
  };

  Locked Lock() { return Locked(*this); }
  SharedLocked LockShared() const { return SharedLocked(*this); }

  // Runs `fn(value)` with the lock held alone and returns its result.
  template <class Fn>
  decltype(auto) With(Fn&& fn) {
    Locked locked(*this);
    return std::forward<Fn>(fn)(*locked);
  }

  // Without the lock, for the one thread that alone changes what it reads here (the
  // caller says why at every use).
  const T& Unguarded() const { return value_; }

 private:
  mutable SlimLock lock_;
  T value_;
};

}  // namespace base
