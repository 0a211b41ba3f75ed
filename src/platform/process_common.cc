// Command lines by Windows' rules: the same text on every system, so that a command line means
// the same program and arguments wherever it is split.
#include "platform/process.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && IsBlank(line[i])) ++i;
  if (i == n) return args;

  // The program: up to the next quote when quoted, else up to the next blank; no escapes.
  std::string program;
  if (line[i] == '"') {
    ++i;
    while (i < n && line[i] != '"') program += line[i++];
    if (i < n) ++i;
  } else {
    while (i < n && !IsBlank(line[i])) program += line[i++];
  }
  args.push_back(std::move(program));

  while (i < n && IsBlank(line[i])) ++i;
  if (i == n) return args;
  std::string current;
  int quotes = 0;  // 1 inside a quoted group
  size_t backslashes = 0;
  while (i < n) {
    char c = line[i];
    if (IsBlank(c) && quotes == 0) {
      args.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (i < n && IsBlank(line[i])) ++i;
      if (i == n) return args;
      continue;
    }
    if (c == '\\') {
      current += c;
      ++backslashes;
      ++i;
      continue;
    }
    if (c == '"') {
      if (backslashes % 2 == 0) {
        current.resize(current.size() - backslashes / 2);
        ++quotes;
      } else {
        current.resize(current.size() - backslashes / 2 - 1);
        current += '"';
      }
      backslashes = 0;
      ++i;
      // Runs of quotes: every third one is a literal quote.
      while (i < n && line[i] == '"') {
        if (++quotes == 3) {
          current += '"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current += c;
    backslashes = 0;
    ++i;
  }
  args.push_back(std::move(current));
  return args;
}

std::string QuoteCommandLineArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string_view::npos) return std::string(arg);
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      backslashes = 0;
    } else {
      out.append(backslashes, '\\');
      backslashes = 0;
    }
    if (c != '\\') out += c;
  }
  // Backslashes before the closing quote are doubled so that it stays a quote.
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

std::string QuoteCommandLineProgram(std::string_view program) {
  // No escapes here: a quoted program ends at the next quote, a bare one at the next blank.
  if (!program.empty() && program[0] != '"' &&
      program.find_first_of(" \t") == std::string_view::npos)
    return std::string(program);
  // Appended, not "\"" + ...: g++ 12 at -O3 sees an overlap in the inlined operator+ that
  // cannot happen (-Wrestrict).
  std::string quoted;
  quoted.reserve(program.size() + 2);
  quoted += '"';
  quoted += program;
  quoted += '"';
  return quoted;
}

}  // namespace platform
