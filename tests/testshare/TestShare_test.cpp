// The test share as the downloader meets it under Wine: right bytes, and each fault
// shows through the Win32 calls the copy loop makes, on the file it was meant for only.
#include "tests/testshare/TestShare.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD kChunk = 256 * 1024;
// Long enough that nothing blocked would have finished by chance; short enough for a test.
constexpr milliseconds kStillBlocked{300};
// Generous: only a broken share takes this long.
constexpr milliseconds kDeadline{10000};

using tolvatest::RandomBytes;

HANDLE OpenRead(const std::string& path) {
  return CreateFileW(TestShare::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

class Handle {
 public:
  explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
  ~Handle() { Reset(INVALID_HANDLE_VALUE); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  void Reset(HANDLE h) {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    h_ = h;
  }
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE h_;
};

// One ReadFile at the current position; the bytes, or nothing with the error code.
struct ReadResult {
  bool ok = false;
  DWORD error = 0;
  std::vector<char> bytes;
};

ReadResult ReadChunk(HANDLE h, DWORD size = kChunk) {
  ReadResult r;
  r.bytes.resize(size);
  DWORD got = 0;
  r.ok = ReadFile(h, r.bytes.data(), size, &got, nullptr) != FALSE;
  r.error = r.ok ? 0 : GetLastError();
  r.bytes.resize(r.ok ? got : 0);
  return r;
}

std::vector<char> ReadAll(HANDLE h) {
  std::vector<char> all;
  for (;;) {
    ReadResult r = ReadChunk(h);
    if (!r.ok || r.bytes.empty()) return all;
    all.insert(all.end(), r.bytes.begin(), r.bytes.end());
  }
}

// Runs a call that may block on the share in a thread of its own. If the share never
// lets it go, the thread is left behind rather than hanging the test.
template <typename T>
class Blocking {
 public:
  template <typename F>
  explicit Blocking(F f) {
    auto task = std::make_shared<std::packaged_task<T()>>(std::move(f));
    result_ = task->get_future();
    std::thread([task] { (*task)(); }).detach();
  }
  bool DoneWithin(milliseconds ms) { return result_.wait_for(ms) == std::future_status::ready; }
  T Get() { return result_.get(); }

 private:
  std::future<T> result_;
};

class TestShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!share_.Available()) GTEST_SKIP() << TestShare::kNotAvailable;
    ASSERT_TRUE(share_.Command("reset"));
  }
  // Whatever a test left hung is let go, so its threads end and the next test starts clean.
  void TearDown() override {
    if (share_.Available()) {
      EXPECT_TRUE(share_.Command("reset"));
    }
  }

  std::vector<char> Add(const std::string& name, size_t size, unsigned seed) {
    std::vector<char> bytes = RandomBytes(size, seed);
    EXPECT_FALSE(share_.AddFile(name, bytes).empty()) << name;
    return bytes;
  }

  TestShare share_;
};

TEST_F(TestShareTest, ReadsGiveTheBackingFilesBytes) {
  auto top = Add("top.bin", 3 * kChunk + 123, 1);
  auto deep = Add("sub\\folder\\deep.bin", 1000, 2);
  auto empty = Add("empty.bin", 0, 3);
  for (auto [name, bytes] :
       {std::pair{"top.bin", &top}, {"sub\\folder\\deep.bin", &deep}, {"empty.bin", &empty}}) {
    Handle h(OpenRead(share_.Path(name)));
    ASSERT_TRUE(h.valid()) << name << " error " << GetLastError();
    EXPECT_EQ(ReadAll(h.get()), *bytes) << name;
  }
}

TEST_F(TestShareTest, ControlFileListsFaultsAndRefusesUnknownCommands) {
  ASSERT_TRUE(share_.Command("delay-read a.bin 250"));
  ASSERT_TRUE(share_.Command("hang-read sub\\b.bin"));
  ASSERT_TRUE(share_.Command("vanish"));
  EXPECT_EQ(share_.Faults(), "vanish\ndelay-read a.bin 250\nhang-read sub/b.bin\n");
  // A test with a typo must fail, not run without its fault.
  EXPECT_FALSE(share_.Command("hang-reed a.bin"));
  EXPECT_FALSE(share_.Command("delay-read a.bin soon"));
  EXPECT_FALSE(share_.Command("shrink * 10"));
  ASSERT_TRUE(share_.Command("reset"));
  EXPECT_EQ(share_.Faults(), "");
}

// The last steps of a copy, each failed on command, and a power cut that takes exactly
// what was written since the file's last flush. (No fault for a cut to length: Wine
// answers a refused ftruncate by writing a byte past the end, and SetEndOfFile succeeds.)
TEST_F(TestShareTest, FlushAndTimeFaultsAndAPowerCutHitTheFileTheyName) {
  Add("w.bin", 0, 5);
  Handle h(CreateFileW(TestShare::Wide(share_.Path("w.bin")).c_str(), GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(h.valid()) << GetLastError();
  const std::vector<char> first = RandomBytes(5000, 6), second = RandomBytes(3000, 7);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h.get(), first.data(), 5000, &n, nullptr));
  ASSERT_TRUE(FlushFileBuffers(h.get()));
  EXPECT_EQ(share_.Counter("flushes"), 1);
  ASSERT_TRUE(WriteFile(h.get(), second.data(), 3000, &n, nullptr));
  ASSERT_TRUE(share_.Command("fail-flush w.bin"));
  ASSERT_TRUE(share_.Command("refuse-time w.bin"));
  EXPECT_FALSE(FlushFileBuffers(h.get()));
  const FILETIME t{0x12345678, 0x01d00000};
  EXPECT_FALSE(SetFileTime(h.get(), nullptr, nullptr, &t));
  h.Reset(INVALID_HANDLE_VALUE);
  ASSERT_TRUE(share_.Command("power-cut"));
  EXPECT_EQ(share_.Counter("cut-bytes"), 3000);
  std::vector<char> expected = first;
  expected.resize(8000, '\0');
  Handle r(OpenRead(share_.Path("w.bin")));
  EXPECT_EQ(ReadAll(r.get()), expected);
}

TEST_F(TestShareTest, DelayReadSlowsEveryReadOfThatFile) {
  auto bytes = Add("slow.bin", kChunk, 4);
  ASSERT_TRUE(share_.Command("delay-read slow.bin 400"));
  Handle h(OpenRead(share_.Path("slow.bin")));
  ASSERT_TRUE(h.valid());
  auto start = Clock::now();
  ReadResult r = ReadChunk(h.get());
  auto took = Clock::now() - start;
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, bytes);
  EXPECT_GE(took, milliseconds(400));
}

TEST_F(TestShareTest, HangLookupBlocksOnlyTheThreadOpeningThatFile) {
  Add("hung.bin", 1000, 5);
  auto other = Add("other.bin", kChunk, 6);
  ASSERT_TRUE(share_.Command("hang-lookup hung.bin"));
  Blocking<HANDLE> open([path = share_.Path("hung.bin")] { return OpenRead(path); });
  EXPECT_FALSE(open.DoneWithin(kStillBlocked)) << "the open did not wait for the lookup";

  // The same process opens and reads another file on the share meanwhile.
  Blocking<std::vector<char>> read([path = share_.Path("other.bin")] {
    Handle h(OpenRead(path));
    return h.valid() ? ReadAll(h.get()) : std::vector<char>();
  });
  ASSERT_TRUE(read.DoneWithin(milliseconds(500))) << "one hung lookup blocked another file";
  EXPECT_EQ(read.Get(), other);
  EXPECT_FALSE(open.DoneWithin(milliseconds(0)));

  ASSERT_TRUE(share_.Command("release hung.bin"));
  ASSERT_TRUE(open.DoneWithin(kDeadline));
  Handle released(open.Get());
  EXPECT_TRUE(released.valid());
}

TEST_F(TestShareTest, HangReadBlocksUntilThatFileIsReleased) {
  auto first = Add("first.bin", kChunk, 7);
  auto second = Add("second.bin", kChunk, 8);
  Handle h1(OpenRead(share_.Path("first.bin")));
  Handle h2(OpenRead(share_.Path("second.bin")));
  ASSERT_TRUE(h1.valid() && h2.valid());
  ASSERT_TRUE(share_.Command("hang-read first.bin"));
  ASSERT_TRUE(share_.Command("hang-read second.bin"));
  Blocking<ReadResult> read1([h = h1.get()] { return ReadChunk(h); });
  Blocking<ReadResult> read2([h = h2.get()] { return ReadChunk(h); });
  EXPECT_FALSE(read1.DoneWithin(kStillBlocked));
  EXPECT_FALSE(read2.DoneWithin(milliseconds(0)));

  // Releasing one file lets only its reader go on.
  ASSERT_TRUE(share_.Command("release first.bin"));
  ASSERT_TRUE(read1.DoneWithin(kDeadline));
  EXPECT_EQ(read1.Get().bytes, first);
  EXPECT_FALSE(read2.DoneWithin(kStillBlocked));

  ASSERT_TRUE(share_.Command("release *"));
  ASSERT_TRUE(read2.DoneWithin(kDeadline));
  EXPECT_EQ(read2.Get().bytes, second);
}

TEST_F(TestShareTest, FailReadFailsReadsOnAnOpenHandleUntilReset) {
  auto bytes = Add("bad.bin", kChunk, 9);
  Handle h(OpenRead(share_.Path("bad.bin")));
  ASSERT_TRUE(h.valid());
  ASSERT_TRUE(ReadChunk(h.get()).ok);
  // Read again what was read before: no cache may answer in the share's place.
  ASSERT_TRUE(SetFilePointerEx(h.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN));
  ASSERT_TRUE(share_.Command("fail-read bad.bin"));
  ReadResult failed = ReadChunk(h.get());
  EXPECT_FALSE(failed.ok);
  EXPECT_NE(failed.error, 0u);

  ASSERT_TRUE(share_.Command("reset"));
  ASSERT_TRUE(SetFilePointerEx(h.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN));
  ReadResult r = ReadChunk(h.get());
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.bytes, bytes);
}

TEST_F(TestShareTest, VanishedShareFailsOpensAndReadsUntilItReturns) {
  auto bytes = Add("gone.bin", kChunk, 10);
  Handle open(OpenRead(share_.Path("gone.bin")));
  ASSERT_TRUE(open.valid());
  ASSERT_TRUE(share_.Command("vanish"));

  Handle during(OpenRead(share_.Path("gone.bin")));
  DWORD error = GetLastError();
  EXPECT_FALSE(during.valid());
  EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
  EXPECT_FALSE(ReadChunk(open.get()).ok);
  EXPECT_EQ(GetFileAttributesW(TestShare::Wide(share_.Path("gone.bin")).c_str()),
            INVALID_FILE_ATTRIBUTES);
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(TestShare::Wide(share_.Path("*.bin")).c_str(), &found);
  EXPECT_EQ(find, INVALID_HANDLE_VALUE) << "the vanished share still lists files";
  if (find != INVALID_HANDLE_VALUE) FindClose(find);

  ASSERT_TRUE(share_.Command("return"));
  Handle after(OpenRead(share_.Path("gone.bin")));
  ASSERT_TRUE(after.valid()) << GetLastError();
  EXPECT_EQ(ReadAll(after.get()), bytes);
}

TEST_F(TestShareTest, ShrinkMakesTheFileShorterForOpenAndNewHandles) {
  auto bytes = Add("long.bin", 3 * kChunk, 11);
  Handle h(OpenRead(share_.Path("long.bin")));
  ASSERT_TRUE(h.valid());
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
  EXPECT_EQ(size.QuadPart, 3 * kChunk);

  ASSERT_TRUE(share_.Command("shrink long.bin 1000"));
  ASSERT_TRUE(GetFileSizeEx(h.get(), &size));
  EXPECT_EQ(size.QuadPart, 1000);
  Handle fresh(OpenRead(share_.Path("long.bin")));
  ASSERT_TRUE(fresh.valid());
  EXPECT_EQ(ReadAll(fresh.get()), std::vector<char>(bytes.begin(), bytes.begin() + 1000));
}

}  // namespace
