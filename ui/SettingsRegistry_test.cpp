// The settings store against the real registry: where values land, the text form they
// are stored in, what reads back, and what a failed read leaves behind.
#include "ui/SettingsRegistry.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Win.h"

namespace {

const wchar_t kTestRoot[] = L"SOFTWARE\\TolvaTest";
const wchar_t kTestKey[] = L"SOFTWARE\\TolvaTest\\Tolva";

class SettingsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestRoot); }

  static void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kTestKey, name, type, data, bytes), ERROR_SUCCESS);
  }
  static void SetRawText(const wchar_t* name, const std::wstring& text, DWORD type = REG_SZ) {
    SetRaw(name, type, text.c_str(), DWORD((text.size() + 1) * sizeof(wchar_t)));
  }

  CSettingsRegistry reg{"TolvaTest"};
};

TEST_F(SettingsRegistryTest, MissingKeyFailsEveryReadAndTheFirstWriteCreatesIt) {
  std::string text = "default";
  long value = -1;
  EXPECT_FALSE(reg.KeyExists("Tolva", "OptionsFlag"));
  EXPECT_FALSE(reg.ReadString("Tolva", "DefaultDownloadFolder", text));
  EXPECT_FALSE(reg.ReadInteger("Tolva", "PositionX", value));
  EXPECT_EQ(text, "default");
  EXPECT_EQ(value, -1);

  ASSERT_TRUE(reg.WriteInteger("Tolva", "Width", -1));
  EXPECT_TRUE(reg.KeyExists("Tolva", "AnyName"));

  // Stored as REG_SZ text with its terminating zero counted.
  wchar_t raw[16] = {};
  DWORD type = 0, bytes = sizeof(raw);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kTestKey, L"Width", RRF_RT_ANY, &type, raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_SZ));
  EXPECT_STREQ(raw, L"-1");
  EXPECT_EQ(bytes, 3 * sizeof(wchar_t));

  value = 99;
  EXPECT_TRUE(reg.ReadInteger("Tolva", "Width", value));
  EXPECT_EQ(value, -1);
  // A missing value under an existing key still fails and keeps the default.
  value = 5;
  EXPECT_FALSE(reg.ReadInteger("Tolva", "Height", value));
  EXPECT_EQ(value, 5);
}

TEST_F(SettingsRegistryTest, TextIsConvertedByStoredType) {
  SetRawText(L"Digits", L"12abc");
  SetRawText(L"Letters", L"abc");
  SetRawText(L"Padded", L"  -42 apples");
  SetRawText(L"Expand", L"%TEMP%\\x", REG_EXPAND_SZ);
  DWORD seven = 7, minusOne = 0xFFFFFFFF;
  SetRaw(L"Dword", REG_DWORD, &seven, sizeof(seven));
  SetRaw(L"DwordNeg", REG_DWORD, &minusOne, sizeof(minusOne));
  const BYTE blob[] = {1, 2, 3};
  SetRaw(L"Blob", REG_BINARY, blob, sizeof(blob));
  const wchar_t multi[] = L"a\0b\0";
  SetRaw(L"Multi", REG_MULTI_SZ, multi, sizeof(multi));

  long n = -7;
  EXPECT_TRUE(reg.ReadInteger("Tolva", "Digits", n));
  EXPECT_EQ(n, 12);
  EXPECT_TRUE(reg.ReadInteger("Tolva", "Letters", n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(reg.ReadInteger("Tolva", "Padded", n));
  EXPECT_EQ(n, -42);

  std::string text;
  EXPECT_TRUE(reg.ReadString("Tolva", "Expand", text));
  EXPECT_EQ(text, "%TEMP%\\x");
  EXPECT_TRUE(reg.ReadString("Tolva", "Dword", text));
  EXPECT_EQ(text, "7");
  EXPECT_TRUE(reg.ReadInteger("Tolva", "Dword", n));
  EXPECT_EQ(n, 7);
  EXPECT_TRUE(reg.ReadInteger("Tolva", "DwordNeg", n));
  EXPECT_EQ(n, -1);

  // Unsupported types fail but still hand back their failure text...
  EXPECT_FALSE(reg.ReadString("Tolva", "Blob", text));
  EXPECT_EQ(text, "Binary data");
  EXPECT_FALSE(reg.ReadString("Tolva", "Multi", text));
  EXPECT_EQ(text, "Can't convert to string");
  // ...while an integer read keeps the caller's default.
  n = 47;
  EXPECT_FALSE(reg.ReadInteger("Tolva", "Blob", n));
  EXPECT_EQ(n, 47);

  // A count takes text of digits alone, within its range; anything else keeps the
  // default, where ReadInteger would have made a number of it.
  SetRawText(L"Count", L" 12 ");
  SetRawText(L"Zero", L"0");
  SetRawText(L"Over", L"1000");
  SetRawText(L"Huge", L"99999999999999999999");
  SetRawText(L"Signed", L"-3");
  SetRawText(L"Plus", L"+3");
  SetRawText(L"Empty", L"");
  const struct {
    const char* name;
    long expected;  // 5: the default kept
  } counts[] = {{"Count", 12},  {"Zero", 0},  {"Over", 5},  {"Huge", 5},
                {"Signed", 5},  {"Plus", 5},  {"Empty", 5}, {"Digits", 5},
                {"Letters", 5}, {"Dword", 5}, {"Blob", 5},  {"Missing", 5}};
  for (const auto& count : counts) {
    long value = 5;
    EXPECT_EQ(reg.ReadCount("Tolva", count.name, 0, 999, value), count.expected != 5) << count.name;
    EXPECT_EQ(value, count.expected) << count.name;
  }
}

TEST_F(SettingsRegistryTest, ReadsUpTo255CharactersAndRoundTripsAnyScript) {
  std::string fits(255, 'a'), tooLong(256, 'b');
  ASSERT_TRUE(reg.WriteString("Tolva", "Fits", fits));
  ASSERT_TRUE(reg.WriteString("Tolva", "TooLong", tooLong));
  std::string text = "kept";
  EXPECT_TRUE(reg.ReadString("Tolva", "Fits", text));
  EXPECT_EQ(text, fits);
  text = "kept";
  EXPECT_FALSE(reg.ReadString("Tolva", "TooLong", text));
  EXPECT_EQ(text, "kept");

  const std::string cyrillic =
      "C:\\\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8";
  ASSERT_TRUE(reg.WriteString("Tolva", "DefaultDownloadFolder", cyrillic));
  EXPECT_TRUE(reg.ReadString("Tolva", "DefaultDownloadFolder", text));
  EXPECT_EQ(text, cyrillic);
  ASSERT_TRUE(reg.WriteString("Tolva", "Empty", ""));
  EXPECT_TRUE(reg.ReadString("Tolva", "Empty", text));
  EXPECT_EQ(text, "");
}

TEST_F(SettingsRegistryTest, BackslashInTheNameMovesIntoTheKeyPath) {
  ASSERT_TRUE(reg.WriteString("Tolva", "Sub\\Value", "x"));
  wchar_t raw[8] = {};
  DWORD bytes = sizeof(raw);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"SOFTWARE\\TolvaTest\\Tolva\\Sub", L"Value",
                         RRF_RT_REG_SZ, nullptr, raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(raw, L"x");
  EXPECT_TRUE(reg.KeyExists("Tolva\\Sub", "whatever"));
  EXPECT_FALSE(reg.KeyExists("Tolva\\Other", "Value"));

  std::string key, value;
  CSettingsRegistry::SplitValuePath("a\\b\\c", key, value);
  EXPECT_EQ(key, "a\\b");
  EXPECT_EQ(value, "c");
  CSettingsRegistry::SplitValuePath("plain", key, value);
  EXPECT_EQ(key, "");
  EXPECT_EQ(value, "plain");
}

TEST_F(SettingsRegistryTest, RootsSelectTheirTreeAndUnknownRootsFailUntouched) {
  for (int bad : {0, 4, -1}) {
    std::string text = "kept";
    long n = 3;
    auto root = static_cast<RegistryRoot>(bad);
    EXPECT_FALSE(reg.WriteString(root, "Tolva", "V", "x"));
    EXPECT_FALSE(reg.WriteInteger(root, "Tolva", "V", 1));
    EXPECT_FALSE(reg.ReadString(root, "Tolva", "V", text));
    EXPECT_FALSE(reg.ReadInteger(root, "Tolva", "V", n));
    EXPECT_FALSE(reg.KeyExists(root, "Tolva", "V"));
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(n, 3);
  }
  EXPECT_FALSE(reg.KeyExists("Tolva", "V"));

  // Local machine uses the same SOFTWARE\prefix\section rule.
  ASSERT_TRUE(reg.WriteInteger(LocalMachine, "Tolva", "Machine", 12));
  long n = 0;
  EXPECT_TRUE(reg.ReadInteger(LocalMachine, "Tolva", "Machine", n));
  EXPECT_EQ(n, 12);
  EXPECT_FALSE(reg.ReadInteger(CurrentUser, "Tolva", "Machine", n));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kTestRoot);

  // The classes root takes section\name alone.
  ASSERT_TRUE(reg.WriteString(ClassesRoot, "TolvaTestClass", "Value", "y"));
  wchar_t raw[8] = {};
  DWORD bytes = sizeof(raw);
  EXPECT_EQ(RegGetValueW(HKEY_CLASSES_ROOT, L"TolvaTestClass", L"Value", RRF_RT_REG_SZ, nullptr,
                         raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(raw, L"y");
  RegDeleteTreeW(HKEY_CLASSES_ROOT, L"TolvaTestClass");
}

TEST(SettingsRegistryGlobal, TheProgramStoreLivesUnderSoftwareTolva) {
  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "StoreLocationProbe", 42));
  wchar_t raw[8] = {};
  DWORD bytes = sizeof(raw);
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"StoreLocationProbe",
                         RRF_RT_REG_SZ, nullptr, raw, &bytes),
            ERROR_SUCCESS);
  EXPECT_STREQ(raw, L"42");
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"StoreLocationProbe");
}

}  // namespace
