// Owns one COM interface pointer: AddRef on copy, Release on reset and destruction.
#pragma once

#include <utility>

#include "com/Ole.h"

namespace com {

template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(const ComPtr& o) noexcept : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  // Takes over a reference the caller already owns.
  static ComPtr Attach(T* p) noexcept {
    ComPtr c;
    c.p_ = p;
    return c;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Reset() noexcept {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  // For out-parameters: releases what is held and hands out the slot.
  T** Put() noexcept {
    Reset();
    return &p_;
  }
  void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }

 private:
  T* p_ = nullptr;
};

}  // namespace com
