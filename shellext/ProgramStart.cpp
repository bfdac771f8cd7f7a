#include "shellext/ProgramStart.h"

#include <algorithm>
#include <cwchar>

namespace shellext {
namespace {

// The program's path as registered for the shell under `root`, or 0 when there is none.
size_t AppPathChars(HKEY root) {
  const std::wstring key =
      std::wstring(L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + kProgramName;
  // REG_SZ also admits REG_EXPAND_SZ, expanded as the shell expands it.
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD bytes = static_cast<DWORD>(path.size() * sizeof(wchar_t));
    LSTATUS status =
        RegGetValueW(root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, path.data(), &bytes);
    if (status == ERROR_SUCCESS) return wcslen(path.c_str());  // quotes in it only over-count
    if (status != ERROR_MORE_DATA) return 0;
    path.assign(bytes / sizeof(wchar_t) + 1, L'\0');
  }
  return 0;
}

size_t SearchPathChars() {
  DWORD size = SearchPathW(nullptr, kProgramName, nullptr, 0, nullptr, nullptr);
  if (size == 0) return 0;
  std::wstring path(size, L'\0');
  DWORD length = SearchPathW(nullptr, kProgramName, nullptr, size, path.data(), nullptr);
  return length < size ? length : 0;
}

}  // namespace

size_t ProgramCommandChars() {
  // Which of them the shell takes is its own business; the longest is always safe.
  const size_t longest =
      std::max({wcslen(kProgramName), SearchPathChars(), AppPathChars(HKEY_CURRENT_USER),
                AppPathChars(HKEY_LOCAL_MACHINE)});
  return longest + 2;  // in quotes
}

HRESULT StartProgram(HWND owner, const std::wstring& parameters, bool noUi) {
  SHELLEXECUTEINFOW start{};
  start.cbSize = sizeof(start);
  start.fMask = noUi ? SEE_MASK_FLAG_NO_UI : 0;
  start.hwnd = owner;
  start.lpVerb = L"open";
  start.lpFile = kProgramName;
  start.lpParameters = parameters.c_str();
  start.nShow = SW_SHOW;
  if (ShellExecuteExW(&start)) return S_OK;
  const DWORD error = GetLastError();
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace shellext
