// Damaged, foreign and huge task list files: the kernel loads what is valid, never
// crashes, and a list of 100,000 tasks costs little memory and few threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "base/ComScope.h"
#include "base/Utf8.h"
#include "engine/DownloaderKernel.h"
#include "engine/TaskListFile.h"
#include "engine/testing/EngineTesting.h"
#include "tests/FaultSeed.h"

// After windows.h.
#include <psapi.h>

namespace {

using tolvatest::TempFolder;
using Sources = std::vector<std::string>;

const std::string kDeclaration = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n";
const std::string kCyrillic = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82";  // UTF-8

std::string TaskLine(const std::string& attributes) { return "\t<task " + attributes + " />\n"; }
std::string Task(const std::string& name, const std::string& source, const std::string& dest,
                 int state = 1) {
  return TaskLine("name=\"" + name + "\" source=\"" + source + "\" destination=\"" + dest +
                  "\" state=\"" + std::to_string(state) + "\"");
}
std::string List(const std::string& body) {
  return kDeclaration + "<downloader>\n" + body + "</downloader>";
}

std::string Utf16(const std::string& utf8, bool bigEndian) {
  std::wstring wide = base::Widen(utf8);
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (wchar_t c : wide) {
    char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>((c >> 8) & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return out;
}

std::vector<TaskListEntry> TasksOf(CDownloaderKernel& kernel) {
  std::vector<TaskListEntry> tasks;
  for (int i = 0; i < kernel.GetTaskCount(); ++i) {
    CDownloadTask* t = kernel.GetTask(i);
    tasks.push_back({t->name, t->source, t->destination, t->state.load()});
  }
  return tasks;
}

// Long texts shown by their start and length, so a failure stays readable.
std::string Shown(const std::string& text) {
  if (text.size() <= 80) return text;
  return text.substr(0, 40) + "... (" + std::to_string(text.size()) + " bytes)";
}

Sources SourcesOf(const std::vector<TaskListEntry>& tasks) {
  Sources sources;
  for (const auto& t : tasks) sources.push_back(Shown(t.source));
  return sources;
}

void ExpectSameEntries(const std::vector<TaskListEntry>& a, const std::vector<TaskListEntry>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(Shown(a[i].name), Shown(b[i].name)) << i;
    EXPECT_TRUE(a[i].name == b[i].name) << i;
    EXPECT_EQ(Shown(a[i].source), Shown(b[i].source)) << i;
    EXPECT_TRUE(a[i].source == b[i].source) << i;
    EXPECT_EQ(Shown(a[i].destination), Shown(b[i].destination)) << i;
    EXPECT_TRUE(a[i].destination == b[i].destination) << i;
    EXPECT_EQ(a[i].state, b[i].state) << i;
  }
}

struct Damaged {
  const char* what;
  std::string bytes;
  Sources loads;  // the sources of the tasks that must come back, in order
};

std::vector<Damaged> DamagedFiles() {
  const std::string good = Task("a", "C:\\s\\a.txt", "C:\\d\\a.txt");
  const std::string big(100 * 1024, 'x');
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<g>";
  std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE downloader [\n<!ENTITY a \"" +
                     std::string(100, 'a') + "\">\n";
  for (int level = 1; level <= 9; ++level) {
    std::string refs;
    for (int k = 0; k < 10; ++k) refs += "&" + std::string(1, char('a' + level - 1)) + ";";
    bomb += "<!ENTITY " + std::string(1, char('a' + level)) + " \"" + refs + "\">\n";
  }
  bomb += "]>\n<downloader>" + Task("&j;", "C:\\s\\b.txt", "C:\\d\\b.txt") + "</downloader>";

  const std::string utf16Body =
      "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<downloader>\n" +
      Task(kCyrillic, "C:\\s\\" + kCyrillic + ".doc", "C:\\d\\" + kCyrillic + ".doc") +
      "</downloader>";
  const Sources cyrillicSource = {"C:\\s\\" + kCyrillic + ".doc"};
  // What stays of a broken list: its task lines that are whole.
  const Sources a = {"C:\\s\\a.txt"};
  return {
      {"an empty file", "", {}},
      {"blanks only", " \n\t\n", {}},
      {"the declaration only", kDeclaration, {}},
      {"cut inside an element",
       kDeclaration + "<downloader>\n" + good + "\t<task name=\"b\" source=\"C:\\s\\b", a},
      {"no end tag", kDeclaration + "<downloader>\n" + good, a},
      {"a wrong end tag", kDeclaration + "<downloader>\n" + good + "</download>", a},
      {"two roots", List(good) + "<downloader>" + good + "</downloader>", a},
      {"another root", kDeclaration + "<tasks>" + good + "</tasks>", {}},
      {"tasks one level too deep", List("<group>" + good + "</group>"), {}},
      {"a NUL byte inside", List(good + std::string(1, '\0') + good), a},
      {"binary junk after the root", List(good) + "\x01\xFF\xFE\x80junk", a},
      {"a repeated attribute",
       List(TaskLine("name=\"a\" source=\"C:\\s\\a\" source=\"C:\\s\\b\" destination=\"d\"")),
       {}},
      {"a raw ampersand", List(Task("R&D", "C:\\s\\a", "C:\\d\\a")), {}},
      {"missing and empty attributes",
       List(TaskLine("source=\"C:\\s\\1\" destination=\"C:\\d\\1\"") +
            TaskLine("name=\"n\" destination=\"C:\\d\\2\" state=\"1\"") +
            TaskLine("name=\"n\" source=\"C:\\s\\3\" state=\"1\"") + TaskLine("") +
            TaskLine("name=\"n\" source=\"\" destination=\"C:\\d\\5\"") +
            TaskLine("name=\"n\" source=\"C:\\s\\6\" destination=\"\"") +
            TaskLine("name=\"n\" source=\"  \" destination=\"C:\\d\\7\"") +
            TaskLine("name=\"n\" source=\"C:\\s\\8\" destination=\"C:\\d\\8\"")),
       {"C:\\s\\1", "C:\\s\\8"}},
      {"100 KB values",
       List(Task(big, "C:\\s\\long-name", "C:\\d\\long-name") +
            Task("n", "C:\\s\\" + big, "C:\\d\\x") + Task("n", "C:\\s\\x", "C:\\d\\" + big) +
            Task("n", "C:\\s\\ok", "C:\\d\\ok", 0) +
            TaskLine("name=\"n\" source=\"C:\\s\\y\" destination=\"C:\\d\\y\" state=\"" + big +
                     "\"") +
            TaskLine("name=\"n\" source=\"C:\\s\\z\" destination=\"C:\\d\\z\" extra=\"" + big +
                     "\"")),
       {"C:\\s\\long-name", "C:\\s\\ok", "C:\\s\\y", "C:\\s\\z"}},
      {"100,000 nested elements", List(deep), {}},
      {"an entity that expands to 100 MB", bomb, {}},
      {"UTF-16 little-endian with its mark", Utf16(utf16Body, false), cyrillicSource},
      {"UTF-16 big-endian with its mark", Utf16(utf16Body, true), cyrillicSource},
      {"UTF-8 with its mark",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<downloader>" +
           Task(kCyrillic, "C:\\s\\" + kCyrillic + ".doc", "C:\\d\\x") + "</downloader>",
       cyrillicSource},
      {"UTF-8 without a declaration",
       "<downloader>" + Task(kCyrillic, "C:\\s\\" + kCyrillic + ".doc", "C:\\d\\x") +
           "</downloader>",
       cyrillicSource},
      {"an encoding nobody knows",
       "<?xml version=\"1.0\" encoding=\"x-no-such-code\"?>\n<downloader>" + good + "</downloader>",
       {}},
  };
}

// Everything the kernel loads from a damaged file is written back by its next rewrite
// as a file that reads back the same; the damaged file itself is kept beside it.
TEST(DamagedTaskList, LoadsWhatIsValidAndTheNextRewriteReplacesTheRest) {
  TempFolder dir;
  const std::string path = dir.File("tolva.info");
  for (const Damaged& d : DamagedFiles()) {
    SCOPED_TRACE(d.what);
    tolvatest::WriteBytes(path, d.bytes);
    DeleteFileW(base::Widen(path + ".kept").c_str());
    bool damaged = false;
    {
      base::ComScope com;
      std::vector<TaskListEntry> read;
      ASSERT_TRUE(CTaskListFile(path).Load(read, &damaged));
    }
    std::vector<TaskListEntry> loaded;
    {
      CDownloaderKernel kernel;
      kernel.SetListPath(path);
      ASSERT_TRUE(kernel.LoadTaskList());
      loaded = TasksOf(kernel);
      EXPECT_EQ(SourcesOf(loaded), d.loads);
      for (int i = 0; i < kernel.GetTaskCount(); ++i) EXPECT_FALSE(kernel.GetTask(i)->read);
      kernel.SaveTaskList();
    }
    ExpectSameEntries(enginetest::LoadListFile(path), loaded);
    EXPECT_EQ(tolvatest::FileExists(path + ".kept"), damaged);
    if (damaged) {
      EXPECT_TRUE(tolvatest::ReadBytes(path + ".kept") == d.bytes);
    }
  }
}

TEST(DamagedTaskList, ADirectoryWhereTheFileBelongsIsNoListAndIsLeftAlone) {
  TempFolder dir;
  const std::string path = dir.File("tolva.info");
  ASSERT_TRUE(CreateDirectoryW(base::Widen(path).c_str(), nullptr));
  tolvatest::WriteBytes(path + "\\inside.txt", "keep");
  {
    CDownloaderKernel kernel;
    kernel.SetListPath(path);
    ASSERT_TRUE(kernel.LoadTaskList());
    EXPECT_EQ(kernel.GetTaskCount(), 0);
    kernel.SaveTaskList();  // cannot replace a directory; must not harm it
  }
  EXPECT_TRUE(GetFileAttributesW(base::Widen(path).c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(tolvatest::ReadBytes(path + "\\inside.txt"), "keep");
  EXPECT_FALSE(tolvatest::FileExists(path + ".tmp"));

  // A file too big to be a list is not read at all.
  ASSERT_TRUE(enginetest::SetFileLength(dir.File("huge.info"), 65u << 20));
  EXPECT_TRUE(enginetest::LoadListFile(dir.File("huge.info")).empty());
}

// Whatever a random file or a randomly damaged list gives, every task has both paths,
// and the list written from it reads back the same.
TEST(DamagedTaskList, RandomBytesAndRandomDamageNeverCrashAndWhatLoadsSavesBack) {
  TempFolder dir;
  const std::string path = dir.File("tolva.info");
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  faulttest::Seeded random("task list damage");

  std::vector<TaskListEntry> original;
  for (int i = 0; i < 20; ++i)
    original.push_back({"n" + std::to_string(i) + (i % 3 ? "" : " R&D <\"" + kCyrillic + "\">"),
                        "\\\\srv\\share\\" + kCyrillic + std::to_string(i) + ".dat",
                        "C:\\In\\f" + std::to_string(i) + ".dat", i % 5});
  const std::string valid = CTaskListFile::Format(original);
  const char kMarkup[] = "<>&\"'=/;#\n\t ";

  int junkFiles = 0, damaged = 0, withTasks = 0;
  for (int round = 0; round < 600; ++round) {
    std::string bytes;
    if (round < 150) {
      bytes.resize(random.Between(0, 4096));
      for (char& c : bytes) c = random.Byte();
      ++junkFiles;
    } else {
      bytes = valid;
      for (size_t k = random.Between(1, 3); k > 0 && !bytes.empty(); --k) {
        size_t at = random.Between(0, bytes.size() - 1);
        switch (random.Between(0, 6)) {
          case 0:
            bytes[at] = random.Byte();
            break;
          case 1:
            bytes[at] = kMarkup[random.Between(0, sizeof kMarkup - 2)];
            break;
          case 2:
            bytes.erase(at, random.Between(1, 64));
            break;
          case 3:
            bytes.insert(at, bytes.substr(random.Between(0, bytes.size() - 1), 80));
            break;
          case 4:
            bytes.resize(at);
            break;
          case 5:
            bytes.insert(at, std::string(random.Between(1, 8), random.Byte()));
            break;
          default: {
            // Letters and 8-bit characters: harmless inside a value or between elements.
            std::string text(random.Between(1, 16), 'a');
            for (char& c : text) c = random.OneIn(2) ? char(random.Between(0x80, 0xFF)) : 'q';
            bytes.insert(at, text);
          }
        }
      }
      ++damaged;
    }
    SCOPED_TRACE("round " + std::to_string(round));
    tolvatest::WriteBytes(path, bytes);
    std::vector<TaskListEntry> loaded;
    ASSERT_TRUE(CTaskListFile(path).Load(loaded));
    if (!loaded.empty()) ++withTasks;
    size_t elements = 0;
    for (size_t at = bytes.find("<task"); at != std::string::npos; at = bytes.find("<task", at + 1))
      ++elements;
    EXPECT_LE(loaded.size(), elements);
    for (const auto& t : loaded) {
      EXPECT_FALSE(t.source.empty());
      EXPECT_FALSE(t.destination.empty());
    }
    ASSERT_TRUE(CTaskListFile(path).Write(CTaskListFile::Format(loaded)));
    std::vector<TaskListEntry> again;
    ASSERT_TRUE(CTaskListFile(path).Load(again));
    ExpectSameEntries(again, loaded);
  }
  std::cout << "[ counts   ] " << junkFiles << " random files, " << damaged << " damaged lists, "
            << withTasks << " of them still gave tasks" << std::endl;
  // The damage must leave something to read now and then, or the round trip above
  // proves nothing. About one damaged list in ten still loads (damage inside a value);
  // the bound sits far enough below that for no seed to miss it by chance.
  EXPECT_GT(withTasks, damaged / 25);
  CoUninitialize();
}

struct Memory {
  size_t privateBytes = 0;
  size_t pagefile = 0;
  size_t workingSet = 0;
  size_t peakWorkingSet = 0;
};

Memory ProcessMemory() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                       sizeof counters);
  return {counters.PrivateUsage, counters.PagefileUsage, counters.WorkingSetSize,
          counters.PeakWorkingSetSize};
}

std::ostream& operator<<(std::ostream& out, const Memory& m) {
  return out << "private " << m.privateBytes << ", pagefile " << m.pagefile << ", working set "
             << m.workingSet << " (peak " << m.peakWorkingSet << ")";
}

TEST(LargeTaskList, HundredThousandTasksLoadWithLittleMemoryAndFewThreads) {
  constexpr int kTasks = 100000;
  constexpr int kSources = 8;
  TempFolder dir;
  const std::string path = dir.File("tolva.info");
  {
    std::vector<TaskListEntry> entries;
    for (int i = 0; i < kTasks; ++i)
      entries.push_back({"file" + std::to_string(i), dir.File("s" + std::to_string(i % kSources)),
                         dir.File("out\\file" + std::to_string(i) + ".bin"), i % 3});
    ASSERT_TRUE(CTaskListFile(path).Write(CTaskListFile::Format(entries)));
  }
  for (int s = 0; s < kSources; ++s)
    tolvatest::WriteBytes(dir.File("s" + std::to_string(s)), std::string(1000 + s, 'x'));

  const size_t fileBytes = tolvatest::ReadBytes(path).size();
  const Memory cold = ProcessMemory();
  // The parser alone first: what it keeps of its peak afterwards is its own, not the
  // tasks'.
  ULONGLONG parseMs = 0;
  {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    std::vector<TaskListEntry> entries;
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(CTaskListFile(path).Load(entries));
    parseMs = GetTickCount64() - start;
    ASSERT_EQ(entries.size(), size_t{kTasks});
    CoUninitialize();
  }
  const Memory parsed = ProcessMemory();

  CDownloaderKernel kernel;
  kernel.SetListPath(path);
  const ULONGLONG start = GetTickCount64();
  ASSERT_TRUE(kernel.LoadTaskList());
  const ULONGLONG loadMs = GetTickCount64() - start;
  ASSERT_EQ(kernel.GetTaskCount(), kTasks);

  // Every task gets its size from a pool thread; the pool must neither start a thread
  // per task nor leave any task behind.
  int mostThreads = 0;
  auto sized = [&] {
    mostThreads = std::max(mostThreads, kernel.IoThreadCount());
    for (int i = kTasks - 1; i >= 0; --i)
      if (kernel.GetTask(i)->fileSize != static_cast<uint64_t>(1000 + i % kSources)) return false;
    return true;
  };
  EXPECT_TRUE(tolvatest::WaitFor(sized, std::chrono::seconds(120)));
  const ULONGLONG sizedMs = GetTickCount64() - start;
  const Memory loaded = ProcessMemory();

  for (int i = 0; i < kTasks; ++i) {
    CDownloadTask* t = kernel.GetTask(i);
    ASSERT_FALSE(t->read) << i;  // no chunk buffer before a task is opened
    ASSERT_EQ(t->state.load(), i % 3) << i;
  }
  std::cout << "[ measured ] " << kTasks << " tasks in " << fileBytes << " bytes: parsed alone in "
            << parseMs << " ms, LoadTaskList " << loadMs << " ms, every size read after " << sizedMs
            << " ms, at most " << mostThreads << " pool threads" << std::endl
            << "[ measured ] before: " << cold << std::endl
            << "[ measured ] after the parser alone: " << parsed << std::endl
            << "[ measured ] with the tasks loaded: " << loaded << std::endl;
  RecordProperty("load_ms", static_cast<int>(loadMs));

  // Wine reports no private bytes; the working set is what it does report.
  auto used = [](const Memory& m) { return m.privateBytes ? m.privateBytes : m.workingSet; };
  auto growth = [](size_t from, size_t to) { return to > from ? to - from : 0; };
  // A task not yet opened holds its texts, its id, a few atomics and counters and its
  // lock (its two events live in the system): well under 1 KiB with the heap's overhead.
  // One 256 KiB chunk buffer per task would need 25 GiB. What the parser keeps after it
  // is done is measured apart and may not grow past a few megabytes either.
  EXPECT_LT(growth(used(parsed), used(loaded)), size_t{kTasks} * 1024);
  EXPECT_LT(growth(used(cold), used(parsed)), size_t{16} << 20);
  EXPECT_LE(mostThreads, 64);
}

}  // namespace
