#include "ui/FileOpenDialog.h"

#include <commdlg.h>
#include <shobjidl.h>

#include <algorithm>

#include "base/ComScope.h"
#include "base/Utf8.h"
#include "com/ComPtr.h"

namespace {

// The strings of a zero-separated list up to its empty string (or its end).
std::vector<std::wstring_view> SplitAtZeros(std::wstring_view block) {
  std::vector<std::wstring_view> parts;
  while (!block.empty() && block.front() != L'\0') {
    size_t end = block.find(L'\0');
    if (end == std::wstring_view::npos) end = block.size();
    parts.push_back(block.substr(0, end));
    block.remove_prefix(std::min(end + 1, block.size()));
  }
  return parts;
}

const COMDLG_FILTERSPEC kAllFiles = {L"All files (*.*)", L"*.*"};

}  // namespace

std::vector<std::string> CFileOpenDialog::ParseSelection(std::wstring_view answer) {
  std::vector<std::wstring_view> parts = SplitAtZeros(answer);
  std::vector<std::string> paths;
  if (parts.size() == 1) {
    paths.push_back(base::Narrow(parts[0]));
  } else if (parts.size() > 1) {
    std::wstring folder(parts[0]);
    // A drive's root comes with its backslash ("C:\"), any other folder without.
    if (folder.back() != L'\\') folder += L'\\';
    for (size_t i = 1; i < parts.size(); ++i)
      paths.push_back(base::Narrow(folder + std::wstring(parts[i])));
  }
  return paths;
}

bool CFileOpenDialog::Run(HWND owner, std::vector<std::string>& paths) {
  paths.clear();
  base::ComScope com;
  bool available = true;
  bool chosen = RunItemDialog(owner, paths, available);
  return available ? chosen : RunClassicDialog(owner, paths);
}

bool CFileOpenDialog::RunItemDialog(HWND owner, std::vector<std::string>& paths, bool& available) {
  // The item dialog hands its choice over as a list of items: a choice of any size
  // arrives whole, where the classic dialog's fixed buffer would drop it.
  com::ComPtr<IFileOpenDialog> dialog;
  available = SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IFileOpenDialog, dialog.PutVoid())) &&
              dialog;
  if (!available) return false;
  FILEOPENDIALOGOPTIONS options = 0;
  dialog->GetOptions(&options);
  // The working folder stays where the program started: relative sources that come
  // later (command line, another instance) are taken against it.
  dialog->SetOptions(options | FOS_ALLOWMULTISELECT | FOS_FORCEFILESYSTEM | FOS_NOCHANGEDIR);
  dialog->SetFileTypes(1, &kAllFiles);
  dialog->SetFileTypeIndex(1);
  if (FAILED(dialog->Show(owner))) return false;  // cancelled, or it could not show

  com::ComPtr<IShellItemArray> items;
  if (FAILED(dialog->GetResults(items.Put())) || !items) return false;
  DWORD count = 0;
  items->GetCount(&count);
  for (DWORD i = 0; i < count; ++i) {
    com::ComPtr<IShellItem> item;
    if (FAILED(items->GetItemAt(i, item.Put())) || !item) continue;
    PWSTR path = nullptr;
    if (SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path)
      paths.push_back(base::Narrow(path));
    CoTaskMemFree(path);
  }
  return !paths.empty();
}

bool CFileOpenDialog::RunClassicDialog(HWND owner, std::vector<std::string>& paths) {
  std::wstring buffer(kCapacity + 1, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = L"All files (*.*)\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = static_cast<DWORD>(kCapacity);
  dialog.lpstrDefExt = L"*";
  dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&dialog)) return false;
  paths = ParseSelection(buffer);
  return !paths.empty();
}
