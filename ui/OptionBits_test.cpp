// Options are read from the registry at every consultation, with their default when
// absent, and map to the kernel's retry period and speed unit.
#include "ui/OptionBits.h"

#include <gtest/gtest.h>

#include "ui/OptionsDialog.h"
#include "ui/SettingsRegistry.h"
#include "base/Win.h"

namespace {

class OptionBitsTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva"); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva"); }
  COptionsDialog options;  // never shown, as the main window keeps it
};

TEST_F(OptionBitsTest, DefaultsTo47AndSeesEveryStoredChangeAtOnce) {
  int bits = options.LoadOptions();
  EXPECT_EQ(bits, 47);
  EXPECT_TRUE(bits & OPT_SAVE_PLACEMENT);
  EXPECT_TRUE(bits & OPT_SAVE_COLUMNS);
  EXPECT_TRUE(bits & OPT_TRAY_ON_MINIMIZE);
  EXPECT_FALSE(bits & OPT_ALWAYS_ON_TOP);
  EXPECT_EQ(SpeedUnitFromOptions(bits), SPEED_UNIT_MBPS);
  EXPECT_EQ(RetryPeriodFromOptions(bits), 5);
  // Reading stores nothing.
  std::string text;
  EXPECT_FALSE(theRegistry.ReadString("Tolva", "OptionsFlag", text));

  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "OptionsFlag", 555));
  EXPECT_EQ(options.LoadOptions(), 555);
  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "OptionsFlag", 0));
  EXPECT_EQ(options.LoadOptions(), 0);
  // Unreadable (binary) falls back to the default, not to the last value read.
  const BYTE blob[] = {9, 9};
  RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"OptionsFlag", REG_BINARY, blob, 2);
  EXPECT_EQ(options.LoadOptions(), 47);
}

TEST_F(OptionBitsTest, SpeedUnitAndRetryPeriodFollowTheirPrecedence) {
  // Kilobits win over megabits; neither keeps the current unit.
  EXPECT_EQ(SpeedUnitFromOptions(OPT_SPEED_MBPS | OPT_SPEED_KBPS), SPEED_UNIT_KBPS);
  EXPECT_EQ(SpeedUnitFromOptions(OPT_SPEED_MBPS), SPEED_UNIT_MBPS);
  EXPECT_EQ(SpeedUnitFromOptions(OPT_RETRY_5S | 0x100), 0);
  EXPECT_STREQ(SpeedUnitLabel(SPEED_UNIT_KBPS), "Kbps");
  EXPECT_STREQ(SpeedUnitLabel(SPEED_UNIT_MBPS), "Mbps");
  EXPECT_STREQ(SpeedUnitLabel(0), "");

  // The first retry bit in the order 5, 30, 60 seconds decides.
  EXPECT_EQ(RetryPeriodFromOptions(OPT_RETRY_30S | OPT_RETRY_60S), 30);
  EXPECT_EQ(RetryPeriodFromOptions(OPT_RETRY_5S | OPT_RETRY_60S), 5);
  EXPECT_EQ(RetryPeriodFromOptions(OPT_RETRY_60S), 60);
  EXPECT_EQ(RetryPeriodFromOptions(OPT_SPEED_KBPS | OPT_ALWAYS_ON_TOP), 0);

  ASSERT_TRUE(theRegistry.WriteInteger("Tolva", "OptionsFlag", 0x08 | 0x10 | 0x40 | 0x80));
  int bits = options.LoadOptions();
  EXPECT_EQ(SpeedUnitFromOptions(bits), SPEED_UNIT_KBPS);
  EXPECT_EQ(RetryPeriodFromOptions(bits), 30);
}

TEST_F(OptionBitsTest, DefaultFolderIsReadAfreshAndNeverAFailureText) {
  EXPECT_EQ(options.LoadDefaultFolder(), "");
  ASSERT_TRUE(theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "D:\\In"));
  EXPECT_EQ(options.LoadDefaultFolder(), "D:\\In");
  ASSERT_TRUE(theRegistry.WriteString("Tolva", "DefaultDownloadFolder", "E:\\Other"));
  EXPECT_EQ(options.LoadDefaultFolder(), "E:\\Other");
  const BYTE blob[] = {1};
  RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Tolva", L"DefaultDownloadFolder", REG_BINARY, blob,
                  1);
  EXPECT_EQ(options.LoadDefaultFolder(), "");
}

}  // namespace
