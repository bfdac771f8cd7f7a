#include "bench/TextTable.h"

#include <algorithm>
#include <cstdio>

TextTable::TextTable(std::vector<std::string> headers) {
  for (std::string& h : headers) {
    bool left = !h.empty() && h[0] == '<';
    leftAligned_.push_back(left);
    headers_.push_back(left ? h.substr(1) : h);
  }
}

void TextTable::AddRow(std::vector<std::string> cells) {
  cells.resize(headers_.size());
  rows_.push_back(std::move(cells));
}

std::string TextTable::Render() const {
  std::vector<size_t> widths;
  for (const std::string& h : headers_) widths.push_back(h.size());
  for (const auto& row : rows_)
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());

  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t c = 0; c < cells.size(); ++c) {
      std::string pad(widths[c] - cells[c].size(), ' ');
      if (c) out += "  ";
      out += leftAligned_[c] ? cells[c] + pad : pad + cells[c];
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out + "\n";
  };

  std::string out = line(headers_);
  size_t total = 0;
  for (size_t w : widths) total += w;
  out += std::string(total + 2 * (widths.size() - 1), '-') + "\n";
  for (const auto& row : rows_) out += line(row);
  return out;
}

std::string TextTable::Number(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}
