// Random and hostile command lines and hand-off texts: the parser never crashes, gives
// only sources a file can have, gives the same answer twice; a long text split for the
// hand-off area carries exactly its sources and its folder; every destination the kernel
// makes of a source lies directly in the folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "app/DownloaderCommandLineInfo.h"
#include "app/HandOffProtocol.h"
#include "app/HandOffWriter.h"
#include "base/Utf8.h"
#include "engine/DownloaderKernel.h"
#include "engine/testing/EngineTesting.h"
#include "tests/FaultSeed.h"
#include "tests/ProgramCopy.h"

namespace {

using Info = CDownloaderCommandLineInfo;
using Files = std::vector<std::string>;

const std::string kCyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82";
const std::string kCjk = "\xE5\xA0\xB1\xE5\x91\x8A";

// Pieces a random text is built of: the syntax's own characters, path parts, names in
// other scripts, bytes that are no UTF-8, zeros and line ends.
std::string RandomText(faulttest::Seeded& random, size_t pieces) {
  static const std::vector<std::string> kPieces = {
      "\"",   ";",       " ",        "\t",   "\\",         "/",
      ".",    "..",      "\" \"",    ";\"",  "\";",        ":",
      "C:",   "\\\\srv", "share",    "a",    "report.doc", kCyrillic,
      kCjk,   "\xFF",    "\xC0\xAF", "\x80", "\xE5\xA0",   std::string(1, '\0'),
      "\r\n", "-",       "%TEMP%",   "*?"};
  std::string text;
  for (size_t i = 0; i < pieces; ++i) {
    if (random.OneIn(40))
      text += std::string(random.Between(100, 400), 'p');  // one long path part
    else
      text += kPieces[random.Between(0, kPieces.size() - 1)];
  }
  return text;
}

// A text as a failure message shows it: control bytes escaped, long ones cut.
std::string Shown(const std::string& text) {
  std::string out;
  for (unsigned char c : text.substr(0, 120)) {
    if (c < 0x20) {
      char code[8];
      snprintf(code, sizeof code, "\\x%02X", c);
      out += code;
    } else {
      out += static_cast<char>(c);
    }
  }
  return text.size() > 120 ? out + "... (" + std::to_string(text.size()) + " bytes)" : out;
}

::testing::AssertionResult SoundSources(const Info& info) {
  for (const std::string& s : info.m_files) {
    if (s.empty()) return ::testing::AssertionFailure() << "an empty source";
    if (s.find_first_of(";\"") != std::string::npos || s.find('\0') != std::string::npos)
      return ::testing::AssertionFailure() << "source [" << Shown(s) << "] holds ; \" or a zero";
    const std::string blanks = " \t\r\n";
    if (blanks.find(s.front()) != std::string::npos || blanks.find(s.back()) != std::string::npos)
      return ::testing::AssertionFailure() << "source [" << Shown(s) << "] is not trimmed";
  }
  if (info.m_folder.find('\0') != std::string::npos)
    return ::testing::AssertionFailure() << "the folder holds a zero";
  if (!info.m_folder.empty() && info.m_paramCount < 2)
    return ::testing::AssertionFailure() << "a folder without a second parameter";
  return ::testing::AssertionSuccess();
}

bool Same(const Info& a, const Info& b) {
  return a.m_files == b.m_files && a.m_folder == b.m_folder && a.m_paramCount == b.m_paramCount;
}

CDownloaderCommandLineInfo OwnCommandLine(const std::string& arguments) {
  return Info::FromCommandLine(base::Widen("\"C:\\Program Files\\Tolva\\tolva.exe\" " +
                                           arguments.substr(0, arguments.find('\0')))
                                   .c_str());
}

// The parts SplitText makes of `text`: each fits the area, and together they carry the
// whole text's sources but those too long to go alone, in order, each with its folder.
void ExpectSplitKeepsEverything(const std::string& text) {
  size_t dropped = 0;
  const std::vector<std::string> parts = CHandOffWriter::SplitText(text, dropped);
  for (const std::string& part : parts) EXPECT_LE(part.size(), handoff::kMaxTextBytes);
  if (text.size() <= handoff::kMaxTextBytes) {
    EXPECT_EQ(parts, std::vector<std::string>{text});
    EXPECT_EQ(dropped, 0u);
    return;
  }
  const Info whole = Info::FromHandOffText(text);
  Files carried;
  for (const std::string& part : parts) {
    const Info info = Info::FromHandOffText(part);
    EXPECT_EQ(info.m_folder, whole.m_folder);
    carried.insert(carried.end(), info.m_files.begin(), info.m_files.end());
  }
  // What is carried is the whole list in order, less the sources left out; only a source
  // that could not go even alone with the folder (quotes and separators aside) is left out.
  size_t next = 0, left = 0;
  for (const std::string& s : whole.m_files) {
    if (next < carried.size() && carried[next] == s) {
      ++next;
      continue;
    }
    ++left;
    EXPECT_GT(s.size() + whole.m_folder.size() + 8, handoff::kMaxTextBytes) << s.size();
  }
  EXPECT_EQ(next, carried.size()) << "a part carries a source the text does not have";
  EXPECT_EQ(dropped, left);
}

TEST(CommandLineFaults, RandomTextsGiveSoundSourcesTheSameWayEveryTime) {
  faulttest::Seeded random("random parameter texts");
  int texts = 0, withSources = 0, withFolder = 0;
  for (int round = 0; round < 3000; ++round, ++texts) {
    const std::string text = RandomText(random, random.Between(0, 60));
    SCOPED_TRACE("round " + std::to_string(round));
    const Info handed = Info::FromHandOffText(text);
    ASSERT_TRUE(SoundSources(handed));
    ASSERT_TRUE(Same(handed, Info::FromHandOffText(text)));
    const Info own = OwnCommandLine(text);
    ASSERT_TRUE(SoundSources(own));
    ASSERT_TRUE(Same(own, OwnCommandLine(text)));
    // Whichever instance reads it, a text gives the same sources and folder.
    ASSERT_TRUE(Same(handed, own)) << Shown(text);
    // The flags of a parameter change nothing.
    Info plain, flagged;
    plain.ParseParam(text, false, false);
    flagged.ParseParam(text, true, true);
    ASSERT_TRUE(SoundSources(plain));
    ASSERT_TRUE(Same(plain, flagged));
    withSources += !handed.m_files.empty();
    withFolder += !handed.m_folder.empty();
    ExpectSplitKeepsEverything(text);
  }
  std::cout << "[ counts   ] " << texts << " random texts, " << withSources << " gave sources, "
            << withFolder << " a folder" << std::endl;
  EXPECT_GT(withSources, texts / 4);
  EXPECT_GT(withFolder, texts / 20);
}

TEST(CommandLineFaults, LongTextsSplitForTheAreaKeepEverySourceAndTheFolder) {
  faulttest::Seeded random("long hand-off texts");
  std::vector<std::string> texts = {std::string(70000, ';'), std::string(70000, '"'),
                                    "\"" + std::string(70000, 'x') + "\"",
                                    "\"" + std::string(70000, 'x') + "\" \"D:\\In\"",
                                    "\"a;b\" \"" + std::string(70000, 'f') + "\""};
  std::string blankFolder = "\"";  // a folder of one blank: " ;" in the text
  while (blankFolder.size() < 70000) blankFolder += "C:\\f;";
  texts.push_back(blankFolder + "\" \" ;\"");
  for (int i = 0; i < 40; ++i) {
    // Sender-shaped texts of random paths and a random folder, or plain random ones.
    std::string text;
    if (i % 2) {
      while (text.size() < 70000) text += RandomText(random, 100);
    } else {
      text = "\"";
      while (text.size() < 70000) text += RandomText(random, random.Between(1, 8)) + ";";
      text += "\"";
      if (random.OneIn(4))
        text += " \"" + RandomText(random, random.Between(0, 6)) + "\"";
      else if (random.OneIn(2))
        text += " \"D:\\In\\" + kCyrillic + (random.OneIn(2) ? ";" : "") + "\"";
    }
    texts.push_back(text);
  }
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE("text " + std::to_string(i) + " of " + std::to_string(texts[i].size()) + " bytes");
    ExpectSplitKeepsEverything(texts[i]);
    EXPECT_TRUE(SoundSources(Info::FromHandOffText(texts[i])));
  }
  std::cout << "[ counts   ] " << texts.size() << " texts of 70,000 bytes and more" << std::endl;
}

TEST(CommandLineFaults, OddFormsGiveTheTasksTheSyntaxGivesOrNone) {
  const std::string longPath = "\\\\srv\\share\\" + std::string(300, 'd') + "\\" + kCjk + ".dat";
  struct Case {
    std::string text;
    Files files;
    std::string folder;
  } cases[] = {
      {"\"C:\\a.txt", {"C:\\a.txt"}, ""},  // no closing quote
      {"C:\\a.txt\"", {"C:\\a.txt"}, ""},  // no opening quote
      {"\"\"\"", {}, ""},                  // quotes only
      {";;;;;;", {}, ""},                  // semicolons only
      {"\"C:\\a b\\c.txt;\" \"D:\\In\"", {"C:\\a b\\c.txt"}, "D:\\In"},
      // A quote inside a path closes its quoting there: the rest joins the argument.
      {"\"C:\\a\"b.txt\" \"D:\\In\"", {"C:\\ab.txt D:\\In"}, ""},
      {"\"" + longPath + "\" \"D:\\" + kCyrillic + "\"", {longPath}, "D:\\" + kCyrillic},
      {"\"C:\\s\\..\\..\\x.txt;..\\y.txt\"", {"C:\\s\\..\\..\\x.txt", "..\\y.txt"}, ""},
      {std::string("\"C:\\a.txt\0C:\\b.txt\"", 20), {"C:\\a.txt"}, ""},  // ends at the zero
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    for (const Info& info : {Info::FromHandOffText(c.text), OwnCommandLine(c.text)}) {
      EXPECT_EQ(info.m_files, c.files);
      EXPECT_EQ(info.m_folder, c.folder);
    }
  }
}

// Whatever the sources say, a destination is a file directly in the folder: never the
// folder itself, its parent or anything above it.
TEST(CommandLineFaults, DestinationsStayInTheirFolder) {
  tolvatest::TempFolder dir;
  const std::string folder = dir.File("in");
  ASSERT_TRUE(CreateDirectoryW(base::Widen(folder).c_str(), nullptr));
  auto full = [](const std::string& path) {
    wchar_t buffer[32768];
    DWORD n = GetFullPathNameW(base::WidePath(path).c_str(), 32768, buffer, nullptr);
    std::wstring text(buffer, n < 32768 ? n : 0);
    if (text.rfind(L"\\\\?\\", 0) == 0) text = text.substr(4);
    return text;
  };
  const std::wstring inside = full(folder) + L"\\";

  faulttest::Seeded random("sources for destinations");
  std::vector<std::string> sources = {
      "a/../../evil.txt",   "C:\\x\\..", "C:\\x\\",    "C:\\x\\.",
      "C:\\x\\...",         "..",        "C:\\x\\ . ", "\\\\srv/s/../../up.txt",
      "C:/data/report.doc", "C:file.txt"};
  for (int i = 0; i < 400; ++i) {
    const Info info = Info::FromHandOffText(RandomText(random, random.Between(1, 12)));
    sources.insert(sources.end(), info.m_files.begin(), info.m_files.end());
  }
  CDownloaderKernel kernel;
  kernel.SetListPath(dir.File("tolva.info"));
  kernel.AddTasks(sources, folder);
  int outside = 0;
  for (int i = 0; i < kernel.GetTaskCount(); ++i) {
    const std::wstring destination = full(kernel.GetTask(i)->destination);
    const bool direct = destination.size() > inside.size() &&
                        destination.compare(0, inside.size(), inside) == 0 &&
                        destination.find(L'\\', inside.size()) == std::wstring::npos;
    if (!direct) {
      ++outside;
      ADD_FAILURE() << "source [" << Shown(kernel.GetTask(i)->source) << "] goes to ["
                    << base::Narrow(destination) << "]";
    }
  }
  std::cout << "[ counts   ] " << sources.size() << " sources, " << kernel.GetTaskCount()
            << " tasks, " << outside << " outside their folder" << std::endl;
  EXPECT_GT(kernel.GetTaskCount(), 20);
}

// The real program: a first start with random arguments after a real file and its
// folder, and a later start whose text holds another among random sources, too long in
// UTF-8 for one hand-off area; both files arrive.
using CommandLineFaultsProgram = testing_tolva::ProgramTest;

TEST_F(CommandLineFaultsProgram, RandomArgumentsAroundRealFilesOnBothRoutes) {
  using namespace testing_tolva;
  faulttest::Seeded random("program arguments");
  const std::string first = kCyrillic + "1.txt", later = kCjk + "2.txt";
  const std::string firstContent = f.Source(first, 3000, 1);
  const std::string laterContent = f.Source(later, 4000, 2);

  // Positions 2 and later are sources again, whatever they hold.
  std::string noise = RandomText(random, 40);
  noise.erase(std::remove(noise.begin(), noise.end(), '\0'), noise.end());
  ASSERT_TRUE(
      program.StartFirst("\"" + U8(f.src) + "\\" + first + "\" \"" + U8(f.dst) + "\" " + noise));
  EXPECT_TRUE(Arrives(f.dst + L"\\" + W(first), firstContent));

  // Names in CJK take three bytes each: 31,000 characters, the most a command line
  // holds, make some 90,000 bytes, so the text goes in several parts.
  static const std::vector<std::string> kQuoteFree = {kCjk, kCyrillic, "a", "\\",   ".",
                                                      "..", " ",       ";", "\xFF", "C:"};
  std::string text = "\"" + U8(f.src) + "\\" + later + ";";
  while (W(text).size() < 31000)
    text += random.OneIn(5) ? kQuoteFree[random.Between(0, kQuoteFree.size() - 1)] : kCjk;
  text += ";\" \"" + U8(f.dst) + "\"";
  base::UniqueKernelHandle start = program.Start(text);
  ASSERT_TRUE(start);
  ASSERT_EQ(WaitForSingleObject(start.Get(), 60000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(start.Get(), &code);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Arrives(f.dst + L"\\" + W(later), laterContent));
  EXPECT_NE(program.Log().find("sent as"), std::string::npos) << "the text was not split";
  ASSERT_TRUE(program.CloseFirst());
}

}  // namespace
