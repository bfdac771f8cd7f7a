// What the numbers were measured on, for the heading of a benchmark's output.
#pragma once

#include <string>

// "Wine 8.0" under Wine, otherwise "Windows <major>.<minor>".
std::string PlatformName();
