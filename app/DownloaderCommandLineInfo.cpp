#include "app/DownloaderCommandLineInfo.h"

#include "base/Utf8.h"
#include "base/Win.h"
// shellapi.h needs windows.h before it.
#include <shellapi.h>

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::string_view kHandOffSeparator = "\" \"";

std::string_view Trimmed(std::string_view s) {
  const size_t first = s.find_first_not_of(kBlanks);
  return first == std::string_view::npos ? std::string_view()
                                         : s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

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
  const std::string joined = QuotedJoinOf(text);
  if (!joined.empty()) text = joined;
  CDownloaderCommandLineInfo info;
  std::vector<std::string> pieces;
  SplitList(text, kHandOffSeparator, pieces);
  for (const std::string& piece : pieces) info.ParseParam(piece, false, false);
  return info;
}

std::string CDownloaderCommandLineInfo::QuotedJoinOf(std::string_view text) {
  if (text.find(kHandOffSeparator) != std::string_view::npos) return {};
  text = Trimmed(text);
  const size_t open = text.find('"');
  if (open == std::string_view::npos) return {};
  const size_t close = text.find('"', open + 1);
  if (close == std::string_view::npos || text.find('"', close + 1) != std::string_view::npos)
    return {};
  std::string_view sources, folder;
  if (open > 0 && close == text.size() - 1 &&
      kBlanks.find(text[open - 1]) != std::string_view::npos) {
    // p;q "d": unquoted sources (blanks and all, as an unquoted text is), quoted folder.
    sources = Trimmed(text.substr(0, open));
    folder = text.substr(open + 1, close - open - 1);
  } else if (open == 0 && close + 1 < text.size() &&
             kBlanks.find(text[close + 1]) != std::string_view::npos) {
    // "p;q" d: quoted sources, then the unquoted folder.
    sources = text.substr(1, close - 1);
    folder = Trimmed(text.substr(close + 1));
  } else {
    return {};
  }
  return "\"" + std::string(sources) + std::string(kHandOffSeparator) + std::string(folder) + "\"";
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
