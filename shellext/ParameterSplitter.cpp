#include "shellext/ParameterSplitter.h"

#include "app/HandOffProtocol.h"

namespace shellext {
namespace {

// The program hands its parameters over as UTF-8; count them as it converts them.
size_t Utf8Bytes(std::wstring_view text) {
  if (text.empty()) return 0;
  return static_cast<size_t>(WideCharToMultiByte(
      CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr));
}

}  // namespace

ParameterSplitter::ParameterSplitter(size_t programChars) : programChars_(programChars) {}

bool ParameterSplitter::Fits(size_t chars, size_t utf8Bytes) const {
  // Program, blank, parameters, terminating zero.
  return programChars_ + 1 + chars + 1 <= kCommandLineChars && utf8Bytes <= handoff::kMaxTextBytes;
}

bool ParameterSplitter::Fits(std::wstring_view parameters) const {
  return Fits(parameters.size(), Utf8Bytes(parameters));
}

ParameterSplitter::Parts ParameterSplitter::Split(const DropSelection& selection,
                                                  const std::wstring& folder) const {
  const std::wstring tail = folder.empty() ? std::wstring() : WithFolderArgument(L"", folder);
  Parts parts;
  std::wstring whole = selection.SourceArgument() + tail;
  if (Fits(whole)) {
    parts.starts.push_back(std::move(whole));
    return parts;
  }
  if (selection.fileCount == 1) {
    parts.skipped.push_back(selection.lastPath);
    return parts;
  }

  // Every part: quote, paths each with its ";", quote, the folder.
  const size_t fixedChars = 2 + tail.size();
  const size_t fixedBytes = 2 + Utf8Bytes(tail);
  std::wstring run;
  size_t runBytes = 0;
  auto close = [&] {
    if (run.empty()) return;
    parts.starts.push_back(L"\"" + run + L"\"" + tail);
    run.clear();
    runBytes = 0;
  };
  for (const std::wstring& path : selection.files) {
    const size_t chars = path.size() + 1;
    const size_t bytes = Utf8Bytes(path) + 1;
    if (!Fits(fixedChars + chars, fixedBytes + bytes)) {
      parts.skipped.push_back(path);
      continue;
    }
    if (!Fits(fixedChars + run.size() + chars, fixedBytes + runBytes + bytes)) close();
    run += path;
    run += L';';
    runBytes += bytes;
  }
  close();
  return parts;
}

}  // namespace shellext
