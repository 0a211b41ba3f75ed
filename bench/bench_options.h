// A benchmark's command line for re-running one figure alone: [CASE_LABEL] [--frames N]
// [--repeats R].
#pragma once

#include <string>
#include <vector>

namespace bench {

struct CaseOptions {
  std::string only;  // empty: every case
  int frames = 0;    // 0: each case's own
  int repeats = 5;
};

// The arguments after the program's name into *out; false (said on stderr) for anything else,
// a second label or a count that is not a whole number of at least 1 included.
bool ParseCaseOptions(const std::vector<std::string>& args, CaseOptions* out);

}  // namespace bench
