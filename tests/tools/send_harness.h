// Running pellion-send against a plain UDP receiver on loopback, and reading back what it sent:
// frames, their NAL units and parameter sets, the pictures they decode to, the trace; and the
// request link as a host speaks it.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StreamPacketHeader.h"
#include "common/unique_fd.h"
#include "elementary_stream.h"

namespace send_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using pellion_tools::Codec;
using pellion_tools::UniqueFd;

Bytes ReadBytes(const fs::path& p);
std::string ReadText(const fs::path& p);
int64_t MonotonicUs();
std::string Clip(const std::string& name);
inline Codec CodecOf(const std::string& clip) { return *pellion_tools::CodecFromFileName(clip); }
Bytes Unit(const Bytes& file, const pellion_tools::AccessUnit& u);

struct Packet {
  StreamPacketHeader h;
  size_t size = 0;  // of the datagram
  Bytes payload;
};
struct TraceLine {
  uint32_t frameidx;
  uint64_t au;
  int key;
  int64_t us;
};
struct Result {
  int exit_code = -1;
  std::string err;
  std::vector<Packet> packets;
  std::vector<TraceLine> trace;
  std::vector<size_t> requests;  // per request line: how many frame lines came before it
};

// Frames as received in order: consecutive packets of one frame index.
struct Frame {
  uint32_t idx;
  std::vector<Packet> packets;
  Bytes data;
};
std::vector<Frame> GroupFrames(const std::vector<Packet>& packets);
Bytes Concat(const std::vector<Frame>& frames);
// How far an unimpaired run from index 1 has got: its frames arrive in order.
inline uint32_t FramesSoFar(const Result& r) {
  return r.packets.empty() ? 0 : r.packets.back().h.frameidx;
}
void ExpectIndicesFrom(const std::vector<Frame>& frames, uint32_t first);

struct Nal {
  int type;
  Bytes body;  // from the NAL header on
  bool operator==(const Nal&) const = default;
};
std::vector<Nal> Nals(Codec c, const Bytes& b);
std::vector<Nal> ParameterSets(Codec c, const Bytes& b);
std::vector<Nal> FirstSets(Codec c, const Bytes& clip);  // those of its first access unit
bool OnlyParameterSets(Codec c, const Bytes& b);
bool HasKeyPicture(Codec c, const Bytes& b);
bool LongStartCode(const Bytes& b);

struct Decoded {
  std::vector<uint64_t> luma_hashes;  // one per picture out
  int errors = 0;
  int width = 0, height = 0;
};
// Decodes frames[from..], one packet per frame, strictly: any damage counts.
Decoded Decode(Codec c, const std::vector<Frame>& frames, size_t from = 0);
void ExpectDecodes(Codec c, const std::vector<Frame>& frames, size_t pictures, size_t from = 0);

// A socket bound to a loopback port of the system's choosing, and the port.
int Bind(int type, UniqueFd* s);
int FreeTcpPort();  // nobody listens on it right now
void Connect(int port, UniqueFd* s);
void SendAll(const UniqueFd& s, const std::string& bytes);
extern const std::string kRequest;
bool ClosedByPeer(const UniqueFd& s);  // without waiting

// Asks the sender for a key frame once 10 frames have come, and stops it 10 frames later.
struct AskOnceThenStop {
  int port = FreeTcpPort();
  UniqueFd link;
  uint32_t asked_at = 0;
  bool stopped = false;
  void OnTick(pid_t pid, const Result& so_far);
};

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the sender to the end (or `on_tick` stops it), receiving all the while.
  Result Send(std::vector<std::string> args,
              const std::function<void(pid_t, const Result&)>& on_tick = nullptr);
  // Sends without pacing when the receive buffer allows.
  std::vector<std::string> Quick(std::vector<std::string> args) const;

  fs::path dir_;

 private:
  pid_t Spawn(std::vector<std::string>& argv, const std::string& err);
  void Receive(int wait_ms, Result* r);

  std::vector<std::string> quick_ = {"--fast"};
  UniqueFd fd_;
  int port_ = 0;
  int runs_ = 0;
};

}  // namespace send_test
