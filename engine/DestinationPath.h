// Destination paths as Windows compares them: folded case, one spelling of a folder,
// and the names a copy takes beside a file that is already there. Text only, except
// that a folder spelt with a short name is looked up to find its long one.
#pragma once

#include <string>

namespace destination_path {

// Equal the way the file system compares names (ordinal, case-insensitive).
bool Same(const std::string& a, const std::string& b);
// The key two paths share when they differ only in case.
std::wstring Folded(const std::string& path);
// A folder as Windows resolves it: full, one "\" between its parts, no "." or "..", no
// separator at its end, so that "D:\In", "D:\In\" and "D:/In/." are one folder; an
// existing folder given by its short name ("D:\DOWNLO~1") comes back long. An empty
// text stays empty; "C:" is the drive's root.
std::string NormalFolder(const std::string& folder);
// A file name that exists on Windows as it reads: "_" before a device name ("_NUL.txt"),
// trailing dots and blanks dropped. Other names come back as they are.
std::string SafeName(const std::string& name);
// "folder\name (k).ext", as browsers and Explorer name the k-th file of one name.
std::string NameBeside(const std::string& path, int k);

}  // namespace destination_path
