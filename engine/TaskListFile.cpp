#include "engine/TaskListFile.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <utility>

#include "engine/XmlDocument.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"

namespace {

// Decodes one UTF-8 sequence at `i`, advancing `i`. Malformed input (bad lead or
// continuation bytes, overlong forms, surrogates, beyond U+10FFFF) gives U+FFFD for one
// byte, so a broken name still writes a well-formed file.
char32_t NextCodePoint(const std::string& s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = byte(i);
  if (b < 0x80) {
    ++i;
    return b;
  }
  int extra = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if ((b & 0xE0) == 0xC0) {
    extra = 1, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    extra = 2, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    extra = 3, cp = b & 0x07, min = 0x10000;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + extra >= s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k <= extra; ++k) {
    unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0xFFFD;
  }
  i += extra + 1;
  return cp;
}

// True for the characters an XML 1.0 document may contain at all.
bool XmlAllows(char32_t cp) {
  if (cp < 0x20) return cp == 0x09 || cp == 0x0A || cp == 0x0D;
  return cp != 0xFFFE && cp != 0xFFFF;
}

// An attribute value in pure ASCII: the four markup characters as entities, everything
// else outside printable ASCII as a numeric reference. Tab, CR and LF are references too,
// because a parser turns them raw into blanks.
void AppendAttribute(std::string& out, const std::string& value) {
  size_t i = 0;
  while (i < value.size()) {
    char32_t cp = NextCodePoint(value, i);
    switch (cp) {
      case '&':
        out += "&amp;";
        continue;
      case '<':
        out += "&lt;";
        continue;
      case '>':
        out += "&gt;";
        continue;
      case '"':
        out += "&quot;";
        continue;
      default:
        break;
    }
    if (cp >= 0x20 && cp < 0x7F) {
      out += static_cast<char>(cp);
      continue;
    }
    if (!XmlAllows(cp)) cp = 0xFFFD;
    out += "&#" + std::to_string(static_cast<unsigned long>(cp)) + ";";
  }
}

// The declaration every list starts with; a broken list's lines are each read after it.
constexpr char kHeader[] = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n";

// A file name beside `path` for the text before it replaces the list.
std::wstring TempPathFor(const std::string& path) { return base::WidePath(path + ".tmp"); }

bool WriteAll(HANDLE file, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, chunk, &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return true;
}

bool ReadFileBytes(const std::string& path, std::string& bytes) {
  base::UniqueFileHandle file(CreateFileW(base::WidePath(path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  // The list holds one short line per unfinished task; anything huge is not ours.
  if (!GetFileSizeEx(file.Get(), &size)) return false;
  if (size.QuadPart > (64LL << 20)) {
    SetLastError(ERROR_FILE_TOO_LARGE);  // there, but not a list: kept, not taken as none
    return false;
  }
  bytes.resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    if (!ReadFile(file.Get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got,
                  nullptr))
      return false;
    if (got == 0) break;
    done += got;
  }
  bytes.resize(done);
  return true;
}

// The number the text begins with, as C's atoi reads it (blanks, then an optional sign,
// then digits; 0 when there is no number), held to the int range.
int ParseState(const std::string& text) {
  size_t i = text.find_first_not_of(" \t\r\n\v\f");
  if (i == std::string::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

const std::vector<std::wstring> kAttributes = {L"name",       L"source", L"destination",
                                               L"state",      L"offset", L"sourceSize",
                                               L"sourceTime", L"asked",  L"made"};

// A whole decimal number and nothing else: a position read wrong would continue a copy
// at the wrong byte, so anything odd (blanks, signs, overflow) reads as none.
std::optional<uint64_t> ParseCount(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 20) return std::nullopt;
  uint64_t value = 0;
  for (char c : *text) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

// The longest path the wide file functions take, in UTF-16 units.
constexpr size_t kLongestPath = 32767;

// A path a task can be opened with: not empty, not blanks only, not beyond what Windows
// opens. Anything else would sit in the list for ever, retried and rewritten.
bool UsablePath(const std::optional<std::string>& path) {
  if (!path || path->find_first_not_of(" \t\r\n") == std::string::npos) return false;
  // Each UTF-16 unit takes at least one UTF-8 byte, so a short text needs no count.
  return path->size() <= kLongestPath || base::Widen(*path).size() <= kLongestPath;
}

// The task elements of a parsed list, as entries.
void AddEntries(const CXmlDocument& doc, std::vector<TaskListEntry>& entries) {
  for (auto& row : doc.SelectAttributes(L"/downloader/task", kAttributes)) {
    // A task cannot run without its two paths; such an element is skipped, the rest load.
    if (!UsablePath(row[1]) || !UsablePath(row[2])) continue;
    TaskListEntry e;
    e.name = row[0].value_or(std::string());
    e.source = std::move(*row[1]);
    e.destination = std::move(*row[2]);
    // Without a state the task simply starts as not yet opened.
    e.state = row[3] ? ParseState(*row[3]) : 0;
    // A position counts only whole: all three numbers, and not past the source's end.
    const auto offset = ParseCount(row[4]), size = ParseCount(row[5]), time = ParseCount(row[6]);
    if (offset && size && time && *offset > 0 && *offset <= *size && *size != UINT64_MAX) {
      e.offset = *offset;
      e.sourceSize = *size;
      e.sourceTime = *time;
    }
    if (UsablePath(row[7])) e.askedDestination = std::move(*row[7]);
    // Without the mark, only a copy under way was surely written by the task itself.
    e.madeFile = (row[8] && *row[8] == "1") || e.HasPosition();
    entries.push_back(std::move(e));
  }
}

}  // namespace

CTaskListFile::CTaskListFile(std::string path) : path_(std::move(path)) {}

std::string CTaskListFile::Format(const std::vector<TaskListEntry>& entries) {
  std::string text = std::string(kHeader) + "<downloader>\n";
  for (const TaskListEntry& e : entries) {
    text += "\t<task name=\"";
    AppendAttribute(text, e.name);
    text += "\" source=\"";
    AppendAttribute(text, e.source);
    text += "\" destination=\"";
    AppendAttribute(text, e.destination);
    text += "\" state=\"" + std::to_string(e.state) + "\"";
    // Extra attributes, which a reader that does not know them passes over.
    if (e.HasPosition())
      text += " offset=\"" + std::to_string(e.offset) + "\" sourceSize=\"" +
              std::to_string(e.sourceSize) + "\" sourceTime=\"" + std::to_string(e.sourceTime) +
              "\"";
    if (!e.askedDestination.empty() && e.askedDestination != e.destination) {
      text += " asked=\"";
      AppendAttribute(text, e.askedDestination);
      text += "\"";
    }
    // Absent means the task has not made its file (yet): a list of new tasks keeps the
    // plain form.
    if (e.madeFile) text += " made=\"1\"";
    text += " />\n";
  }
  text += "</downloader>";
  return text;
}

bool CTaskListFile::Write(const std::string& text) const {
  const std::wstring temp = TempPathFor(path_);
  bool written = false;
  {
    base::UniqueFileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    // The bytes must be on disk before the rename makes them the list.
    written = WriteAll(file.Get(), text) && FlushFileBuffers(file.Get());
  }
  if (written && MoveFileExW(temp.c_str(), base::WidePath(path_).c_str(),
                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  // The caller reports why: the clean-up must not replace the reason.
  const DWORD error = GetLastError();
  DeleteFileW(temp.c_str());
  SetLastError(error);
  return false;
}

bool CTaskListFile::Load(std::vector<TaskListEntry>& entries, bool* damaged) const {
  if (damaged) *damaged = false;
  CXmlDocument doc;
  if (!doc.Create()) return false;
  std::string bytes;
  if (!ReadFileBytes(path_, bytes)) {
    // Only a list that is not there is an empty one.
    const DWORD error = GetLastError();
    if (damaged && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) *damaged = true;
    return true;
  }
  if (bytes.empty() || doc.Load(bytes)) {
    AddEntries(doc, entries);
    return true;
  }
  if (damaged) *damaged = true;
  // The file is written one task to a line: whatever broke the whole leaves the other
  // lines' tasks, each read as a list of its own.
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    const size_t first = line.find_first_not_of(" \t\r");
    const size_t last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos || line.compare(first, 6, "<task ") != 0 ||
        line.compare(last - 1, 2, "/>") != 0)
      continue;
    if (doc.Load(std::string(kHeader) + "<downloader>" + line + "</downloader>"))
      AddEntries(doc, entries);
  }
  return true;
}
