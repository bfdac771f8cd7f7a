// The two lists the rewriter alternates between, known to the test that kills it.
#pragma once

#include <string>
#include <vector>

#include "engine/TaskListFile.h"

inline std::vector<TaskListEntry> RewriterList(bool longOne) {
  std::vector<TaskListEntry> list;
  const int count = longOne ? 200 : 3;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    list.push_back({"\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82 " + n,
                    "\\\\server\\share\\R&D\\report " + n + ".doc",
                    "C:\\In\\\xE5\xA0\xB1\xE5\x91\x8A " + n + ".doc", i % 3});
  }
  return list;
}
