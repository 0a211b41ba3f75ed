#include "e2e_support.h"

#include "elementary_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <fstream>
#include <sstream>

namespace e2e {

Child::~Child() {
  if (process_.Kill()) process_.Wait(-1);
}

bool Child::Start(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
  platform::SpawnRequest request;
  request.program = argv.empty() ? std::string() : argv[0];
  request.argv = argv;
  request.stdout_path = out.string();
  request.stderr_path = err.string();
  request.caller_reaps = true;
  return platform::Process::Start(request, &process_) == platform::SpawnResult::kOk;
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
  if (process_.Wait(timeout.count()) != platform::kWaitObject0) return std::nullopt;
  return process_.exit_code();
}

bool Child::Running() { return process_.Wait(0) == platform::kWaitTimeout; }

void Child::Signal(int sig) { process_.Signal(sig); }

Trace ReadTrace(const fs::path& path) {
  Trace t;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("request ")) {
      t.requests.push_back(t.frames.size());
      continue;
    }
    std::istringstream fields(line);
    TraceFrame f;
    int key = 0;
    if (!(fields >> f.index >> f.au >> key >> f.last_datagram_us)) continue;
    f.key = key != 0;
    t.position[f.index] = t.frames.size();
    t.frames.push_back(f);
  }
  return t;
}

std::vector<DumpRecord> ReadDump(const fs::path& path, bool with_pictures) {
  std::vector<DumpRecord> records;
  std::ifstream in(path, std::ios::binary);
  std::error_code ec;
  const auto size = static_cast<uint64_t>(fs::file_size(path, ec));
  if (ec) return records;
  uint64_t pos = 0;
  uint8_t h[12];
  while (pos + sizeof h <= size && in.read(reinterpret_cast<char*>(h), sizeof h)) {
    DumpRecord r;
    r.index = static_cast<uint32_t>(h[0] | h[1] << 8 | h[2] << 16) | static_cast<uint32_t>(h[3])
                                                                         << 24;
    r.width = static_cast<uint16_t>(h[4] | h[5] << 8);
    r.height = static_cast<uint16_t>(h[6] | h[7] << 8);
    const uint32_t n =
        static_cast<uint32_t>(h[8] | h[9] << 8 | h[10] << 16) | static_cast<uint32_t>(h[11]) << 24;
    if (pos + sizeof h + n > size) break;
    if (with_pictures) {
      r.nv12.resize(n);
      if (!in.read(reinterpret_cast<char*>(r.nv12.data()), n)) break;
    } else {
      in.seekg(n, std::ios::cur);
    }
    pos += sizeof h + n;
    records.push_back(std::move(r));
  }
  return records;
}

std::string ReadText(const fs::path& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

namespace {

// Whether `got` is `a` and `b` in a few stretches, as two copies racing through a buffer
// leave it. Some bytes must be `a`'s alone and some `b`'s alone: a picture that is wholly an
// earlier one is a wrong picture, not a torn one.
bool MixOf(std::span<const uint8_t> got, std::span<const uint8_t> a, std::span<const uint8_t> b) {
  int from = 0, switches = 0;  // 0: a, 1: b
  size_t only_a = 0, only_b = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    bool in_a = got[i] == a[i], in_b = got[i] == b[i];
    if (!in_a && !in_b) return false;
    only_a += in_a && !in_b;
    only_b += in_b && !in_a;
    int now = in_a && in_b ? from : in_a ? 0 : 1;
    if (now != from && ++switches > 4) return false;
    from = now;
  }
  return only_a > 0 && only_b > 0;
}

}  // namespace

Verdict Compare(std::span<const uint8_t> got, std::span<const uint8_t> want,
                const std::vector<std::span<const uint8_t>>& earlier) {
  if (got.size() == want.size() && std::equal(got.begin(), got.end(), want.begin()))
    return Verdict::kIdentical;
  if (got.size() != want.size()) return Verdict::kDifferent;
  for (std::span<const uint8_t> e : earlier)
    if (e.size() == got.size() && MixOf(got, want, e)) return Verdict::kTorn;
  return Verdict::kDifferent;
}

bool UdpPortBound(int port) {
  char hex[8];
  std::snprintf(hex, sizeof hex, ":%04X", port);
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0) return true;
    }
  }
  return false;
}

namespace {

int FreePort(int type) {
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

}  // namespace

int FreeTcpPort() { return FreePort(SOCK_STREAM); }
int FreeUdpPort() { return FreePort(SOCK_DGRAM); }

}  // namespace e2e
