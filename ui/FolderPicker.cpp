#include "ui/FolderPicker.h"

#include <objbase.h>
#include <shlobj.h>

#include "base/ComScope.h"
#include "base/Utf8.h"

namespace {

int CALLBACK SelectStart(HWND browser, UINT msg, LPARAM, LPARAM start) {
  if (msg == BFFM_INITIALIZED && start) SendMessageW(browser, BFFM_SETSELECTIONW, FALSE, start);
  return 0;
}

}  // namespace

bool CFolderPicker::PickFolder(std::string& path, HWND owner, const char* title) {
  base::ComScope com;
  IMalloc* malloc = nullptr;
  if (FAILED(SHGetMalloc(&malloc)) || !malloc) return false;
  auto* buffer = static_cast<wchar_t*>(malloc->Alloc(MAX_PATH * sizeof(wchar_t)));
  if (!buffer) {
    malloc->Release();
    return false;
  }
  buffer[0] = L'\0';

  LPITEMIDLIST start = nullptr;
  IShellFolder* desktop = nullptr;
  if (!path.empty() && SUCCEEDED(SHGetDesktopFolder(&desktop)) && desktop) {
    std::wstring wide = base::Widen(path);
    if (wide.size() > MAX_PATH - 1) wide.resize(MAX_PATH - 1);
    if (FAILED(desktop->ParseDisplayName(owner, nullptr, wide.data(), nullptr, &start, nullptr)))
      start = nullptr;
    desktop->Release();
  }

  std::wstring wideTitle = base::Widen(title);
  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pszDisplayName = buffer;
  info.lpszTitle = wideTitle.c_str();
  // Only folders on disk have a path to download into.
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  info.lpfn = &SelectStart;
  info.lParam = reinterpret_cast<LPARAM>(start);
  LPITEMIDLIST chosen = SHBrowseForFolderW(&info);

  bool picked = chosen && SHGetPathFromIDListW(chosen, buffer) && buffer[0];
  if (picked) path = base::Narrow(buffer);

  if (chosen) malloc->Free(chosen);
  if (start) malloc->Free(start);
  malloc->Free(buffer);
  malloc->Release();
  return picked;
}
