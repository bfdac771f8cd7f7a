// Stands in for tolva.exe in tests: appends its parameter text (the command line without
// the program name) as one UTF-8 line to the file named by TOLVA_FAKE_RECORD.
#include <string>

#include "base/Utf8.h"
#include "base/Win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::wstring line = GetCommandLineW();
  size_t i = 0;
  if (!line.empty() && line[0] == L'"') {
    i = line.find(L'"', 1);
    i = i == std::wstring::npos ? line.size() : i + 1;
  } else {
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  }
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  std::string text = base::Narrow(line.substr(i)) + "\n";

  wchar_t record[1024] = {};
  if (!GetEnvironmentVariableW(L"TOLVA_FAKE_RECORD", record, 1024)) return 1;
  // Several starts may race: each appends its own line in one write.
  for (int attempt = 0; attempt < 200; ++attempt) {
    HANDLE file = CreateFileW(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      DWORD written = 0;
      WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      CloseHandle(file);
      return 0;
    }
    Sleep(10);
  }
  return 2;
}
