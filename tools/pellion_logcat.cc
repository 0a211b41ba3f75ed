// pellion-logcat: prints log files as plain text, unscrambling scrambled ones.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "log/scramble.h"

namespace {

using NORV::sLog::kLogFileHeaderStart;

// Decides from the first bytes whether a stream is scrambled: every log file starts with the
// same header text.
class Decoder {
 public:
  void Feed(std::string chunk, std::ostream& out) {
    if (!decided_) {
      pending_ += chunk;
      std::string marker = NORV::sLog::Scrambled(kLogFileHeaderStart);
      size_t n = std::min(pending_.size(), marker.size());
      if (pending_.compare(0, n, marker, 0, n) != 0) {
        decided_ = true;
      } else if (pending_.size() >= marker.size()) {
        decided_ = scrambled_ = true;
      } else {
        return;  // not enough bytes yet
      }
      chunk.swap(pending_);
    }
    if (scrambled_) NORV::sLog::ScrambleInPlace(chunk.data(), chunk.size());
    out << chunk;
  }
  void Finish(std::ostream& out) {
    if (!decided_) out << pending_;  // shorter than the marker: plain
  }

 private:
  bool decided_ = false, scrambled_ = false;
  std::string pending_;
};

bool Cat(std::istream& in, bool follow, std::ostream& out) {
  Decoder decoder;
  std::vector<char> buf(1 << 16);
  for (;;) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    std::streamsize n = in.gcount();
    if (n > 0) {
      decoder.Feed(std::string(buf.data(), static_cast<size_t>(n)), out);
      out.flush();
      continue;
    }
    if (!follow) break;
    in.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // polling a growing file
  }
  decoder.Finish(out);
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "Prints Pellion log files as plain text; scrambled files are unscrambled, plain "
      "ones pass through. With no file, reads standard input."};
  std::vector<std::string> files;
  bool follow = false;
  app.add_option("files", files, "log files (- for standard input)");
  app.add_flag("-f,--follow", follow, "keep printing what is appended to the (last) file");
  app.set_version_flag("--version", "pellion-logcat " PELLION_VERSION);
  CLI11_PARSE(app, argc, argv);
  if (files.empty()) files.push_back("-");
  int rc = 0;
  for (size_t i = 0; i < files.size(); ++i) {
    bool last = i + 1 == files.size();
    if (files[i] == "-") {
      Cat(std::cin, follow && last, std::cout);
      continue;
    }
    std::ifstream f(files[i], std::ios::binary);
    if (!f) {
      std::fprintf(stderr, "pellion-logcat: cannot open %s: %s\n", files[i].c_str(),
                   std::strerror(errno));
      rc = 1;
      continue;
    }
    if (!Cat(f, follow && last, std::cout)) rc = 1;
  }
  return rc;
}
