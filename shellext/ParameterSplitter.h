// Turns a selection into the parameter texts of one or more starts of the program. One
// start cannot carry every selection: a command line has a fixed length, and a start
// that finds the program running hands its text over through an area of fixed size.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "shellext/DropSelection.h"

namespace shellext {

class ParameterSplitter {
 public:
  // The longest command line a process can be given, its terminating zero included, in
  // UTF-16 units.
  static constexpr size_t kCommandLineChars = 32767;

  // `programChars`: how many characters the program takes on the command line before
  // the blank that precedes the parameters (its quotes included).
  explicit ParameterSplitter(size_t programChars);

  struct Parts {
    std::vector<std::wstring> starts;   // one parameter text per start, in order
    std::vector<std::wstring> skipped;  // paths that cannot go even alone
  };

  // The whole selection as one start when it fits, in the same text as the program has
  // always been given. Otherwise consecutive runs of its paths, each run as long as
  // fits, each in the several-paths form and each followed by the folder (none when
  // `folder` is empty). A path is never cut: one that does not fit alone is skipped.
  Parts Split(const DropSelection& selection, const std::wstring& folder) const;

  // Whether `parameters` can be given to the program in one start.
  bool Fits(std::wstring_view parameters) const;

 private:
  bool Fits(size_t chars, size_t utf8Bytes) const;

  size_t programChars_;
};

}  // namespace shellext
