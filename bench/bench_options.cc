#include "bench_options.h"

#include <cstdio>
#include <exception>

namespace bench {
namespace {

bool Count(const std::string& flag, const std::string& text, int* out) {
  size_t used = 0;
  int n = 0;
  try {
    n = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || n < 1) {
    std::fprintf(stderr, "bench: %s takes a count of at least 1, not \"%s\"\n", flag.c_str(),
                 text.c_str());
    return false;
  }
  *out = n;
  return true;
}

}  // namespace

bool ParseCaseOptions(const std::vector<std::string>& args, CaseOptions* out) {
  CaseOptions o;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--frames" || a == "--repeats") {
      if (i + 1 == args.size()) {
        std::fprintf(stderr, "bench: %s takes a count\n", a.c_str());
        return false;
      }
      if (!Count(a, args[++i], a == "--frames" ? &o.frames : &o.repeats)) return false;
    } else if (a.empty() || a[0] == '-' || !o.only.empty()) {
      std::fprintf(stderr,
                   "bench: unexpected \"%s\"; usage: [CASE_LABEL] [--frames N] "
                   "[--repeats R]\n",
                   a.c_str());
      return false;
    } else {
      o.only = a;
    }
  }
  *out = o;
  return true;
}

}  // namespace bench
