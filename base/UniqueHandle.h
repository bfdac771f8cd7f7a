// Move-only owners for every kind of Windows handle: one close per handle, always.
#pragma once

#include <utility>

#include "base/Win.h"

namespace base {

template <typename Traits>
class UniqueHandle {
 public:
  using Type = typename Traits::Type;

  UniqueHandle() noexcept : h_(Traits::Invalid()) {}
  explicit UniqueHandle(Type h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) Reset(o.Release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { Reset(); }

  Type Get() const noexcept { return h_; }
  bool Valid() const noexcept { return Traits::IsValid(h_); }
  explicit operator bool() const noexcept { return Valid(); }

  Type Release() noexcept { return std::exchange(h_, Traits::Invalid()); }
  // For a call that returns the handle through an out-parameter: what was held closes
  // first, and the new handle is owned from the moment the call writes it.
  Type* Put() noexcept {
    Reset();
    return &h_;
  }
  void Reset(Type h = Traits::Invalid()) noexcept {
    if (Traits::IsValid(h_)) Traits::Close(h_);
    h_ = h;
  }

 private:
  Type h_;
};

// Kernel objects returned as null on failure (events, threads, mappings, mutexes).
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

// Files, returned as INVALID_HANDLE_VALUE on failure.
struct FileHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { CloseHandle(h); }
};
using UniqueFileHandle = UniqueHandle<FileHandleTraits>;

// Handles that are null when empty, closed by one function.
template <typename T, auto CloseFunction>
struct NullableHandleTraits {
  using Type = T;
  static Type Invalid() noexcept { return nullptr; }
  static bool IsValid(Type h) noexcept { return h != nullptr; }
  static void Close(Type h) noexcept { CloseFunction(h); }
};

using UniqueRegKey = UniqueHandle<NullableHandleTraits<HKEY, &RegCloseKey>>;
using UniqueMenu = UniqueHandle<NullableHandleTraits<HMENU, &DestroyMenu>>;
using UniquePen = UniqueHandle<NullableHandleTraits<HPEN, &DeleteObject>>;
using UniqueBrush = UniqueHandle<NullableHandleTraits<HBRUSH, &DeleteObject>>;
using UniqueFont = UniqueHandle<NullableHandleTraits<HFONT, &DeleteObject>>;
using UniqueBitmap = UniqueHandle<NullableHandleTraits<HBITMAP, &DeleteObject>>;
using UniqueIcon = UniqueHandle<NullableHandleTraits<HICON, &DestroyIcon>>;

using UniqueMappedView = UniqueHandle<NullableHandleTraits<void*, &UnmapViewOfFile>>;

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) noexcept { FindClose(h); }
};
using UniqueFindHandle = UniqueHandle<FindHandleTraits>;

}  // namespace base
