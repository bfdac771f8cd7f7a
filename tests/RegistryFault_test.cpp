// Settings of the wrong type or size: every value the program reads, stored as a
// number where text belongs, as data, as a list, with no bytes, odd bytes, no final
// zero or more than the read buffer. Reads never run past the stored bytes, and what
// cannot be read leaves the default in place, in the store, the options and the window.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/Utf8.h"
#include "base/Win.h"
#include "tests/FaultSeed.h"
#include "ui/MainWindowDriver_test.h"
#include "ui/OptionsDialog.h"
#include "ui/SettingsRegistry.h"

// After windows.h.
#include <commctrl.h>

namespace {

constexpr wchar_t kProgramKey[] = L"SOFTWARE\\Tolva";
const char* const kReadNames[] = {"PositionX",
                                  "PositionY",
                                  "Width",
                                  "Height",
                                  "Column 0",
                                  "Column 1",
                                  "Column 2",
                                  "Column 3",
                                  "Column 4",
                                  "Column 5",
                                  "DefaultDownloadFolder",
                                  "OptionsFlag"};

using Bytes = std::vector<BYTE>;

Bytes Wide(const std::wstring& text, bool terminated = true) {
  Bytes bytes(reinterpret_cast<const BYTE*>(text.data()),
              reinterpret_cast<const BYTE*>(text.data() + text.size()));
  if (terminated) bytes.insert(bytes.end(), {0, 0});
  return bytes;
}

struct Form {
  const char* what;
  DWORD type;
  Bytes data;
  std::optional<std::string> text;  // what ReadString gives, none when it fails
  std::optional<long> number;       // what ReadInteger gives, none when it fails
};

std::vector<Form> Forms() {
  Bytes odd = Wide(L"7", false);
  odd.push_back('9');  // half a character
  Bytes surrogate = Wide(L"\xD800", false);
  return {
      {"a number of no bytes", REG_DWORD, {}, {}, {}},
      {"a number of 1 byte", REG_DWORD, {5}, {}, {}},
      {"a number of 3 bytes", REG_DWORD, {5, 0, 0}, {}, {}},
      {"a number of 8 bytes", REG_DWORD, {7, 0, 0, 0, 9, 0, 0, 0}, {}, {}},
      {"a 64-bit number", REG_QWORD, {7, 0, 0, 0, 0, 0, 0, 0}, {}, {}},
      {"binary data", REG_BINARY, {'1', 0, '2', 0, 0, 0}, {}, {}},
      {"a list of texts", REG_MULTI_SZ, Wide(std::wstring(L"12\0", 3)), {}, {}},
      {"no type and no bytes", REG_NONE, {}, {}, {}},
      {"text of no bytes", REG_SZ, {}, "", {}},
      {"text of 1 byte", REG_SZ, {'7'}, "", {}},
      {"text of an odd byte count", REG_SZ, odd, "7", 7},
      {"text without its final zero", REG_SZ, Wide(L"12", false), "12", 12},
      {"text with a zero inside", REG_SZ,
       Wide(std::wstring(L"12\0"
                         L"34",
                         5)),
       "12", 12},
      {"255 characters and a zero", REG_SZ, Wide(std::wstring(255, L'3')), std::string(255, '3'),
       2147483647},
      {"256 characters without a zero", REG_SZ, Wide(std::wstring(256, L'4'), false), {}, {}},
      {"1000 characters", REG_SZ, Wide(std::wstring(1000, L'5')), {}, {}},
      {"100 KB of text", REG_SZ, Wide(std::wstring(51200, L'6')), {}, {}},
      {"text to expand", REG_EXPAND_SZ, Wide(L"%SystemRoot%"), "%SystemRoot%", 0},
      {"half a surrogate pair", REG_SZ, surrogate, "\xEF\xBF\xBD", 0},
      {"the largest number", REG_DWORD, {0xFF, 0xFF, 0xFF, 0x7F}, "2147483647", 2147483647},
  };
}

// The real program's values, kept and put back: the window and the options read only
// the program's own key.
class SavedSettings {
 public:
  SavedSettings() {
    for (const char* name : kReadNames) {
      Value v;
      v.name = base::Widen(name);
      DWORD size = 0;
      if (RegGetValueW(HKEY_CURRENT_USER, kProgramKey, v.name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                       &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.data.resize(size);
        v.present =
            RegGetValueW(HKEY_CURRENT_USER, kProgramKey, v.name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                         &v.type, v.data.data(), &size) == ERROR_SUCCESS;
        v.data.resize(size);
      }
      values_.push_back(std::move(v));
    }
  }
  ~SavedSettings() {
    for (const Value& v : values_) {
      if (v.present)
        RegSetKeyValueW(HKEY_CURRENT_USER, kProgramKey, v.name.c_str(), v.type, v.data.data(),
                        static_cast<DWORD>(v.data.size()));
      else
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kProgramKey, v.name.c_str());
    }
  }
  SavedSettings(const SavedSettings&) = delete;
  SavedSettings& operator=(const SavedSettings&) = delete;

 private:
  struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
    Bytes data;
    bool present = false;
  };
  std::vector<Value> values_;
};

void Store(const wchar_t* key, const std::string& name, DWORD type, const Bytes& data) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, base::Widen(name).c_str(), type,
                            data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS)
      << name;
}

class RegistryFaults : public ::testing::Test {
 protected:
  // A key of this test's own, so nothing here touches the program's settings.
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kRoot); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kRoot); }

  static constexpr wchar_t kRoot[] = L"SOFTWARE\\TolvaFaultTest";
  static constexpr wchar_t kKey[] = L"SOFTWARE\\TolvaFaultTest\\Tolva";
  CSettingsRegistry store{"TolvaFaultTest"};
};

TEST_F(RegistryFaults, EveryWrongFormReadsItsTextOrLeavesTheDefault) {
  for (const Form& f : Forms()) {
    SCOPED_TRACE(f.what);
    Store(kKey, "Value", f.type, f.data);
    std::string text = "default";
    const bool read = store.ReadString("Tolva", "Value", text);
    if (f.text) {
      EXPECT_TRUE(read);
      EXPECT_EQ(text, *f.text);
    } else {
      EXPECT_FALSE(read);
      // Only the two texts that say why may replace the default.
      EXPECT_TRUE(text == "default" || text == "Binary data" || text == "Can't convert to string")
          << text;
    }
    long number = 47;
    const bool counted = store.ReadInteger("Tolva", "Value", number);
    EXPECT_EQ(counted, f.number.has_value());
    EXPECT_EQ(number, f.number.value_or(47));
    std::string folder = "kept";
    EXPECT_EQ(store.ReadText("Tolva", "Value", folder),
              f.text.has_value() && (f.type == REG_SZ || f.type == REG_EXPAND_SZ));
    if (f.type != REG_SZ && f.type != REG_EXPAND_SZ) {
      EXPECT_EQ(folder, "kept");
    }
  }
}

// Random types, sizes and bytes: a text read back is what the stored bytes begin with
// (never more), shorter than the read buffer; a failed read leaves the default or says
// why; an integer read succeeds only where a text read does.
TEST_F(RegistryFaults, RandomValuesNeverReadPastTheirBytes) {
  faulttest::Seeded random("registry values");
  const DWORD kTypes[] = {REG_NONE,     REG_SZ,    REG_EXPAND_SZ,
                          REG_BINARY,   REG_DWORD, REG_DWORD_BIG_ENDIAN,
                          REG_MULTI_SZ, REG_QWORD, 77};
  int texts = 0, numbers = 0, failed = 0;
  for (int round = 0; round < 500; ++round) {
    const DWORD type = kTypes[random.Between(0, std::size(kTypes) - 1)];
    Bytes data(random.OneIn(4) ? random.Between(0, 8) : random.Between(0, 1100));
    for (BYTE& b : data) {
      if (random.OneIn(3))
        b = static_cast<BYTE>(random.Between('0', '9'));  // digits, so numbers read too
      else
        b = random.OneIn(8) ? 0 : static_cast<BYTE>(random.Byte());
    }
    SCOPED_TRACE("round " + std::to_string(round) + ": type " + std::to_string(type) + ", " +
                 std::to_string(data.size()) + " bytes");
    Store(kKey, "Value", type, data);
    std::string text = "default";
    long number = -5;
    const bool read = store.ReadString("Tolva", "Value", text);
    const bool counted = store.ReadInteger("Tolva", "Value", number);
    if (read) {
      ++texts;
      const std::wstring wide = base::Widen(text);
      EXPECT_LT(wide.size(), CSettingsRegistry::kReadCapacity);
      if (type == REG_SZ || type == REG_EXPAND_SZ) {
        // Whole characters of the stored bytes, up to the first zero or the end.
        ASSERT_LE(wide.size() * 2, data.size());
        for (size_t i = 0; i < wide.size(); ++i) {
          wchar_t stored = static_cast<wchar_t>(data[2 * i] | (data[2 * i + 1] << 8));
          ASSERT_NE(stored, 0);
          if (stored < 0xD800 || stored > 0xDFFF) {
            ASSERT_EQ(wide[i], stored) << i;
          }
        }
      } else {
        EXPECT_EQ(type, DWORD{REG_DWORD});
        EXPECT_EQ(data.size(), 4u);
      }
    } else {
      ++failed;
      EXPECT_TRUE(text == "default" || text == "Binary data" || text == "Can't convert to string");
      EXPECT_FALSE(counted);
    }
    if (counted)
      ++numbers;
    else
      EXPECT_EQ(number, -5);
  }
  std::cout << "[ counts   ] 500 random values: " << texts << " read as text, " << numbers
            << " as numbers, " << failed << " left the default" << std::endl;
  EXPECT_GT(texts, 50);
  EXPECT_GT(failed, 50);
}

// The program's own reads, each value of the program in each wrong form at once: the
// options fall back to 47, the folder to none, and the window opens on the screen at a
// sane size with sane columns, and answers.
TEST(RegistryFaultsProgram, OptionsFolderAndWindowFallBackToTheirDefaults) {
  INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
  InitCommonControlsEx(&icc);
  SavedSettings saved;
  tolvatest::TempFolder temp;
  const RECT screen = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                       GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                       GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  int windows = 0;
  for (const Form& f : Forms()) {
    SCOPED_TRACE(f.what);
    for (const char* name : kReadNames) Store(kProgramKey, name, f.type, f.data);
    const bool text = f.text && (f.type == REG_SZ || f.type == REG_EXPAND_SZ);

    COptionsDialog options;
    EXPECT_EQ(options.LoadOptions(), static_cast<int>(f.number.value_or(OPTIONS_DEFAULT)));
    EXPECT_EQ(options.LoadDefaultFolder(), text ? *f.text : "");

    windowtest::RunningWindow w(temp);
    ASSERT_TRUE(w.WaitStarted());
    ++windows;
    EXPECT_EQ(w.dlg.Kernel().GetDefaultFolder(), text ? *f.text : "");
    RECT r{}, on{};
    GetWindowRect(w.Hwnd(), &r);
    EXPECT_TRUE(IntersectRect(&on, &r, &screen))
        << "window at " << r.left << "," << r.top << " to " << r.right << "," << r.bottom;
    EXPECT_LE(r.right - r.left, (screen.right - screen.left) * 2);
    EXPECT_LE(r.bottom - r.top, (screen.bottom - screen.top) * 2);
    for (int c = 0; c < 6; ++c) {
      const int width = w.dlg.List().ColumnWidth(c);
      EXPECT_GT(width, 0) << c;
      EXPECT_LE(width, screen.right - screen.left) << c;
    }
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutW(w.Hwnd(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result));
    // Placement and columns are saved as the window closes: leave that out of the count.
    Store(kProgramKey, "OptionsFlag", REG_SZ, Wide(L"0"));
    ASSERT_TRUE(w.Close());
  }
  std::cout << "[ counts   ] " << Forms().size() << " wrong forms of " << std::size(kReadNames)
            << " values, " << windows << " windows opened on them" << std::endl;
}

}  // namespace
