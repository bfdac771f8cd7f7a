#include "shellext/ParameterSplitter.h"

#include <gtest/gtest.h>

#include "app/DownloaderCommandLineInfo.h"
#include "base/Utf8.h"

namespace {

using shellext::DropSelection;
using shellext::ParameterSplitter;

// "C:\Program Files\Tolva\tolva.exe" with its quotes, give or take.
constexpr size_t kProgramChars = 40;
constexpr size_t kCommandLineTarget = 32767 - kProgramChars - 2;  // parameters only
constexpr size_t kHandOffTarget = 65531;

using Measure = size_t (*)(const std::wstring&);
size_t Chars(const std::wstring& text) { return text.size(); }
size_t Utf8Bytes(const std::wstring& text) { return base::Narrow(text).size(); }

DropSelection Selection(const std::vector<std::wstring>& paths) {
  DropSelection selection;
  selection.files = paths;
  selection.fileCount = static_cast<int>(paths.size());
  if (!paths.empty()) selection.lastPath = paths.back();
  return selection;
}

std::wstring Tail(const std::wstring& folder) {
  return folder.empty() ? L"" : L" \"" + folder + L"\"";
}

// Distinct paths C:\<number>\<body> whose parameter text in the several-paths form, with
// `folder`, measures exactly `target`: the last path is padded with ASCII to get there.
std::vector<std::wstring> PathsMeasuring(size_t target, const std::wstring& body,
                                         const std::wstring& folder, Measure measure) {
  std::vector<std::wstring> paths;
  size_t used = measure(L"\"\"" + Tail(folder));
  for (int i = 0;; ++i) {
    std::wstring number = std::to_wstring(100000 + i);
    std::wstring path = L"C:\\" + number + L"\\" + body;
    const size_t size = measure(path) + 1;
    if (used + 2 * size > target) {
      path.append(target - used - size, L'a');
      paths.push_back(path);
      return paths;
    }
    paths.push_back(path);
    used += size;
  }
}

// Checks what the program receives from every start, by both of its routes (its own
// command line and the hand-off to a running instance): each start within both limits,
// the folder in each, and together the paths of `expected`, each once and in order.
void ExpectDelivered(const ParameterSplitter::Parts& parts,
                     const std::vector<std::wstring>& expected, const std::wstring& folder) {
  std::vector<std::wstring> received;
  for (const std::wstring& parameters : parts.starts) {
    EXPECT_LE(kProgramChars + 1 + parameters.size() + 1, 32767u);
    const std::string text = base::Narrow(parameters);
    EXPECT_LE(text.size(), kHandOffTarget);
    auto handOff = CDownloaderCommandLineInfo::FromHandOffText(text);
    auto own = CDownloaderCommandLineInfo::FromCommandLine(
        (L"\"C:\\Program Files\\Tolva\\tolva.exe\" " + parameters).c_str());
    EXPECT_EQ(handOff.m_files, own.m_files);
    EXPECT_EQ(base::Narrow(folder), handOff.m_folder);
    EXPECT_EQ(base::Narrow(folder), own.m_folder);
    for (const std::string& file : handOff.m_files) received.push_back(base::Widen(file));
  }
  EXPECT_EQ(expected, received);
}

// Each limit in turn, met exactly and then passed by one: ASCII paths meet the command
// line's limit first; CJK paths, three UTF-8 bytes a character, meet the hand-off's first.
TEST(ParameterSplitterTest, EachLimitIsMetExactlyInOneStartAndPassedInTwo) {
  struct Case {
    const char* name;
    size_t target;
    Measure measure;
    std::wstring body;
    std::wstring folder;
  };
  const std::wstring cjk(100, L'\x6587');
  const Case cases[] = {
      {"command line", kCommandLineTarget, Chars, std::wstring(90, L'x'), L""},
      {"command line, folder", kCommandLineTarget, Chars, std::wstring(90, L'x'), L"D:\\target"},
      {"hand-off", kHandOffTarget, Utf8Bytes, cjk, L""},
      {"hand-off, CJK folder", kHandOffTarget, Utf8Bytes, cjk, L"D:\\\x4e0b\x8f7d"},
  };
  const ParameterSplitter splitter(kProgramChars);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::wstring> paths = PathsMeasuring(c.target, c.body, c.folder, c.measure);
    ParameterSplitter::Parts exact = splitter.Split(Selection(paths), c.folder);
    ASSERT_EQ(1u, exact.starts.size());
    EXPECT_EQ(c.target, c.measure(exact.starts[0]));
    ExpectDelivered(exact, paths, c.folder);
    if (c.measure == Utf8Bytes) {
      EXPECT_LT(exact.starts[0].size(), kCommandLineTarget);
    }

    paths.back() += L'a';
    ParameterSplitter::Parts over = splitter.Split(Selection(paths), c.folder);
    EXPECT_EQ(2u, over.starts.size());
    EXPECT_TRUE(over.skipped.empty());
    ExpectDelivered(over, paths, c.folder);
  }
}

TEST(ParameterSplitterTest, ALargeMixedSelectionGoesInAsFewStartsAsTheLimitsAllow) {
  std::vector<std::wstring> paths;
  for (int i = 0; i < 900; ++i) {
    std::wstring name = std::to_wstring(i);
    switch (i % 3) {
      case 0:
        paths.push_back(L"\\\\server\\share\\My Files\\" + name + std::wstring(120, L'a'));
        break;
      case 1:
        paths.push_back(L"C:\\\x8cc7\x6599\\" + name + std::wstring(60, L'\x6587'));
        break;
      default:
        paths.push_back(L"D:\\\U0001F600\\" + name + L"\U0001F4C1.txt");
    }
  }
  const ParameterSplitter splitter(kProgramChars);
  for (const std::wstring& folder : {std::wstring(), std::wstring(L"E:\\downloads")}) {
    ParameterSplitter::Parts parts = splitter.Split(Selection(paths), folder);
    ASSERT_GE(parts.starts.size(), 3u);
    EXPECT_TRUE(parts.skipped.empty());
    ExpectDelivered(parts, paths, folder);
    // No start is closed early: the next one's first path would not have fitted in it.
    size_t next = 0;
    for (size_t i = 0; i + 1 < parts.starts.size(); ++i) {
      next +=
          CDownloaderCommandLineInfo::FromHandOffText(base::Narrow(parts.starts[i])).m_files.size();
      std::wstring sources =
          parts.starts[i].substr(0, parts.starts[i].size() - Tail(folder).size());
      sources.insert(sources.size() - 1, paths[next] + L";");
      EXPECT_FALSE(splitter.Fits(sources + Tail(folder))) << i;
    }
  }
}

TEST(ParameterSplitterTest, APathThatCannotGoEvenAloneIsSkippedAndTheRestStillGo) {
  const ParameterSplitter splitter(kProgramChars);
  // The several-paths form of one path: quote, path, ";", quote.
  const std::wstring fits = L"C:\\" + std::wstring(kCommandLineTarget - 6, L'f');
  const std::wstring tooLong = fits + L"g";
  const std::vector<std::wstring> paths = {L"C:\\a.txt", fits, tooLong, L"C:\\b.txt"};
  ParameterSplitter::Parts parts = splitter.Split(Selection(paths), L"");
  EXPECT_EQ(std::vector<std::wstring>{tooLong}, parts.skipped);
  EXPECT_EQ(3u, parts.starts.size());
  ExpectDelivered(parts, {L"C:\\a.txt", fits, L"C:\\b.txt"}, L"");

  // The folder goes with every start, so it leaves less room for the path.
  parts = splitter.Split(Selection({fits, L"C:\\b.txt"}), L"D:\\t");
  EXPECT_EQ(std::vector<std::wstring>{fits}, parts.skipped);
  ExpectDelivered(parts, {L"C:\\b.txt"}, L"D:\\t");

  // A lone selected path keeps its one-path form, a character shorter; past that, nothing
  // is started.
  EXPECT_EQ(std::vector<std::wstring>{L"\"" + tooLong + L"\""},
            splitter.Split(Selection({tooLong}), L"").starts);
  parts = splitter.Split(Selection({tooLong + L"h"}), L"");
  EXPECT_TRUE(parts.starts.empty());
  EXPECT_EQ(std::vector<std::wstring>{tooLong + L"h"}, parts.skipped);
}

}  // namespace
