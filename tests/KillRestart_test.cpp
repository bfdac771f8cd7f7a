// The real program killed (as by a crash or Task Manager) at random moments while it
// copies a batch from a slow share, and started again each time: the list file always
// loads and holds every unfinished file, and in the end every file is byte-identical
// (beside what a kill right after its creation leaves, as the README says).
// A big copy killed midway goes on where it stood, unless its source changed.
// Randomised; the seed is printed and TOLVA_FAULT_SEED replays one.
#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <random>

#include "base/UniqueHandle.h"
#include "engine/DownloaderKernel.h"
#include "engine/TaskListFile.h"
#include "tests/FaultSeed.h"
#include "tests/ProgramCopy.h"
#include "tests/testshare/TestShare.h"
#include "ui/OptionBits.h"

namespace {

using namespace testing_tolva;
using namespace tolvatest;

// The names and sizes in a folder, for a failure message.
std::string FileNames(const std::wstring& folder) {
  std::string names;
  WIN32_FIND_DATAW found;
  base::UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
  if (!search) return " (none)";
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      names += " " + U8(found.cFileName) + " (" + std::to_string(found.nFileSizeLow) + ")";
  } while (FindNextFileW(search.Get(), &found));
  return names;
}

TEST(KillRestart, TwentyKillsAtRandomMomentsLoseAndCorruptNothing) {
  TestShare share;
  if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
  ASSERT_TRUE(share.Command("reset"));
  faulttest::Seeded seeded("kills");
  const uint32_t seed = seeded.Seed();
  std::mt19937& random = seeded.rng;

  Folders f;
  DefaultFolderSetting setting(f.def);
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());

  // Ten files of four to twelve chunks, each chunk read slowly, so kills land mid-copy.
  constexpr int kFiles = 10;
  std::vector<std::string> contents, names;
  std::string sources;
  for (int i = 0; i < kFiles; ++i) {
    names.push_back("k" + std::to_string(i) + ".bin");
    contents.push_back(
        Pattern(262144 * (4 + random() % 9) + random() % 5000, static_cast<int>(seed) + i));
    sources += share.AddFile(names.back(),
                             std::vector<char>(contents.back().begin(), contents.back().end())) +
               ";";
  }
  ASSERT_TRUE(share.Command("delay-read * 100"));
  const std::string list = U8(program.Folder()) + "\\tolva.info";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the list reader needs it

  // A kill within moments of a file's creation, before the list records it as the
  // task's own, leaves it under its name, empty or with the first bytes copied: the next
  // start must not take a file it cannot tell from the user's, so the copy goes beside
  // it as "kN (2).bin". Nothing else may stand in for the name.
  auto beside = [&](int i) { return f.dst + L"\\k" + std::to_wstring(i) + L" (2).bin"; };
  auto holds = [&](const std::wstring& path, int i) {
    std::string got;
    return ReadBytes(path, got) && got == contents[i];
  };
  auto finished = [&](int i) {
    return holds(f.dst + L"\\" + W(names[i]), i) || holds(beside(i), i);
  };
  constexpr int kKills = 20;
  int unfinishedAtKills = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    // The first start brings the batch; every later one only its list.
    ASSERT_TRUE(program.StartFirst(kill == 0 ? "\"" + sources + "\" \"" + U8(f.dst) + "\"" : ""));
    // Its window shows before it has taken the batch; a kill before that would lose
    // what it was never given. The kills are for a program at work.
    if (kill == 0) {
      ASSERT_TRUE(WaitFor([&] {
        std::vector<TaskListEntry> taken;
        return CTaskListFile(list).Load(taken) && taken.size() == kFiles;
      })) << "the first start did not list its batch";
    }
    Sleep(static_cast<DWORD>(random() % 1200));
    ASSERT_TRUE(program.KillFirst());

    std::vector<TaskListEntry> entries;
    bool damaged = false;
    ASSERT_TRUE(CTaskListFile(list).Load(entries, &damaged)) << "the list file does not load";
    std::string missing;
    for (int i = 0; i < kFiles; ++i) {
      if (finished(i)) continue;
      ++unfinishedAtKills;
      bool listed = false;
      for (const TaskListEntry& e : entries) listed = listed || e.source == share.Path(names[i]);
      if (!listed) missing += " " + names[i];
    }
    EXPECT_TRUE(missing.empty() && !damaged)
        << (damaged ? "the kill left the list file damaged; " : "")
        << "unfinished and not in the list:" << missing << "\nthe list:\n"
        << ReadBytes(list) << "\nthe destination holds:" << FileNames(f.dst)
        << "\nthe program's log ends:\n"
        << program.LogTail(4000);
  }
  RecordProperty("unfinished_at_kills", unfinishedAtKills);

  // Left to run, the last start finishes everything from its list.
  ASSERT_TRUE(share.Command("reset"));
  ASSERT_TRUE(program.StartFirst(""));
  int corrupted = 0, besideLeft = 0;
  for (int i = 0; i < kFiles; ++i) {
    const std::wstring named = f.dst + L"\\" + W(names[i]);
    std::string left;
    if (GetFileAttributesW(beside(i).c_str()) != INVALID_FILE_ATTRIBUTES) {
      ++besideLeft;
      EXPECT_TRUE(ReadBytes(named, left) && contents[i].compare(0, left.size(), left) == 0)
          << names[i] << " was copied beside a file of its name that is not the start of "
          << "a copy that a killed start left";
      if (Arrives(beside(i), contents[i])) continue;
    } else if (Arrives(named, contents[i])) {
      continue;
    }
    ++corrupted;
    ADD_FAILURE() << names[i] << " is lost or differs from its source";
  }
  RecordProperty("corrupted", corrupted);
  RecordProperty("copied_beside_a_killed_start", besideLeft);
  std::printf("kills=%d files=%d unfinished-at-kills=%d lost-or-corrupted=%d beside-left=%d\n",
              kKills, kFiles, unfinishedAtKills, corrupted, besideLeft);
  EXPECT_TRUE(program.CloseFirst());
  CoUninitialize();
}

// Where the list file says the copy of `source` stood; 0 when it says nothing.
uint64_t StoredPosition(const std::string& list, const std::string& source) {
  std::vector<TaskListEntry> entries;
  CTaskListFile(list).Load(entries);
  for (const TaskListEntry& e : entries)
    if (e.source == source) return e.offset;
  return 0;
}

TEST(KillRestart, ABigCopyKilledMidwayByAPowerCutGoesOnWhereItStoodUnlessItsSourceChanged) {
  TestShare share;
  if (!share.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
  ASSERT_TRUE(share.Command("reset"));
  faulttest::Seeded seeded("resumed kills");
  std::mt19937& random = seeded.rng;
  Folders f;
  DefaultFolderSetting setting(f.def);
  // The defaults, and each copy verified.
  RegistryValueOverride verify(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"OptionsFlag",
                               std::to_wstring(OPTIONS_DEFAULT | OPT_VERIFY));
  ASSERT_TRUE(verify.Ok());
  ProgramCopy program;
  ASSERT_TRUE(program.Ready());
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the list reader needs it
  const std::string list = U8(program.Folder()) + "\\tolva.info";

  constexpr uint64_t kSize = 40ull << 20;
  std::string content = Pattern(kSize, static_cast<int>(seeded.Seed()));
  const std::string source =
      share.AddFile("big.bin", std::vector<char>(content.begin(), content.end()));
  ASSERT_FALSE(source.empty());
  // 160 chunks of 320 ms and more, 8 in flight once the link shows slow: about seven
  // seconds for the whole file, and chunks written out of order at every kill.
  ASSERT_TRUE(share.Command("delay-read big.bin 320"));
  // The copy goes to the share too, whose power cut zeroes whatever was written since
  // the file's last flush: a stored position past the flushed bytes would resume over
  // zeros and end as a corrupt "complete" file.
  const std::string out = share.Path("out");
  ASSERT_TRUE(CreateDirectoryW(W(share.BackingPath("out")).c_str(), nullptr));
  // Read behind the share, so that the check's own reads are not counted as the copy's.
  const std::wstring copy = W(share.BackingPath("out\\big.bin"));
  long long cut = 0;

  // Each run is killed after the list has had time to take a position; the next one
  // reads only what lies past that position.
  uint64_t stored = 0;
  for (int kill = 0; kill < 2; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    const long long before = share.BytesRead();
    ASSERT_TRUE(program.StartFirst(kill == 0 ? "\"" + source + "\" \"" + out + "\"" : ""));
    Sleep(2600 + static_cast<DWORD>(random() % 1000));
    // The copy stops between two chunks and the list is rewritten: the unflushed stretch
    // then reaches up to the copy's last byte, where an unsafe list would put its position.
    ASSERT_TRUE(share.Command("hang-read big.bin"));
    Sleep(kListPositionRewriteMs + 1500);
    ASSERT_TRUE(program.KillFirst());
    ASSERT_TRUE(share.Command("power-cut"));
    ASSERT_TRUE(share.Command("release big.bin"));
    const long long read = share.BytesRead() - before;
    const uint64_t now = StoredPosition(list, source);
    ASSERT_GT(now, stored) << "the list holds no later position after " << read << " bytes read";
    ASSERT_LT(now, kSize);
    if (kill > 0) {
      EXPECT_NE(program.Log().find("[big] - goes on at byte " + std::to_string(stored)),
                std::string::npos);
    }
    stored = now;
  }
  cut = share.Counter("cut-bytes");
  // The killed runs' reads that hung finish after the release: counted here, they would
  // look like this run reading more than it needs.
  EXPECT_TRUE(WaitFor([&] { return share.Counter("files-reading") == 0; }));
  ASSERT_TRUE(share.Command("reset"));
  const long long before = share.BytesRead();
  ASSERT_TRUE(program.StartFirst(""));
  EXPECT_TRUE(Arrives(copy, content));
  // What this run copied is read back and compared, from the stored position on (the
  // bytes before were hashed by runs that are gone); the share counts that read too.
  const std::string verified = "[big] - verified from byte " + std::to_string(stored) + ",";
  EXPECT_TRUE(WaitFor([&] { return program.Log().find(verified) != std::string::npos; }))
      << verified;
  const long long last = share.BytesRead() - before - static_cast<long long>(kSize - stored);
  // Only the part after the stored position, and a chunk or two read ahead at most.
  EXPECT_LE(static_cast<uint64_t>(last), kSize - stored + 2 * 262144) << "stored " << stored;
  EXPECT_NE(program.Log().find("[big] - goes on at byte " + std::to_string(stored)),
            std::string::npos);
  EXPECT_EQ(program.Log().find("starts again from the beginning"), std::string::npos);
  std::printf("resumed at %llu, then read %lld of %llu bytes; power cuts zeroed %lld bytes\n",
              static_cast<unsigned long long>(stored), last, static_cast<unsigned long long>(kSize),
              cut);
  EXPECT_TRUE(program.CloseFirst());

  // The same again, but the source is replaced while the program is down: the copy
  // starts over and ends as the new file.
  std::string changed = Pattern(kSize, static_cast<int>(seeded.Seed()) + 1);
  ASSERT_TRUE(share.Command("delay-read big.bin 320"));
  ASSERT_TRUE(program.StartFirst("\"" + source + "\" \"" + out + "\""));
  Sleep(2600 + static_cast<DWORD>(random() % 1000));
  ASSERT_TRUE(program.KillFirst());
  ASSERT_TRUE(share.Command("power-cut"));
  ASSERT_GT(StoredPosition(list, source), 0u);
  ASSERT_FALSE(share.AddFile("big.bin", std::vector<char>(changed.begin(), changed.end())).empty());
  ASSERT_TRUE(share.Command("reset"));
  ASSERT_TRUE(program.StartFirst(""));
  EXPECT_TRUE(Arrives(copy, changed));
  const std::string log = program.Log();
  EXPECT_NE(log.find("[big] - starts again from the beginning: the source has changed"),
            std::string::npos)
      << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  EXPECT_TRUE(program.CloseFirst());
  CoUninitialize();
}

}  // namespace
