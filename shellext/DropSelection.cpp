#include "shellext/DropSelection.h"

namespace shellext {

void DropSelection::Read(HDROP drop) {
  const UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
  std::vector<std::wstring> paths;
  paths.reserve(count);
  for (UINT i = 0; i < count; ++i) {
    // Ask for the length first: paths longer than MAX_PATH are kept whole.
    const UINT length = DragQueryFileW(drop, i, nullptr, 0);
    std::wstring path(length, L'\0');
    if (length > 0) {
      UINT copied = DragQueryFileW(drop, i, path.data(), length + 1);
      path.resize(copied < length ? copied : length);
    }
    paths.push_back(std::move(path));
  }
  std::wstring last = paths.empty() ? std::wstring() : paths.back();
  fileCount = static_cast<int>(count);
  files.swap(paths);
  lastPath.swap(last);
}

std::wstring DropSelection::HelpText() const {
  if (fileCount == 1) return L"Скачать файл (" + lastPath + L")";
  return L"Скачать файлы";
}

std::wstring DropSelection::SourceArgument() const {
  std::wstring text = L"\"";
  if (fileCount == 1) {
    text += lastPath;
  } else {
    for (const std::wstring& path : files) {
      text += path;
      text += L';';
    }
  }
  text += L'"';
  return text;
}

std::wstring WithFolderArgument(const std::wstring& sources, const std::wstring& folder) {
  // Blanks separate the program's arguments; the quotes keep blanks in the folder.
  return sources + L" \"" + folder + L"\"";
}

}  // namespace shellext
