#include "shellext/FolderBrowser.h"

#include "com/ComPtr.h"

namespace shellext {
namespace {

// Preselects the item handed over as callback data once the dialog is up.
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM data) {
  if (message == BFFM_INITIALIZED && data) SendMessageW(dialog, BFFM_SETSELECTIONW, FALSE, data);
  return 0;
}

// Frees memory of the shell's task allocator when the scope ends.
struct ShellMemory {
  IMalloc* allocator;
  void* block;
  ~ShellMemory() {
    if (block) allocator->Free(block);
  }
};

}  // namespace

bool BrowseForFolder(std::wstring& path, HWND owner) {
  com::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.Put())) || !allocator) return false;
  ShellMemory buffer{allocator.Get(), allocator->Alloc(MAX_PATH * sizeof(wchar_t))};
  if (!buffer.block) return false;
  auto* display = static_cast<wchar_t*>(buffer.block);
  display[0] = L'\0';

  ShellMemory initial{allocator.Get(), nullptr};
  com::ComPtr<IShellFolder> desktop;
  if (SUCCEEDED(SHGetDesktopFolder(desktop.Put())) && !path.empty()) {
    PIDLIST_RELATIVE item = nullptr;
    if (SUCCEEDED(
            desktop->ParseDisplayName(nullptr, nullptr, path.data(), nullptr, &item, nullptr)))
      initial.block = item;
  }

  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pszDisplayName = display;
  info.lpszTitle = L"Select folder to download files:";
  info.lpfn = BrowseCallback;
  info.lParam = reinterpret_cast<LPARAM>(initial.block);
  ShellMemory chosen{allocator.Get(), SHBrowseForFolderW(&info)};
  desktop.Reset();
  if (!chosen.block) return false;

  if (!SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(chosen.block), display)) return false;
  path = display;
  return true;
}

}  // namespace shellext
