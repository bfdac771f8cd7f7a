#include "app/DownloaderCommandLineInfo.h"

#include "base/Utf8.h"
#include "base/Win.h"
// shellapi.h needs windows.h before it.
#include <shellapi.h>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

}  // namespace

void CDownloaderCommandLineInfo::ParseParam(std::string_view param, bool /*isSwitch*/,
                                            bool /*isLast*/) {
  // A parameter ends at a zero byte, as every text it can come in does.
  param = param.substr(0, param.find('\0'));
  size_t start = !param.empty() && param.front() == '"' ? 1 : 0;
  size_t n = param.size();
  if (n > 0 && param[n - 1] == '"') --n;
  if (n > 0 && param[n - 1] == ';') --n;
  std::string_view body = n > start ? param.substr(start, n - start) : std::string_view();
  if (m_paramCount == 1) {
    m_folder = std::string(body);
  } else {
    std::vector<std::string> pieces;
    SplitList(body, ";", pieces);
    // A path cannot hold a double quote: a piece that does is what broken quoting left
    // over, and names no file anyone could copy.
    for (std::string& piece : pieces)
      if (piece.find('"') == std::string::npos) m_files.push_back(std::move(piece));
  }
  ++m_paramCount;
}

void CDownloaderCommandLineInfo::SplitList(std::string_view text, std::string_view separator,
                                           std::vector<std::string>& list) {
  if (separator.empty()) separator = ";";
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t at = text.find(separator, pos);
    if (at == std::string_view::npos) at = text.size();
    std::string_view piece = text.substr(pos, at - pos);
    size_t first = piece.find_first_not_of(kBlanks);
    if (first != std::string_view::npos) {
      size_t last = piece.find_last_not_of(kBlanks);
      list.emplace_back(piece.substr(first, last - first + 1));
    }
    pos = at + 1;
  }
}

CDownloaderCommandLineInfo CDownloaderCommandLineInfo::FromCommandLine(const wchar_t* commandLine) {
  CDownloaderCommandLineInfo info;
  // An empty line would make the splitter report the running program's own path.
  if (!commandLine || !*commandLine) return info;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
  if (!argv) return info;
  for (int i = 1; i < argc; ++i) {
    std::string arg = base::Narrow(argv[i]);
    // The program has no switches: a leading "-" or "/" is part of the path (a path
    // such as //server/share/x must not lose its first slash), only flagged.
    bool isSwitch = !arg.empty() && (arg.front() == '-' || arg.front() == '/');
    info.ParseParam(arg, isSwitch, i == argc - 1);
  }
  LocalFree(argv);
  return info;
}

CDownloaderCommandLineInfo CDownloaderCommandLineInfo::FromHandOffText(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  // The text is what came after the program name on the later start's command line:
  // behind a name of no blanks and no quotes, the splitter reads it exactly as that
  // start would have read it itself, so a file goes to the same place whichever
  // instance takes it.
  return FromCommandLine(base::Widen("tolva.exe " + std::string(text)).c_str());
}

std::string CDownloaderCommandLineInfo::QuoteArgument(std::string_view parameter) {
  // Backslashes count only before a quote: those are doubled, and a quote in the text
  // gets one of its own.
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : parameter) {
    if (c == '\\') {
      ++backslashes;
    } else {
      if (c == '"') out.append(backslashes + 1, '\\');
      backslashes = 0;
    }
    out += c;
  }
  out.append(backslashes, '\\');
  return out + "\"";
}

std::string CDownloaderCommandLineInfo::RawArguments(const wchar_t* commandLine) {
  if (!commandLine) return {};
  std::wstring_view line(commandLine);
  size_t i = 0;
  // The program name ends at its closing quote, or at the first blank when unquoted.
  if (!line.empty() && line[0] == L'"') {
    size_t close = line.find(L'"', 1);
    i = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && line[i] != L' ' && line[i] != L'\t') ++i;
  }
  while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
  return base::Narrow(line.substr(i));
}
