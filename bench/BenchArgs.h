// The few options the benchmark programs take: "--rounds N" and "--quick".
#pragma once

struct BenchArgs {
  int rounds = 5;
  bool quick = false;  // smaller inputs, for a check that everything runs

  // False for an unknown option or a bad number; `rounds` keeps its default then.
  bool Parse(int argc, wchar_t** argv);
};
