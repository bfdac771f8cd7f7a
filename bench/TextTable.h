// A plain-text table for the console: a header row, a rule, and rows whose columns
// are padded to the widest cell (text left-aligned, the rest right-aligned).
#pragma once

#include <string>
#include <vector>

class TextTable {
 public:
  // Columns whose header starts with '<' are left-aligned (the '<' is not shown).
  explicit TextTable(std::vector<std::string> headers);

  void AddRow(std::vector<std::string> cells);
  std::string Render() const;

  // "812.3": a number with `decimals` digits after the point.
  static std::string Number(double value, int decimals);

 private:
  std::vector<std::string> headers_;
  std::vector<bool> leftAligned_;
  std::vector<std::vector<std::string>> rows_;
};
