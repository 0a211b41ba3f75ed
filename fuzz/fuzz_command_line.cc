// The command-line splitter and the quoting meant for it. The input is an argument list, the
// arguments separated by NUL bytes (which no command line can hold); the first is the program.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.h"
#include "platform/process.h"

namespace {

std::vector<std::string> ArgumentsOf(std::string_view input) {
  std::vector<std::string> args;
  size_t start = 0;
  for (;;) {
    size_t nul = input.find('\0', start);
    args.emplace_back(input.substr(start, nul - start));
    if (nul == std::string_view::npos) return args;
    start = nul + 1;
  }
}

// The first word ends at a quote when quoted and at a blank otherwise, with no escapes: a
// program holding a quote can only be written bare.
bool ProgramCanBeWritten(const std::string& p) {
  if (p.find('"') == std::string::npos) return true;
  return p[0] != '"' && p.find_first_of(" \t") == std::string::npos;
}

std::string Join(const std::string& program, const std::vector<std::string>& args) {
  std::string line = platform::QuoteCommandLineProgram(program);
  for (size_t i = 1; i < args.size(); ++i)
    line += " " + platform::QuoteCommandLineArgument(args[i]);
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  // Any line splits, and quoting the pieces again gives the same pieces.
  std::vector<std::string> split = platform::SplitCommandLine(input);
  if (!split.empty()) FUZZ_CHECK(platform::SplitCommandLine(Join(split[0], split)) == split);

  std::vector<std::string> args = ArgumentsOf(input);
  if (!ProgramCanBeWritten(args[0])) args[0] = "p";
  FUZZ_CHECK(platform::SplitCommandLine(Join(args[0], args)) == args);
  return 0;
}
