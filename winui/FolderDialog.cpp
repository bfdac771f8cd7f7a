#include "winui/FolderDialog.h"

#include <shlobj.h>

#include "base/ComScope.h"
#include "com/ComPtr.h"

namespace winui {
namespace {

// Memory of the shell's task allocator, freed when the scope ends.
class ShellMemory {
 public:
  ShellMemory(IMalloc* allocator, void* block) : allocator_(allocator), block_(block) {}
  ~ShellMemory() {
    if (block_) allocator_->Free(block_);
  }
  ShellMemory(const ShellMemory&) = delete;
  ShellMemory& operator=(const ShellMemory&) = delete;

  void* Get() const { return block_; }

 private:
  IMalloc* allocator_;
  void* block_;
};

// Preselects the item handed over as callback data once the dialog is up.
int CALLBACK SelectStart(HWND dialog, UINT message, LPARAM, LPARAM start) {
  if (message == BFFM_INITIALIZED && start) SendMessageW(dialog, BFFM_SETSELECTIONW, FALSE, start);
  return 0;
}

}  // namespace

bool BrowseForFolder(std::wstring& path, HWND owner, const wchar_t* title, UINT flags) {
  base::ComScope com;
  com::ComPtr<IMalloc> allocator;
  if (FAILED(SHGetMalloc(allocator.Put())) || !allocator) return false;
  ShellMemory buffer(allocator.Get(), allocator->Alloc(MAX_PATH * sizeof(wchar_t)));
  if (!buffer.Get()) return false;
  auto* display = static_cast<wchar_t*>(buffer.Get());
  display[0] = L'\0';

  // No owner for the parse: a start folder that cannot be reached opens the dialog on
  // nothing rather than showing an error of its own.
  PIDLIST_RELATIVE item = nullptr;
  com::ComPtr<IShellFolder> desktop;
  if (!path.empty() && SUCCEEDED(SHGetDesktopFolder(desktop.Put())) && desktop) {
    std::wstring start = path.substr(0, MAX_PATH - 1);
    if (FAILED(desktop->ParseDisplayName(nullptr, nullptr, start.data(), nullptr, &item, nullptr)))
      item = nullptr;
  }
  ShellMemory initial(allocator.Get(), item);

  BROWSEINFOW info{};
  info.hwndOwner = owner;
  info.pszDisplayName = display;
  info.lpszTitle = title;
  info.ulFlags = flags;
  info.lpfn = &SelectStart;
  info.lParam = reinterpret_cast<LPARAM>(initial.Get());
  ShellMemory chosen(allocator.Get(), SHBrowseForFolderW(&info));
  if (!chosen.Get()) return false;

  if (!SHGetPathFromIDListW(static_cast<PCIDLIST_ABSOLUTE>(chosen.Get()), display) || !display[0])
    return false;
  path = display;
  return true;
}

}  // namespace winui
