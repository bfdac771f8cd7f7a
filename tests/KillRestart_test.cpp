// The real program killed (as by a crash or Task Manager) at random moments while it
// copies a batch from a slow share, and started again each time: the list file always
// loads and holds every unfinished file, and in the end every file is byte-identical.
// Randomised; the seed is printed and TOLVA_FAULT_SEED replays one.
#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <random>

#include "engine/TaskListFile.h"
#include "tests/FaultSeed.h"
#include "tests/ProgramCopy.h"
#include "tests/testshare/TestShare.h"

namespace {

using namespace testing_tolva;

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
    contents.push_back(Pattern(262144 * (4 + random() % 9) + random() % 5000, static_cast<int>(seed) + i));
    sources += share.AddFile(names.back(), std::vector<char>(contents.back().begin(), contents.back().end())) + ";";
  }
  ASSERT_TRUE(share.Command("delay-read * 100"));
  const std::string list = U8(program.Folder()) + "\\tolva.info";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the list reader needs it

  auto finished = [&](int i) {
    std::string got;
    return ReadBytes(f.dst + L"\\" + W(names[i]), got) && got == contents[i];
  };
  constexpr int kKills = 20;
  int unfinishedAtKills = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    // The first start brings the batch; every later one only its list.
    ASSERT_TRUE(program.StartFirst(kill == 0 ? "\"" + sources + "\" \"" + U8(f.dst) + "\"" : ""));
    Sleep(static_cast<DWORD>(random() % 1200));
    ASSERT_TRUE(program.KillFirst());

    std::vector<TaskListEntry> entries;
    ASSERT_TRUE(CTaskListFile(list).Load(entries)) << "the list file does not load";
    for (int i = 0; i < kFiles; ++i) {
      if (finished(i)) continue;
      ++unfinishedAtKills;
      bool listed = false;
      for (const TaskListEntry& e : entries) listed = listed || e.source == share.Path(names[i]);
      EXPECT_TRUE(listed) << names[i] << " is unfinished and not in the list";
    }
  }
  RecordProperty("unfinished_at_kills", unfinishedAtKills);

  // Left to run, the last start finishes everything from its list.
  ASSERT_TRUE(share.Command("reset"));
  ASSERT_TRUE(program.StartFirst(""));
  int corrupted = 0;
  for (int i = 0; i < kFiles; ++i) {
    if (Arrives(f.dst + L"\\" + W(names[i]), contents[i])) continue;
    ++corrupted;
    ADD_FAILURE() << names[i] << " is lost or differs from its source";
  }
  RecordProperty("corrupted", corrupted);
  std::printf("kills=%d files=%d unfinished-at-kills=%d lost-or-corrupted=%d\n", kKills, kFiles,
              unfinishedAtKills, corrupted);
  EXPECT_TRUE(program.CloseFirst());
  CoUninitialize();
}

}  // namespace
