// The two ways a program copies files without our engine, as yardsticks for it:
// the system's own CopyFileW, and the plain loop of synchronous 256 KiB reads and
// writes that a hand-written copier would use.
#pragma once

#include <string>
#include <vector>

namespace baseline {

// Bytes per ReadFile/WriteFile in the plain loop: the engine's chunk size.
constexpr unsigned kLoopChunk = 262144;

// Each copies every source into `folder` under its own file name, one after another,
// replacing existing files. False with `error` set at the first failure.
bool CopyWithCopyFile(const std::vector<std::string>& sources, const std::string& folder,
                      std::string& error);
bool CopyWithReadWrite(const std::vector<std::string>& sources, const std::string& folder,
                       std::string& error);

}  // namespace baseline
