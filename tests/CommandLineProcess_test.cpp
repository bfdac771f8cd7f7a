// Every parameter form, through the program's own command line (a first start) and
// through the hand-off (a later start), judged by where the files arrive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/ProgramCopy.h"

namespace {

using namespace testing_tolva;
using namespace tolvatest;

struct Expected {
  std::wstring path;
  std::string content;
};

struct Case {
  std::string what;
  std::string arguments;
  std::vector<Expected> arrive;
  std::vector<std::wstring> absent;  // where nothing may appear
};

// Sources, folders and expectations, the same for both routes; `tag` keeps names of the
// two routes apart where they share a folder (the drive root).
// `work` is the program's working folder.
std::vector<Case> MakeCases(const Folders& f, const std::wstring& tag, const std::wstring& work) {
  const std::string S = U8(f.src), D = U8(f.dst);
  auto folder = [&](const std::string& name) {
    std::wstring path = f.dst + L"\\" + W(name);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
  };
  int seed = 100;
  auto src = [&](const std::string& name) {
    const int s = seed++;
    return f.Source(name, 3000 + s, s);
  };
  std::vector<Case> cases;

  const std::wstring c1 = folder("c1");
  cases.push_back({"two sources in one parameter, then the folder",
                   "\"" + S + "\\p1;" + S + "\\q1;\" \"" + D + "\\c1\"",
                   {{c1 + L"\\p1", src("p1")}, {c1 + L"\\q1", src("q1")}},
                   {}});
  cases.push_back({"one source alone: the default folder",
                   "\"" + S + "\\p2\"",
                   {{f.def + L"\\p2", src("p2")}},
                   {}});
  const std::wstring c3 = folder("c3");
  cases.push_back({"the second parameter is the folder, the third a source",
                   "\"" + S + "\\p3\" \"" + D + "\\c3\" \"" + S + "\\r3\"",
                   {{c3 + L"\\p3", src("p3")}, {c3 + L"\\r3", src("r3")}},
                   {}});
  cases.push_back(
      {"blanks trimmed, empty pieces dropped",
       "\"" + S + "\\p4; " + S + "\\q4;;" + S + "\\r4\"",
       {{f.def + L"\\p4", src("p4")}, {f.def + L"\\q4", src("q4")}, {f.def + L"\\r4", src("r4")}},
       {}});
  cases.push_back({"an empty folder parameter: the default folder",
                   "\"" + S + "\\p5\" \"\"",
                   {{f.def + L"\\p5", src("p5")}},
                   {}});
  const std::wstring c6 = folder("c6");
  cases.push_back({"a folder loses its trailing ;",
                   "\"" + S + "\\p6\" \"" + D + "\\c6;\"",
                   {{c6 + L"\\p6", src("p6")}},
                   {}});
  // A folder: its whole tree, three levels deep, under a folder of its own name.
  const std::wstring c7 = folder("c7");
  const std::string tree = "дерево" + U8(tag);
  for (const char* sub : {"", "\\под", "\\под\\глубже"})
    CreateDirectoryW((f.src + L"\\" + W(tree + sub)).c_str(), nullptr);
  cases.push_back(
      {"a folder among the sources",
       "\"" + S + "\\" + tree + "\\;\" \"" + D + "\\c7\"",
       {{c7 + L"\\" + W(tree) + L"\\a.bin", src(tree + "\\a.bin")},
        {c7 + L"\\" + W(tree) + L"\\под\\b.bin", src(tree + "\\под\\b.bin")},
        {c7 + L"\\" + W(tree) + L"\\под\\глубже\\c.txt", src(tree + "\\под\\глубже\\c.txt")}},
       {}});
  // The shell sends a drive root as E:\ before the closing quote. The own command line
  // reads backslash-quote as a quote (folder "C:"), the hand-off keeps it ("C:\"):
  // either way the file lands in the root.
  const std::string rootName = "root" + U8(tag) + ".txt";
  cases.push_back({"a drive root as the folder",
                   "\"" + S + "\\" + rootName + "\" \"C:\\\"",
                   {{L"C:\\" + W(rootName), src(rootName)}},
                   {}});
  const std::string cyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82" + U8(tag) + ".doc";
  const std::wstring c8 = folder("\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0");
  cases.push_back({"names in Cyrillic",
                   "\"" + S + "\\" + cyrillic + ";\" \"" + U8(c8) + "\"",
                   {{c8 + L"\\" + W(cyrillic), src(cyrillic)}},
                   {}});

  // Without quotes blanks separate arguments on both routes: the source p9 and the
  // folder x\c9 (relative: the program's working folder, the same for both instances),
  // never the file c9 in the source folder's subfolder "p9 x".
  const std::wstring relative = work + L"\\x\\c9";
  CreateDirectoryW((work + L"\\x").c_str(), nullptr);
  CreateDirectoryW(relative.c_str(), nullptr);
  const std::wstring odd = f.src + L"\\p9 x";
  CreateDirectoryW(odd.c_str(), nullptr);
  EXPECT_TRUE(WriteBytes(odd + L"\\c9", Pattern(777, 9)));
  cases.push_back(
      {"no quotes", S + "\\p9 x\\c9", {{relative + L"\\p9", src("p9")}}, {f.def + L"\\c9"}});
  // Sources and folder as scripts and typed lines give them: unquoted, with and without
  // the last source's ";", or only the folder in quotes. Nothing goes to the default
  // folder, and the folder itself is no source.
  const char* joins[] = {" ", "; ", "; \"", "\" "};
  const bool blankFree = (S + D).find(' ') == std::string::npos;
  EXPECT_TRUE(blankFree) << "unquoted forms need folders without blanks: " << S << ", " << D;
  for (int i = 0; blankFree && i < 4; ++i) {
    const std::string n = std::to_string(10 + i);
    const std::wstring into = folder("c" + n);
    const std::string a = "a" + n + ".bin", b = "b" + n + ".bin";
    const std::string join = joins[i];
    std::string text = S + "\\" + a + ";" + S + "\\" + b + join + D + "\\c" + n;
    if (join.back() == '"') text += "\"";
    if (join.front() == '"') text = "\"" + text;
    cases.push_back({"sources and folder meeting at \"" + join + "\"",
                     text,
                     {{into + L"\\" + W(a), src(a)}, {into + L"\\" + W(b), src(b)}},
                     {f.def + L"\\" + W(a), f.def + L"\\" + W(b), f.def + L"\\c" + W(n)}});
  }
  return cases;
}

void Check(const Case& c, const ProgramCopy& program) {
  SCOPED_TRACE(c.what + ": " + c.arguments);
  for (const Expected& e : c.arrive) {
    ::testing::AssertionResult arrived = Arrives(e.path, e.content);
    // What the program did instead is in its log.
    EXPECT_TRUE(arrived) << "its log:\n" << (arrived ? std::string() : program.LogTail(3000));
  }
  for (const std::wstring& path : c.absent)
    EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES) << U8(path);
}

void RemoveRootFiles(const std::vector<Case>& cases) {
  for (const Case& c : cases)
    for (const Expected& e : c.arrive)
      if (e.path.rfind(L"C:\\", 0) == 0) DeleteFileW(e.path.c_str());
}

using Parameters = ProgramTest;

TEST_F(Parameters, OwnCommandLineOfTheFirstStart) {
  const std::vector<Case> cases = MakeCases(f, L"1" + UniqueText(), program.Folder());
  for (const Case& c : cases) {
    ASSERT_TRUE(program.StartFirst(c.arguments)) << c.what;
    Check(c, program);
    ASSERT_TRUE(program.CloseFirst()) << c.what;
  }
  RemoveRootFiles(cases);
}

TEST_F(Parameters, HandOffToTheRunningInstance) {
  const std::vector<Case> cases = MakeCases(f, L"2" + UniqueText(), program.Folder());
  ASSERT_TRUE(program.StartFirst(""));
  for (const Case& c : cases) {
    base::UniqueKernelHandle later = program.Start(c.arguments);
    ASSERT_TRUE(later) << c.what;
    ASSERT_EQ(WaitForSingleObject(later.Get(), 60000), WAIT_OBJECT_0) << c.what;
    Check(c, program);
  }
  // An empty text adds nothing.
  const size_t added = program.AddedTasks().size();
  base::UniqueKernelHandle empty = program.Start("");
  ASSERT_EQ(WaitForSingleObject(empty.Get(), 60000), WAIT_OBJECT_0);
  EXPECT_EQ(program.AddedTasks().size(), added);
  EXPECT_TRUE(program.CloseFirst());
  RemoveRootFiles(cases);
}

}  // namespace
