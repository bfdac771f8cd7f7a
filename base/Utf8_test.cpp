#include "base/Utf8.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8, RoundTripsEveryScriptAndLeavesAsciiAlone) {
  const std::string samples[] = {"plain.txt", "\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82.doc",
                                 "\xe6\x96\x87\xe4\xbb\xb6.bin", "caf\xc3\xa9 \xf0\x9f\x93\x81",
                                 ""};
  for (const auto& s : samples) EXPECT_EQ(base::Narrow(base::Widen(s)), s);
  EXPECT_EQ(base::Widen("abc"), L"abc");
  EXPECT_EQ(base::Widen("\xd0\x96"), std::wstring(1, wchar_t(0x0416)));
}

TEST(Utf8, LongPathsGetTheExtendedPrefix) {
  std::string shortPath = "C:\\data\\a.txt";
  EXPECT_EQ(base::WidePath(shortPath), L"C:\\data\\a.txt");

  std::string longPath = "C:\\" + std::string(300, 'x') + "/f.txt";
  std::wstring w = base::WidePath(longPath);
  EXPECT_EQ(w.rfind(L"\\\\?\\C:\\", 0), 0u);
  EXPECT_EQ(w.find(L'/'), std::wstring::npos);

  std::string longUnc = "\\\\server\\share\\" + std::string(300, 'y');
  EXPECT_EQ(base::WidePath(longUnc).rfind(L"\\\\?\\UNC\\server\\share\\", 0), 0u);
}

// A name Windows would take for a device or trim is opened as the file it is.
TEST(Utf8, NamesWindowsWouldAlterGetTheVerbatimForm) {
  const std::pair<const char*, const wchar_t*> cases[] = {
      {"C:\\in\\NUL.txt", L"\\\\?\\C:\\in\\NUL.txt"},
      {"C:\\in\\con", L"\\\\?\\C:\\in\\con"},
      {"C:\\in\\Com7.tar.gz", L"\\\\?\\C:\\in\\Com7.tar.gz"},
      {"C:\\lpt1\\a.txt", L"\\\\?\\C:\\lpt1\\a.txt"},
      {"C:\\in\\report.", L"\\\\?\\C:\\in\\report."},
      {"C:/in/blank ", L"\\\\?\\C:\\in\\blank "},
      {"\\\\srv\\s\\AUX.doc", L"\\\\?\\UNC\\srv\\s\\AUX.doc"},
      {"C:\\in\\nullish.txt", L"C:\\in\\nullish.txt"},
      {"C:\\in\\COM0", L"C:\\in\\COM0"},
      {"C:\\in\\..\\NUL.txt", L"C:\\in\\..\\NUL.txt"},  // only the ordinary form resolves ".."
      {"in\\NUL.txt", L"in\\NUL.txt"},                  // not a full path
  };
  for (const auto& [path, wide] : cases) EXPECT_EQ(base::WidePath(path), wide) << path;
  EXPECT_TRUE(base::NameWindowsAlters("prn.x"));
  EXPECT_FALSE(base::NameWindowsAlters("prnt.x"));
}

}  // namespace
