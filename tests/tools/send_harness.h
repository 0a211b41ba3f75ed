// Running pellion-send against a plain UDP receiver on loopback, and reading back what it sent:
// frames, their NAL units and parameter sets, the pictures they decode to, the trace; and the
// request link as a host speaks it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StreamPacketHeader.h"
#include "common/file_text.h"
#include "common/poller.h"
#include "common/unique_fd.h"
#include "common/wait.h"
#include "elementary_stream.h"
#include "ffmpeg_ptr.h"
#include "pellion/keyframe_link.h"
#include "platform/process.h"

namespace send_test {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using pellion_tools::Codec;
using pellion_tools::UniqueFd;

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

struct Nal {
  int type;
  Bytes body;  // from the NAL header on
  bool operator==(const Nal&) const = default;
};

struct Decoded {
  std::vector<uint64_t> luma_hashes;  // one per picture out
  int errors = 0;
  int width = 0, height = 0;
};

using testing_util::FileText;
inline Bytes ReadBytes(const fs::path& p) {
  const std::string s = FileText(p);
  return Bytes(s.begin(), s.end());
}
// The trace's clock.
inline int64_t MonotonicUs() { return pellion_tools::MonotonicNs() / 1000; }
inline std::string Clip(const std::string& name) {
  return (fs::path(PELLION_CLIPS_DIR) / name).string();
}
inline Codec CodecOf(const std::string& clip) { return *pellion_tools::CodecFromFileName(clip); }
inline Bytes Unit(const Bytes& file, const pellion_tools::AccessUnit& u) {
  return Bytes(file.begin() + static_cast<ptrdiff_t>(u.offset),
               file.begin() + static_cast<ptrdiff_t>(u.offset + u.size));
}

// How far an unimpaired run from index 1 has got: its frames arrive in order.
inline uint32_t FramesSoFar(const Result& r) {
  return r.packets.empty() ? 0 : r.packets.back().h.frameidx;
}
inline std::vector<Frame> GroupFrames(const std::vector<Packet>& packets) {
  std::vector<Frame> frames;
  for (const Packet& p : packets) {
    if (frames.empty() || frames.back().idx != p.h.frameidx)
      frames.push_back({p.h.frameidx, {}, {}});
    frames.back().packets.push_back(p);
    frames.back().data.insert(frames.back().data.end(), p.payload.begin(), p.payload.end());
  }
  return frames;
}
inline Bytes Concat(const std::vector<Frame>& frames) {
  Bytes all;
  for (const Frame& f : frames) all.insert(all.end(), f.data.begin(), f.data.end());
  return all;
}
inline void ExpectIndicesFrom(const std::vector<Frame>& frames, uint32_t first) {
  for (size_t i = 0; i < frames.size(); ++i, first = first == UINT32_MAX ? 1 : first + 1)
    ASSERT_EQ(frames[i].idx, first) << "frame " << i << ": indices go on by one, past 0";
}

// ---- NAL units of what was sent ------------------------------------------------------------

inline std::vector<Nal> Nals(Codec c, const Bytes& b) {
  std::vector<Nal> out;
  for (const pellion_tools::NalUnit& n : pellion_tools::SplitNalUnits(c, b))
    out.push_back({n.type, Bytes(b.begin() + static_cast<ptrdiff_t>(n.header),
                                 b.begin() + static_cast<ptrdiff_t>(n.offset + n.size))});
  return out;
}
inline std::vector<Nal> ParameterSets(Codec c, const Bytes& b) {
  std::vector<Nal> out = Nals(c, b);
  std::erase_if(out, [c](const Nal& n) { return !pellion_tools::IsParameterSetNal(c, n.type); });
  return out;
}
// Those of a clip's first access unit.
inline std::vector<Nal> FirstSets(Codec c, const Bytes& clip) {
  pellion_tools::SplitStream s = pellion_tools::SplitAccessUnits(c, clip);
  return s.units.empty() ? std::vector<Nal>{} : ParameterSets(c, Unit(clip, s.units[0]));
}
inline bool OnlyParameterSets(Codec c, const Bytes& b) {
  size_t all = Nals(c, b).size();
  return all > 0 && ParameterSets(c, b).size() == all;
}
inline bool HasKeyPicture(Codec c, const Bytes& b) {
  bool key = false;
  pellion_tools::ForEachNal(c, b, [&](int t) { key |= pellion_tools::IsKeyNal(c, t); });
  return key;
}
inline bool LongStartCode(const Bytes& b) {
  return b.size() >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

// ---- Decoding what was sent ----------------------------------------------------------------

inline void DrainPictures(AVCodecContext* ctx, AVFrame* pic, Decoded* d) {
  for (;;) {
    int rc = avcodec_receive_frame(ctx, pic);
    if (rc != 0) {
      if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) ++d->errors;
      return;
    }
    d->width = pic->width;
    d->height = pic->height;
    uint64_t h = 1469598103934665603u;
    for (int y = 0; y < pic->height; ++y)
      for (int x = 0; x < pic->width; ++x)
        h = (h ^ pic->data[0][y * pic->linesize[0] + x]) * 1099511628211u;
    d->luma_hashes.push_back(h);
    av_frame_unref(pic);
  }
}
// Decodes frames[from..], one packet per frame, strictly: any damage counts.
inline Decoded Decode(Codec c, const std::vector<Frame>& frames, size_t from = 0) {
  Decoded d;
  const AVCodec* codec =
      avcodec_find_decoder(c == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  PacketPtr pkt(av_packet_alloc());
  FramePtr pic(av_frame_alloc());
  ctx->thread_count = 1;
  ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {{}, 1};
  for (size_t i = from; i < frames.size(); ++i) {
    pkt->data = const_cast<uint8_t*>(frames[i].data.data());
    pkt->size = static_cast<int>(frames[i].data.size());
    // FFmpeg's H.264 decoder takes in the sets of a packet holding nothing else, then refuses
    // the packet for having no picture.
    if (avcodec_send_packet(ctx.get(), pkt.get()) < 0 && !OnlyParameterSets(c, frames[i].data))
      ++d.errors;
    DrainPictures(ctx.get(), pic.get(), &d);
  }
  avcodec_send_packet(ctx.get(), nullptr);
  DrainPictures(ctx.get(), pic.get(), &d);
  return d;
}
inline void ExpectDecodes(Codec c, const std::vector<Frame>& frames, size_t pictures,
                          size_t from = 0) {
  Decoded d = Decode(c, frames, from);
  EXPECT_EQ(d.errors, 0) << "decoding from frame " << from;
  EXPECT_EQ(d.luma_hashes.size(), pictures) << "decoding from frame " << from;
}

// ---- The request link, as a host speaks it -------------------------------------------------

inline sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}
// A socket bound to a port of the system's choosing, and the port.
inline int Bind(int type, UniqueFd* s) {
  *s = UniqueFd(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (bind(s->get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s->get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  return ntohs(a.sin_port);
}
// A port nobody listens on right now.
inline int FreeTcpPort() {
  UniqueFd s;
  return Bind(SOCK_STREAM, &s);
}
// The sender listens before its first datagram, so once one has come this connects at once.
inline void Connect(int port, UniqueFd* s) {
  *s = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = Loopback(port);
  ASSERT_EQ(connect(s->get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
}
inline void SendAll(const UniqueFd& s, const std::string& bytes) {
  ASSERT_EQ(send(s.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}
inline const std::string kRequest = pellion::EncodeLinkMessage(0, nullptr, 0);
// Without waiting: whether the sender has closed its end.
inline bool ClosedByPeer(const UniqueFd& s) {
  char c;
  ssize_t n = recv(s.get(), &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Called between receives while the sender runs, with what has come so far.
using OnTick = std::function<void(platform::Process& sender, const Result& so_far)>;

// Asks the sender for a key frame once 10 frames have come, and stops it 10 frames later.
struct AskOnceThenStop {
  int port = FreeTcpPort();
  UniqueFd link;
  uint32_t asked_at = 0;
  bool stopped = false;
  void OnTick(platform::Process& sender, const Result& so_far) {
    uint32_t got = FramesSoFar(so_far);
    if (asked_at == 0 && got >= 10) {
      Connect(port, &link);
      SendAll(link, kRequest);
      asked_at = got;
    } else if (asked_at != 0 && !stopped && got >= asked_at + 10) {
      stopped = sender.Signal(SIGINT);
    }
  }
};

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pellion-send-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    port_ = Bind(SOCK_DGRAM, &fd_);
    ASSERT_GT(port_, 0);
    // Room for a whole clip, so a --fast run loses nothing while this side is scheduled out.
    int size = 8 << 20;
    if (setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t size_len = sizeof size;
    getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &size, &size_len);
    if (size < (6 << 20)) quick_ = {"--fps", "1000"};  // a small buffer: pace instead
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the sender to the end (or `on_tick` stops it), receiving all the while, and expects it
  // to exit with `want_exit`.
  Result Send(std::vector<std::string> args, const OnTick& on_tick = nullptr, int want_exit = 0) {
    const std::string trace = (dir_ / ("trace" + std::to_string(runs_))).string();
    const std::string err = (dir_ / ("stderr" + std::to_string(runs_++))).string();
    platform::SpawnRequest req;
    req.program = PELLION_SEND_PATH;
    req.argv = {PELLION_SEND_PATH,     "--host",  "127.0.0.1", "--port",
                std::to_string(port_), "--trace", trace};
    req.stdout_path = "/dev/null";
    req.stderr_path = err;
    req.caller_reaps = true;
    // Runs side by side must not fight over the default request port.
    if (std::find(args.begin(), args.end(), "--request-port") == args.end())
      req.argv.insert(req.argv.end(), {"--request-port", "0"});
    req.argv.insert(req.argv.end(), args.begin(), args.end());
    Result r;
    platform::Process sender;
    EXPECT_EQ(platform::Process::Start(req, &sender), platform::SpawnResult::kOk);
    if (!sender.valid()) return r;
    const bool ended = testing_util::WaitUntil(
        [&] {
          Receive(10, &r);
          if (on_tick) {
            r.err = FileText(err);
            on_tick(sender, r);
          }
          return sender.Wait(0) == platform::kWaitObject0;
        },
        std::chrono::seconds(60));
    if (!ended) {
      sender.Kill();
      sender.Wait(-1);
      ADD_FAILURE() << "the sender did not finish";
    }
    Receive(0, &r);  // loopback delivers before sendto returns: all is queued by now
    r.exit_code = sender.exit_code();
    r.err = FileText(err);
    ReadTrace(trace, &r);
    std::string what;
    for (const std::string& a : args) what += a + " ";
    EXPECT_EQ(r.exit_code, want_exit) << what << ": " << r.err;
    return r;
  }

  static void ReadTrace(const std::string& path, Result* r) {
    std::ifstream t(path);
    for (std::string line; std::getline(t, line);) {
      std::istringstream in(line);
      TraceLine l{};
      if (line.starts_with("request "))
        r->requests.push_back(r->trace.size());
      else if (in >> l.frameidx >> l.au >> l.key >> l.us)
        r->trace.push_back(l);
      else
        ADD_FAILURE() << "trace line: " << line;
    }
  }

  void Receive(int wait_ms, Result* r) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return;
    Bytes buf(1 << 16);
    for (ssize_t n; (n = recv(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT)) >= 0;) {
      Packet pk;
      pk.size = static_cast<size_t>(n);
      EXPECT_TRUE(StreamPacketHeader::Parse(buf.data(), pk.size, &pk.h)) << n << " bytes";
      if (pk.size >= StreamPacketHeader::kSize)
        pk.payload.assign(buf.begin() + StreamPacketHeader::kSize, buf.begin() + n);
      r->packets.push_back(std::move(pk));
    }
  }

  // Sends without pacing when the receive buffer allows.
  std::vector<std::string> Quick(std::vector<std::string> args) const {
    args.insert(args.end(), quick_.begin(), quick_.end());
    return args;
  }

  fs::path dir_;
  std::vector<std::string> quick_ = {"--fast"};
  UniqueFd fd_;
  int port_ = 0;
  int runs_ = 0;
};

}  // namespace send_test
