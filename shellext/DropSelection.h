// The paths the file manager hands over as a drop list, and the texts made from them.
#pragma once

#include <string>
#include <vector>

#include "shellext/Shell.h"

namespace shellext {

class DropSelection {
 public:
  // Replaces the selection with every path of the drop list, each read whole however
  // long it is. Throws (leaving the selection as it was) only when memory runs out.
  void Read(HDROP drop);

  // The status-bar help text of both menu entries.
  std::wstring HelpText() const;

  // The source argument of the program's command line: one quoted path, or every path
  // followed by a semicolon inside one pair of quotes.
  std::wstring SourceArgument() const;

  std::wstring lastPath;  // the path read last; the only one for a single selection
  int fileCount = 0;      // as the drop list reports it
  std::vector<std::wstring> files;
};

// The full parameter text for "Download into...": sources, blank, the quoted folder.
std::wstring WithFolderArgument(const std::wstring& sources, const std::wstring& folder);

}  // namespace shellext
