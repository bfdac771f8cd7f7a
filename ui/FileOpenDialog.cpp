#include "ui/FileOpenDialog.h"

#include <commdlg.h>

#include <algorithm>

#include "base/Utf8.h"

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
  std::wstring buffer(kCapacity + 1, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = L"All files (*.*)\0*.*\0";
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = buffer.data();
  dialog.nMaxFile = static_cast<DWORD>(kCapacity);
  dialog.lpstrDefExt = L"*";
  // The working folder stays where the program started: relative sources that come
  // later (command line, another instance) are taken against it.
  dialog.Flags = OFN_ALLOWMULTISELECT | OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&dialog)) return false;
  paths = ParseSelection(buffer);
  return !paths.empty();
}
