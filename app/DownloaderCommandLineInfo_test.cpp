#include "app/DownloaderCommandLineInfo.h"

#include <gtest/gtest.h>

#include "base/Utf8.h"

namespace {

using Files = std::vector<std::string>;

// The program's own arguments, as the system passes them after the program name.
CDownloaderCommandLineInfo Route1(const std::string& args) {
  return CDownloaderCommandLineInfo::FromCommandLine(
      base::Widen("\"C:\\Program Files\\Tolva\\tolva.exe\" " + args).c_str());
}

CDownloaderCommandLineInfo Route2(const std::string& text) {
  return CDownloaderCommandLineInfo::FromHandOffText(text);
}

void ExpectBothRoutes(const std::string& text, const Files& files, const std::string& folder) {
  for (const auto& info : {Route1(text), Route2(text)}) {
    EXPECT_EQ(info.m_files, files) << text;
    EXPECT_EQ(info.m_folder, folder) << text;
  }
}

TEST(CommandLine, SenderFormsGiveTheSameResultOnBothRoutes) {
  // "Download into..." with two items.
  ExpectBothRoutes("\"C:\\s\\p.doc;C:\\s\\q.doc;\" \"D:\\In\"", {"C:\\s\\p.doc", "C:\\s\\q.doc"},
                   "D:\\In");
  // "Download..." with one item: no folder, so the default one.
  ExpectBothRoutes("\"C:\\s\\p.doc\"", {"C:\\s\\p.doc"}, "");
  // The second parameter is always the folder; later ones are sources again.
  ExpectBothRoutes("\"p\" \"d\" \"r\"", {"p", "r"}, "d");
  // Blanks trimmed, empty pieces dropped.
  ExpectBothRoutes("\"p; q;;r\"", {"p", "q", "r"}, "");
  // An empty folder parameter leaves the folder empty.
  ExpectBothRoutes("\"p\" \"\"", {"p"}, "");
  // A folder loses one trailing ";".
  ExpectBothRoutes("\"p\" \"d;\"", {"p"}, "d");
  // Names in any script.
  const std::string cyr =
      "C:\\\xD0\x94\xD0\xBE\xD0\xBA\\\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.doc";
  const std::string cyrFolder = "D:\\\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";
  ExpectBothRoutes("\"" + cyr + ";\" \"" + cyrFolder + "\"", {cyr}, cyrFolder);
}

TEST(CommandLine, EveryTextGivesTheSameOnBothRoutesAsThePlatformSplitsIt) {
  const struct {
    std::string text;
    Files files;
    std::string folder;
  } cases[] = {
      // Without quotes blanks separate: the source p and the folder q.
      {"p q", {"p"}, "q"},
      // As scripts and typed command lines give it, sources with or without a trailing ";".
      {"Z:\\s\\a.bin;Z:\\s\\b.bin Z:\\Into", {"Z:\\s\\a.bin", "Z:\\s\\b.bin"}, "Z:\\Into"},
      {"Z:\\s\\a.bin;Z:\\s\\b.bin; Z:\\Into", {"Z:\\s\\a.bin", "Z:\\s\\b.bin"}, "Z:\\Into"},
      {"Z:\\s\\a.bin;Z:\\s\\b.bin; \"Z:\\Into\"", {"Z:\\s\\a.bin", "Z:\\s\\b.bin"}, "Z:\\Into"},
      {"\"Z:\\s\\a.bin;Z:\\s\\b.bin;\" Z:\\Into", {"Z:\\s\\a.bin", "Z:\\s\\b.bin"}, "Z:\\Into"},
      // Only the folder, or only the sources, hold a blank.
      {"C:\\s\\p.bin;C:\\s\\q.bin \"D:\\My In\"", {"C:\\s\\p.bin", "C:\\s\\q.bin"}, "D:\\My In"},
      {"\"C:\\My s\\p.bin;\" D:\\In", {"C:\\My s\\p.bin"}, "D:\\In"},
      // An unquoted blank inside a path separates there, on both routes alike.
      {"C:\\My s\\p.bin \"D:\\In\"", {"C:\\My", "D:\\In"}, "s\\p.bin"},
      {"\"p\" D:\\My In", {"p", "In"}, "D:\\My"},
      // A drive root sent with its backslash before the closing quote: backslash-quote
      // is a literal quote, which the parameter rule takes off (the file goes to E:\).
      {"\"p\" \"E:\\\"", {"p"}, "E:"},
      // Leading "-" or "/" stays part of the path: the program has no switches.
      {"-draft.txt //srv/share", {"-draft.txt"}, "//srv/share"},
      // Tabs separate too; quotes group wherever they stand.
      {"p\tq", {"p"}, "q"},
      {"C:\\a\" \"b.txt D:\\In", {"C:\\a b.txt"}, "D:\\In"},
  };
  for (const auto& c : cases) ExpectBothRoutes(c.text, c.files, c.folder);
}

TEST(CommandLine, NothingGivenAddsNothing) {
  for (const auto& info : {Route2(""), Route2("   "), Route1(""),
                           CDownloaderCommandLineInfo::FromCommandLine(L"tolva.exe"),
                           CDownloaderCommandLineInfo::FromCommandLine(L"")}) {
    EXPECT_TRUE(info.m_files.empty());
    EXPECT_EQ(info.m_folder, "");
  }
  EXPECT_EQ(Route2("").m_paramCount, 0);
  EXPECT_EQ(Route1("\"\" \"\" \"\"").m_paramCount, 3);
  EXPECT_TRUE(Route1("\"\" \"\" \"\"").m_files.empty());
}

TEST(CommandLine, ParseParamCountsEveryParameterAndStripsOneQuoteEachEnd) {
  CDownloaderCommandLineInfo info;
  info.ParseParam("\"a;b;\"", false, false);
  info.ParseParam("\"", false, false);  // a lone quote: empty folder
  info.ParseParam("c;;", true, true);   // only one ";" is taken off, the split drops the rest
  info.ParseParam("\"\"x\"\"", false, false);  // one quote off each end leaves "x": no path
  EXPECT_EQ(info.m_files, Files({"a", "b", "c"}));
  EXPECT_EQ(info.m_folder, "");
  EXPECT_EQ(info.m_paramCount, 4);

  CDownloaderCommandLineInfo folder;
  folder.ParseParam("p", false, false);
  folder.ParseParam(" D:\\In\\ ", false, false);  // the folder is taken as it is
  EXPECT_EQ(folder.m_folder, " D:\\In\\ ");
}

TEST(CommandLine, SplitListTrimsDropsEmptiesAndResumesPastSeparatorStart) {
  Files list = {"kept"};
  CDownloaderCommandLineInfo::SplitList(" a \t;\r\nb\n;; ;c;", ";", list);
  EXPECT_EQ(list, Files({"kept", "a", "b", "c"}));

  Files pieces;
  CDownloaderCommandLineInfo::SplitList("\"x;\" \"y\" \"z\"", "\" \"", pieces);
  EXPECT_EQ(pieces, Files({"\"x;", "\"y", "\"z\""}));

  Files none;
  CDownloaderCommandLineInfo::SplitList("", ";", none);
  CDownloaderCommandLineInfo::SplitList(";;;", ";", none);
  EXPECT_TRUE(none.empty());
}

TEST(CommandLine, RawArgumentsAreTheLineAfterTheProgramName) {
  using Info = CDownloaderCommandLineInfo;
  EXPECT_EQ(Info::RawArguments(L"\"C:\\Program Files\\tolva.exe\"  \"p;\" \"d\""), "\"p;\" \"d\"");
  EXPECT_EQ(Info::RawArguments(L"tolva.exe\t p  q "), "p  q ");
  EXPECT_EQ(Info::RawArguments(L"tolva.exe"), "");
  EXPECT_EQ(Info::RawArguments(L"\"C:\\x\\tolva.exe\""), "");
  EXPECT_EQ(Info::RawArguments(L"tolva.exe \"\x0416.txt\""), "\"\xD0\x96.txt\"");
}

}  // namespace
