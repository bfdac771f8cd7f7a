#include <gtest/gtest.h>
#include <objbase.h>

#include "engine/TaskListFile.h"
#include "tests/TaskListRewriterLists.h"
#include "base/UniqueHandle.h"
#include "base/Utf8.h"
#include "base/Win.h"
#include "testing/Testing.h"

namespace {

using tolvatest::UniqueText;

std::wstring Folder(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

void ExpectWholeList(const std::vector<TaskListEntry>& read) {
  const auto longList = RewriterList(true);
  const auto& expected = read.size() == longList.size() ? longList : RewriterList(false);
  ASSERT_EQ(read.size(), expected.size());
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].name, expected[i].name);
    EXPECT_EQ(read[i].source, expected[i].source);
    EXPECT_EQ(read[i].destination, expected[i].destination);
    EXPECT_EQ(read[i].state, expected[i].state);
  }
}

TEST(TaskListFile, KilledWriterLeavesACompleteList) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  wchar_t self[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::wstring rewriter = Folder(self) + L"\\tasklist_rewriter.exe";

  wchar_t tmp[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
  const std::wstring folder = std::wstring(tmp) + L"tasklistkill" + UniqueText();
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring list = folder + L"\\tolva.info";
  const std::wstring eventName = L"TolvaTest-written-" + UniqueText();
  base::UniqueKernelHandle written(CreateEventW(nullptr, FALSE, FALSE, eventName.c_str()));
  ASSERT_TRUE(written);

  for (int round = 0; round < 8; ++round) {
    std::wstring command = L"\"" + rewriter + L"\" \"" + list + L"\" " + eventName;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(rewriter.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &si, &pi))
        << GetLastError();
    base::UniqueKernelHandle process(pi.hProcess);
    base::UniqueKernelHandle thread(pi.hThread);
    // Let it get some rewrites in (more each round, to land the kill at varied moments).
    for (int k = 0; k <= round * 3; ++k)
      ASSERT_EQ(WaitForSingleObject(written.Get(), 30000), WAIT_OBJECT_0);
    ASSERT_TRUE(TerminateProcess(process.Get(), 9));
    ASSERT_EQ(WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);

    std::vector<TaskListEntry> read;
    ASSERT_TRUE(CTaskListFile(base::Narrow(list)).Load(read));
    SCOPED_TRACE(round);
    ExpectWholeList(read);
  }

  // A temporary file the killed writer may have left does not stop the next write.
  CTaskListFile file(base::Narrow(list));
  ASSERT_TRUE(file.Write(CTaskListFile::Format(RewriterList(false))));
  std::vector<TaskListEntry> read;
  ASSERT_TRUE(file.Load(read));
  EXPECT_EQ(read.size(), 3u);

  DeleteFileW(list.c_str());
  DeleteFileW((list + L".tmp").c_str());
  EXPECT_TRUE(RemoveDirectoryW(folder.c_str()));
  CoUninitialize();
}

}  // namespace
