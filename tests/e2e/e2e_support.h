// What the end-to-end tests share: child processes, the sender's trace, the host's dump, the
// picture comparison.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/reference.h"
#include "platform/process.h"

namespace e2e {

namespace fs = std::filesystem;

// A child process with its standard output and error in files. Killed and reaped when still
// running at destruction, so a failed assertion leaves nothing behind.
class Child {
 public:
  Child() = default;
  ~Child();

  bool Start(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err);
  // The exit code (128 + signal when killed), or nullopt when it still runs after `timeout`.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  void Signal(int sig);

 private:
  platform::Process process_;
};

struct TraceFrame {
  uint32_t index = 0;
  uint64_t au = 0;
  bool key = false;
  int64_t last_datagram_us = 0;
};

struct Trace {
  std::vector<TraceFrame> frames;  // in sending order
  // Per request line: how many frame lines came before it.
  std::vector<size_t> requests;
  std::map<uint32_t, size_t> position;  // frame index -> position in `frames`
};
Trace ReadTrace(const fs::path& path);

struct DumpRecord {
  uint32_t index = 0;
  uint16_t width = 0, height = 0;
  std::vector<uint8_t> nv12;  // empty unless asked for
};
// The complete records of a dump; one still being written at the end is left out.
std::vector<DumpRecord> ReadDump(const fs::path& path, bool with_pictures);

using testing_util::ClipPath;
using testing_util::ClipSize;
using testing_util::Reference;
std::string ReadText(const fs::path& path);

enum class Verdict {
  kIdentical,
  // The reader copied while the next picture was being written over it: its start belongs to
  // the expected picture, the rest to one sent shortly before. The section has no lock, so a
  // reader that falls behind can see this without being told.
  kTorn,
  kDifferent,
};
// `earlier`: the pictures that may still have been in the section.
Verdict Compare(std::span<const uint8_t> got, std::span<const uint8_t> want,
                const std::vector<std::span<const uint8_t>>& earlier);

// Whether anything has UDP `port` bound, from /proc/net (looking never takes the port).
bool UdpPortBound(int port);
// A loopback TCP port nobody listens on right now.
int FreeTcpPort();
// A UDP port nobody has bound right now: senders of one test send from it, so that the receiver
// sees one source.
int FreeUdpPort();

}  // namespace e2e
