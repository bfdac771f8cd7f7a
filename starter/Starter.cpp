#include "starter/Starter.h"

#include <shellapi.h>

#include <new>
#include <optional>
#include <string>

namespace starter {
namespace {

// Shared by every object of the module, loaded on first late-bound call.
com::TypeInfoHolder& StarterTypeInfo() {
  static com::TypeInfoHolder holder(LIBID_TOLVASTARTERLib, IID_IStarter, 1, 0, 0x409);
  return holder;
}

}  // namespace

Starter::Starter(IUnknown* outer) noexcept : Dispatch(StarterTypeInfo()), ObjectRoot(outer) {}

void* Starter::FindInterface(REFIID iid) noexcept {
  if (IsEqualIID(iid, IID_IStarter) || IsEqualIID(iid, IID_IDispatch))
    return static_cast<IStarter*>(this);
  return nullptr;
}

// IStarter

HRESULT Starter::startDownload(BSTR what) {
  // Our own copy: the caller's string is only borrowed for the call.
  std::optional<std::wstring> parameters;
  try {
    if (what) parameters.emplace(what, SysStringLen(what));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
  // The text goes on as it is. A script learns from the result whether the program
  // could be started; no box waits for a click that nobody running a script may give.
  // The start request is complete when this returns (the program itself is not waited
  // for): a script host ends as soon as the script does, and a start that the shell
  // hands to a thread of its own would end with it, the program never started.
  SHELLEXECUTEINFOW start{};
  start.cbSize = sizeof(start);
  start.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  start.lpVerb = L"open";
  start.lpFile = L"tolva.exe";
  start.lpParameters = parameters ? parameters->c_str() : nullptr;
  start.nShow = SW_SHOW;
  if (ShellExecuteExW(&start)) return S_OK;
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace starter
