#include "bench/TextTable.h"

#include <gtest/gtest.h>

TEST(TextTable, PadsColumnsToTheWidestCell) {
  TextTable table({"<name", "MB/s"});
  table.AddRow({"1 x 64 MiB", "812.3"});
  table.AddRow({"short"});  // a missing cell stays blank
  EXPECT_EQ(table.Render(),
            "name         MB/s\n"
            "-----------------\n"
            "1 x 64 MiB  812.3\n"
            "short\n");
}

TEST(TextTable, NumbersKeepTheirDecimals) {
  EXPECT_EQ(TextTable::Number(812.349, 1), "812.3");
  EXPECT_EQ(TextTable::Number(0.5, 2), "0.50");
  EXPECT_EQ(TextTable::Number(1234.6, 0), "1235");
}
