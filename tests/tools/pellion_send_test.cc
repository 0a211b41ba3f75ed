// pellion-send as a process, against a plain UDP receiver on loopback: packet layout, byte-exact
// reassembly of every clip, trace, numbering, pacing, seeded impairments, signals, bad input,
// key-frame requests over TCP, the built-in encoders and the ways of handing out parameter sets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "StreamPacketHeader.h"
#include "elementary_stream.h"
#include "pellion/keyframe_link.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), {});
}
std::string ReadText(const fs::path& p) {
  std::ifstream f(p);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}
int64_t MonotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}
fs::path Clip(const std::string& name) { return fs::path(PELLION_CLIPS_DIR) / name; }

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
std::vector<Frame> GroupFrames(const std::vector<Packet>& packets) {
  std::vector<Frame> frames;
  for (const Packet& p : packets) {
    if (frames.empty() || frames.back().idx != p.h.frameidx)
      frames.push_back({p.h.frameidx, {}, {}});
    frames.back().packets.push_back(p);
    frames.back().data.insert(frames.back().data.end(), p.payload.begin(), p.payload.end());
  }
  return frames;
}
Bytes Concat(const std::vector<Frame>& frames) {
  Bytes all;
  for (const Frame& f : frames) all.insert(all.end(), f.data.begin(), f.data.end());
  return all;
}

// How far an unimpaired run from index 1 has got: its frames arrive in order.
uint32_t FramesSoFar(const Result& r) {
  return r.packets.empty() ? 0 : r.packets.back().h.frameidx;
}

// ---- The request link, as a host speaks it ------------------------------------------------

struct Fd {
  int fd = -1;
  Fd() = default;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}
// Binds `s` to a port of the system's choosing and returns the port.
int BindTcp(Fd* s) {
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (bind(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(s->fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  return ntohs(a.sin_port);
}
// A port nobody listens on right now.
int FreeTcpPort() {
  Fd s;
  return BindTcp(&s);
}
// The sender listens before its first datagram, so once one has come this connects at once.
void Connect(int port, Fd* s) {
  s->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(port);
  ASSERT_EQ(connect(s->fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
}
void SendAll(const Fd& s, const std::string& bytes) {
  ASSERT_EQ(send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}
const std::string kRequest = pellion::EncodeLinkMessage(0, nullptr, 0);
// Without waiting: whether the sender has closed its end.
bool ClosedByPeer(const Fd& s) {
  char c;
  ssize_t n = recv(s.fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// ---- Decoding what was sent ---------------------------------------------------------------

struct Decoded {
  std::vector<uint64_t> luma_hashes;  // one per picture out
  int errors = 0;
  int width = 0, height = 0;
};
// Decodes frames[from..], one packet per frame, strictly: any damage counts.
Decoded DecodeH264(const std::vector<Frame>& frames, size_t from = 0,
                   AVCodecID id = AV_CODEC_ID_H264) {
  Decoded d;
  const AVCodec* codec = avcodec_find_decoder(id);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
      avcodec_alloc_context3(codec), [](AVCodecContext* p) { avcodec_free_context(&p); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                     [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> pic(av_frame_alloc(),
                                                   [](AVFrame* p) { av_frame_free(&p); });
  ctx->thread_count = 1;
  ctx->err_recognition = AV_EF_EXPLODE | AV_EF_CRCCHECK | AV_EF_BITSTREAM;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) {
    ++d.errors;
    return d;
  }
  auto drain = [&] {
    for (;;) {
      int rc = avcodec_receive_frame(ctx.get(), pic.get());
      if (rc != 0) {
        if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) ++d.errors;
        return;
      }
      d.width = pic->width;
      d.height = pic->height;
      uint64_t h = 1469598103934665603u;
      for (int y = 0; y < pic->height; ++y)
        for (int x = 0; x < pic->width; ++x)
          h = (h ^ pic->data[0][y * pic->linesize[0] + x]) * 1099511628211u;
      d.luma_hashes.push_back(h);
      av_frame_unref(pic.get());
    }
  };
  const pellion_tools::Codec c =
      id == AV_CODEC_ID_H264 ? pellion_tools::Codec::kH264 : pellion_tools::Codec::kHevc;
  // FFmpeg's H.264 decoder takes in the sets of a packet holding nothing else, then refuses the
  // packet for having no picture.
  auto sets_only = [c](const Bytes& b) {
    std::vector<pellion_tools::NalUnit> nals = pellion_tools::SplitNalUnits(c, b);
    return std::all_of(nals.begin(), nals.end(), [c](const pellion_tools::NalUnit& n) {
      return pellion_tools::IsParameterSetNal(c, n.type);
    });
  };
  for (size_t i = from; i < frames.size(); ++i) {
    pkt->data = const_cast<uint8_t*>(frames[i].data.data());
    pkt->size = static_cast<int>(frames[i].data.size());
    if (avcodec_send_packet(ctx.get(), pkt.get()) < 0 && !sets_only(frames[i].data)) ++d.errors;
    drain();
  }
  avcodec_send_packet(ctx.get(), nullptr);
  drain();
  return d;
}

class SendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("pellion-send-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd_, 0);
    // Room for a whole clip, so a --fast run loses nothing while this side is scheduled out.
    int size = 8 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t size_len = sizeof size;
    getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &size_len);
    if (size < (6 << 20)) quick_ = {"--fps", "1000"};  // a small buffer: pace instead
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len), 0);
    port_ = ntohs(a.sin_port);
  }
  void TearDown() override {
    close(fd_);
    fs::remove_all(dir_);
  }

  // Runs the sender to the end (or `on_tick` stops it), receiving all the while.
  Result Send(std::vector<std::string> args,
              const std::function<void(pid_t, const Result&)>& on_tick = nullptr) {
    std::string trace = (dir_ / ("trace" + std::to_string(runs_))).string();
    std::string err = (dir_ / ("stderr" + std::to_string(runs_++))).string();
    std::vector<std::string> argv = {PELLION_SEND_PATH,     "--host",  "127.0.0.1", "--port",
                                     std::to_string(port_), "--trace", trace};
    // Runs side by side must not fight over the default request port.
    if (std::find(args.begin(), args.end(), "--request-port") == args.end())
      argv.insert(argv.end(), {"--request-port", "0"});
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& s : argv) cargv.push_back(s.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Result r;
    pid_t pid = -1;
    int rc = posix_spawn(&pid, cargv[0], &fa, nullptr, cargv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(rc, 0);
    if (rc != 0) return r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    for (;;) {
      Receive(10, &r);
      if (on_tick) {
        r.err = ReadText(err);
        on_tick(pid, r);
      }
      if (waitpid(pid, &status, WNOHANG) == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "the sender did not finish";
        break;
      }
    }
    Receive(0, &r);  // loopback delivers before sendto returns: all is queued by now
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.err = ReadText(err);
    std::ifstream t(trace);
    for (std::string line; std::getline(t, line);) {
      std::istringstream in(line);
      TraceLine l{};
      if (line.starts_with("request "))
        r.requests.push_back(r.trace.size());
      else if (in >> l.frameidx >> l.au >> l.key >> l.us)
        r.trace.push_back(l);
      else
        ADD_FAILURE() << "trace line: " << line;
    }
    return r;
  }

  void Receive(int wait_ms, Result* r) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return;
    Bytes buf(1 << 16);
    for (;;) {
      ssize_t n = recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n < 0) return;
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
  int fd_ = -1;
  int port_ = 0;
  int runs_ = 0;
};

// ---- Every clip, unimpaired ---------------------------------------------------------------

class ClipTest : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ClipTest, PacketsAreWellFormedAndRebuildTheFileExactly) {
  const size_t payload = 1000;
  Bytes file = ReadBytes(Clip(GetParam()));
  ASSERT_FALSE(file.empty()) << "clip missing: " << GetParam();
  int64_t before = MonotonicUs();
  Result r = Send(Quick({Clip(GetParam()).string(), "--payload", std::to_string(payload)}));
  int64_t after = MonotonicUs();
  ASSERT_EQ(r.exit_code, 0) << r.err;

  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_FALSE(frames.empty());
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    ASSERT_EQ(f.idx, i + 1) << "frame indices count from 1 without gaps";
    for (size_t k = 0; k < f.packets.size(); ++k) {
      const StreamPacketHeader& h = f.packets[k].h;
      EXPECT_TRUE(h.vstream);
      EXPECT_EQ(h.packlen, f.packets[k].size);
      EXPECT_LE(h.packlen, payload + StreamPacketHeader::kSize);
      EXPECT_EQ(h.pkgindx, k) << "frame " << f.idx;
      EXPECT_EQ(h.is_final, k + 1 == f.packets.size()) << "frame " << f.idx << " packet " << k;
      // Receivers drop datagrams under 10 bytes; the last two packets may share the rest.
      EXPECT_GE(h.packlen, 10u) << "frame " << f.idx << " packet " << k;
      if (k + 2 < f.packets.size()) {
        EXPECT_EQ(f.packets[k].payload.size(), payload);
      }
    }
    // The encoders open every access unit with a zero byte and a start code; a frame cut one
    // byte off leaves that zero at the end of the frame before.
    ASSERT_GE(f.data.size(), 4u);
    EXPECT_TRUE(f.data[0] == 0 && f.data[1] == 0 && f.data[2] == 0 && f.data[3] == 1)
        << "frame " << f.idx;
  }
  EXPECT_TRUE(Concat(frames) == file) << "the frames together differ from " << GetParam();

  ASSERT_EQ(r.trace.size(), frames.size());
  int64_t prev = before;
  for (size_t i = 0; i < r.trace.size(); ++i) {
    const TraceLine& t = r.trace[i];
    EXPECT_EQ(t.frameidx, i + 1);
    EXPECT_EQ(t.au, i);
    EXPECT_EQ(t.key, i % 30 == 0 ? 1 : 0) << "access unit " << i << " (clips use -g 30)";
    EXPECT_GE(t.us, prev) << "monotonic microseconds, in frame order";
    EXPECT_LE(t.us, after);
    prev = t.us;
  }
}

INSTANTIATE_TEST_SUITE_P(Clips, ClipTest,
                         ::testing::Values("h264_640x360.h264", "h264_1920x1080.h264",
                                           "h264_642x362.h264", "h264_bframes_640x360.h264",
                                           "hevc_640x360.h265", "hevc_3840x2160.h265"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& c : n)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return n;
                         });

// ---- Numbering ----------------------------------------------------------------------------

// A frame one byte longer than whole packets: its last byte would be a 9-byte datagram, which
// receivers drop, losing the frame.
TEST_F(SendTest, NoDatagramIsShorterThanTenBytes) {
  Bytes file = ReadBytes(Clip("h264_640x360.h264"));
  auto units = pellion_tools::SplitAccessUnits(
                   pellion_tools::Codec::kH264,
                   std::span(reinterpret_cast<const uint8_t*>(file.data()), file.size()))
                   .units;
  ASSERT_FALSE(units.empty());
  const size_t payload = units[0].size - 1;
  Result r = Send(Quick(
      {Clip("h264_640x360.h264").string(), "--payload", std::to_string(payload), "--frames", "1"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 1u);
  ASSERT_EQ(frames[0].packets.size(), 2u);
  EXPECT_EQ(frames[0].packets[0].payload.size(), payload - 1);
  EXPECT_EQ(frames[0].packets[1].payload.size(), 2u);
  EXPECT_TRUE(frames[0].data == Bytes(file.begin(), file.begin() + units[0].size));
}

TEST_F(SendTest, FramesStopsEarlyAndLoopsKeepNumbering) {
  Result r = Send(Quick({Clip("h264_640x360.h264").string(), "--frames", "7"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames.back().idx, 7u);
  EXPECT_EQ(r.trace.size(), 7u);

  Bytes file = ReadBytes(Clip("h264_640x360.h264"));
  r = Send(Quick({Clip("h264_640x360.h264").string(), "--loop", "2"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 120u);
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].idx, i + 1);
  Bytes twice = file;
  twice.insert(twice.end(), file.begin(), file.end());
  EXPECT_TRUE(Concat(frames) == twice);
  ASSERT_EQ(r.trace.size(), 120u);
  EXPECT_EQ(r.trace[59].au, 59u);
  EXPECT_EQ(r.trace[60].au, 0u) << "access units count from 0 again in each pass";
  EXPECT_EQ(r.trace[60].key, 1);
}

TEST_F(SendTest, FrameIndexWrapsPastZero) {
  Result r = Send(
      Quick({Clip("hevc_640x360.h265").string(), "--frames", "3", "--first-index", "4294967295"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].idx, 4294967295u);
  EXPECT_EQ(frames[1].idx, 1u);
  EXPECT_EQ(frames[2].idx, 2u);
}

// ---- Pacing -------------------------------------------------------------------------------

TEST_F(SendTest, PacesAtTheStreamRateOrTheGivenOne) {
  // Slack for a loaded machine delaying one frame; the faults looked for are far larger.
  const int64_t slack = 20000;
  // The clips carry 30 fps; H.264 timing counts fields, so a misread gives 60.
  for (const char* clip : {"h264_640x360.h264", "hevc_640x360.h265"}) {
    Result r = Send({Clip(clip).string(), "--frames", "10"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    ASSERT_EQ(r.trace.size(), 10u);
    int64_t span = r.trace.back().us - r.trace.front().us;
    EXPECT_GE(span, 9 * 33333 - slack) << clip;
    EXPECT_LT(span, 1000000) << clip;
  }
  Result r = Send({Clip("h264_640x360.h264").string(), "--fps", "100", "--frames", "40"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.trace.size(), 40u);
  for (size_t i = 1; i < r.trace.size(); ++i)
    EXPECT_GE(r.trace[i].us - r.trace[0].us, static_cast<int64_t>(i) * 10000 - slack)
        << "frame " << i << " before its time";
  EXPECT_LT(r.trace.back().us - r.trace.front().us, 39 * 10000 + 200000);
}

// ---- Impairments --------------------------------------------------------------------------

std::set<std::pair<uint32_t, uint16_t>> Ids(const std::vector<Packet>& packets) {
  std::set<std::pair<uint32_t, uint16_t>> ids;
  for (const Packet& p : packets) ids.insert({p.h.frameidx, p.h.pkgindx});
  return ids;
}

TEST_F(SendTest, LossIsSeededNearItsRateAndComesInBursts) {
  std::vector<std::string> base = Quick({Clip("h264_1920x1080.h264").string(), "--payload", "300"});
  Result all = Send(base);
  ASSERT_EQ(all.exit_code, 0) << all.err;
  size_t total = all.packets.size();
  ASSERT_GT(total, 1000u);

  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> a = base;
    a.insert(a.end(), extra.begin(), extra.end());
    return Send(a);
  };
  Result a = with({"--loss", "0.1", "--seed", "7"});
  Result b = with({"--loss", "0.1", "--seed", "7"});
  ASSERT_EQ(a.exit_code, 0) << a.err;
  EXPECT_EQ(Ids(a.packets), Ids(b.packets)) << "same seed, same losses";
  size_t lost = total - a.packets.size();
  EXPECT_GT(lost, total * 7 / 100);
  EXPECT_LT(lost, total * 13 / 100);
  EXPECT_NE(a.err.find("dropped " + std::to_string(lost)), std::string::npos) << a.err;
  EXPECT_EQ(a.trace.size(), all.trace.size()) << "frames with lost packets are still traced";

  Result other = with({"--loss", "0.1", "--seed", "8"});
  EXPECT_NE(Ids(other.packets), Ids(a.packets)) << "the seed matters";
  Result dup = with({"--loss", "0.1", "--seed", "7", "--dup", "0.3"});
  EXPECT_EQ(Ids(dup.packets), Ids(a.packets)) << "duplication leaves the loss pattern alone";

  Result burst = with({"--loss", "0.02", "--burst-loss", "5"});
  auto got = Ids(burst.packets);
  std::vector<size_t> runs(1, 0);
  for (const Packet& p : all.packets) {
    if (got.count({p.h.frameidx, p.h.pkgindx}) == 0)
      ++runs.back();
    else if (runs.back() > 0)
      runs.push_back(0);
  }
  ASSERT_GT(runs.size(), 1u);
  for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_GE(runs[i], 5u) << "losses come in fives";
}

TEST_F(SendTest, DuplicatesAndReorderingKeepTheData) {
  Bytes file = ReadBytes(Clip("h264_640x360.h264"));
  Result r = Send(Quick({Clip("h264_640x360.h264").string(), "--payload", "500", "--dup", "0.1",
                         "--reorder", "0.1", "--seed", "3"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::pair<uint32_t, uint16_t>, Bytes> unique;
  size_t out_of_order = 0;
  for (size_t i = 0; i < r.packets.size(); ++i) {
    const Packet& p = r.packets[i];
    unique[{p.h.frameidx, p.h.pkgindx}] = p.payload;
    if (i > 0) {
      const StreamPacketHeader& q = r.packets[i - 1].h;
      if (std::make_pair(p.h.frameidx, p.h.pkgindx) < std::make_pair(q.frameidx, q.pkgindx))
        ++out_of_order;
    }
  }
  EXPECT_GT(r.packets.size(), unique.size()) << "some arrive twice";
  EXPECT_GT(out_of_order, 0u);
  Bytes joined;
  for (auto& [id, payload] : unique) joined.insert(joined.end(), payload.begin(), payload.end());
  EXPECT_TRUE(joined == file) << "nothing lost or altered";
  EXPECT_EQ(r.trace.size(), 60u);
}

// ---- Stopping and bad input ---------------------------------------------------------------

TEST_F(SendTest, SigintStopsCleanlyWithSummaryAndTrace) {
  bool signalled = false;
  Result r = Send({Clip("h264_640x360.h264").string(), "--loop", "0", "--fps", "60"},
                  [&](pid_t pid, const Result& so_far) {
                    // After the first progress line, which comes once a second.
                    if (!signalled && so_far.err.find("frames,") != std::string::npos) {
                      kill(pid, SIGINT);
                      signalled = true;
                    }
                  });
  ASSERT_TRUE(signalled);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("done: "), std::string::npos) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_GT(frames.size(), 30u);
  EXPECT_EQ(r.trace.size(), frames.size()) << "every frame sent is in the flushed trace";
  EXPECT_TRUE(frames.back().packets.back().h.is_final) << "no frame is cut short";
}

TEST_F(SendTest, BadInputFailsWithAMessageAndSendsNothing) {
  std::ofstream(dir_ / "notes.h264") << "just some text, no video here\n";
  std::ofstream(dir_ / "empty.h265");
  fs::copy_file(Clip("h264_640x360.h264"), dir_ / "clip.bin");
  std::string clip = Clip("h264_640x360.h264").string();
  Fd taken;  // a request port in use
  std::string taken_port = std::to_string(BindTcp(&taken));
  ASSERT_EQ(listen(taken.fd, 1), 0);
  struct Case {
    std::vector<std::string> args;
    int code;
    std::string message;
  };
  std::vector<Case> cases = {
      {{(dir_ / "missing.h264").string()}, 1, "missing.h264"},
      {{(dir_ / "notes.h264").string()}, 1, "not an H.264"},
      {{(dir_ / "empty.h265").string()}, 1, "empty"},
      {{Clip("hevc_640x360.h265").string(), "--codec", "h264"}, 1, "not an H.264"},
      {{clip, "--codec", "hevc"}, 1, "not an H.265"},
      {{(dir_ / "clip.bin").string()}, 2, "--codec"},
      {{dir_.string(), "--codec", "h264"}, 1, "cannot read"},
      {{clip, "--loss", "1.5"}, 2, "--loss"},
      {{clip, "--loss", "nan"}, 2, "--loss"},
      {{clip, "--payload", "16376"}, 2, "--payload"},
      {{clip, "--payload", "0"}, 2, "--payload"},
      {{clip, "--first-index", "0"}, 2, "--first-index"},
      {{clip, "--first-index", "4294967296"}, 2, "--first-index"},
      {{clip, "--fast", "--fps", "25"}, 2, "--fps"},
      {{clip, "--codec", "vp9"}, 2, "--codec"},
      {{clip, "--frames", "-1"}, 2, "--frames"},
      {{clip, "--drop", "5-2"}, 2, "--drop"},
      {{clip, "--drop", "3,,4"}, 2, "--drop"},
      {{clip, "--resend", "3:0"}, 2, "--resend"},
      {{clip, "--resend", "3"}, 2, "--resend"},
      {{Clip("h264_1920x1080.h264").string(), "--drop-before-key", "1"}, 2, "second key frame"},
      {{Clip("hevc_3840x2160.h265").string(), "--payload", "3"}, 1, "--payload"},
      {{clip, "--payload", "2"}, 2, "--payload"},
      {{}, 2, "file"},
      {{clip, "--request-port", taken_port}, 1, "cannot listen"},
      {{clip, "--request-port", "65536"}, 2, "--request-port"},
      {{clip, "--encode"}, 2, "--encode"},
      {{clip, "--size", "320x240"}, 2, "--encode"},
      {{"--encode", "--size", "321x240"}, 2, "--size"},
      {{"--encode", "--size", "320"}, 2, "--size"},
      {{"--encode", "--gop", "0"}, 2, "--gop"},
      {{"--encode", "--loop", "2"}, 2, "--loop"},
      {{"--encode", "--frames", "5", "--seconds", "1"}, 2, "--seconds"},
      {{clip, "--parameter-sets", "twice"}, 2, "--parameter-sets"},
  };
  for (const Case& c : cases) {
    std::string what;
    for (const std::string& a : c.args) what += a + " ";
    Result r = Send(c.args);
    EXPECT_EQ(r.exit_code, c.code) << what << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << what << ": " << r.err;
    EXPECT_TRUE(r.packets.empty()) << what;
  }
  // .bin is fine once the codec is named.
  Result r = Send({(dir_ / "clip.bin").string(), "--codec", "h264", "--fast", "--frames", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(r.packets.empty());
}

// ---- Key-frame requests -------------------------------------------------------------------

TEST_F(SendTest, RequestsJumpToTheNextKeyUnitAndCoalesce) {
  const fs::path clip = Clip("h264_640x360.h264");
  Bytes file = ReadBytes(clip);
  // What each frame sent must be, whatever the jumps.
  pellion_tools::SplitStream split =
      pellion_tools::SplitAccessUnits(pellion_tools::Codec::kH264, file);
  ASSERT_EQ(split.units.size(), 60u);
  int port = FreeTcpPort();
  Fd idle, busy;
  uint32_t second_at = 0;
  bool stopped = false;
  Result r =
      Send({clip.string(), "--fps", "200", "--loop", "0", "--request-port", std::to_string(port)},
           [&](pid_t pid, const Result& so_far) {
             uint32_t got = FramesSoFar(so_far);
             if (idle.fd < 0 && got >= 5) {
               // A peer that stays silent must not hold up the one that asks.
               Connect(port, &idle);
               Connect(port, &busy);
               SendAll(busy, kRequest + kRequest + kRequest);
             } else if (idle.fd >= 0 && second_at == 0 && got >= 70) {
               SendAll(idle, kRequest);
               second_at = got;
             } else if (second_at != 0 && !stopped && got >= second_at + 20) {
               kill(pid, SIGINT);
               stopped = true;
             }
           });
  ASSERT_TRUE(stopped);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.requests.size(), 4u) << r.err;
  EXPECT_EQ(r.requests[0], r.requests[2]) << "one batch of three requests";

  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), r.trace.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    const TraceLine& t = r.trace[i];
    ASSERT_EQ(t.frameidx, i + 1) << "numbering goes on across jumps";
    ASSERT_LT(t.au, split.units.size());
    const pellion_tools::AccessUnit& u = split.units[t.au];
    EXPECT_TRUE(Bytes(file.begin() + u.offset, file.begin() + u.offset + u.size) == frames[i].data)
        << "frame " << t.frameidx << " is not access unit " << t.au;
    EXPECT_EQ(t.key, u.key ? 1 : 0);
  }
  auto next_key = [&](uint64_t au) -> uint64_t {
    for (uint64_t k = au + 1; k < split.units.size(); ++k)
      if (split.units[k].key) return k;
    return 0;  // wraps around into the next pass
  };
  for (size_t at : {r.requests[0], r.requests[3]}) {
    ASSERT_GT(at, 0u);
    ASSERT_LT(at + 1, r.trace.size());
    EXPECT_EQ(r.trace[at].au, next_key(r.trace[at - 1].au)) << "after frame " << at;
    EXPECT_EQ(r.trace[at + 1].au, r.trace[at].au + 1) << "coalesced requests jump once";
  }
  EXPECT_NE(r.err.find("key-frame requests 4"), std::string::npos) << r.err;
}

TEST_F(SendTest, BrokenRequestPeerIsDroppedAndOthersAreStillServed) {
  const std::string clip = Clip("h264_640x360.h264").string();
  int port = FreeTcpPort();
  Fd bad, good;
  bool bad_closed = false, stopped = false;
  uint32_t asked_at = 0;
  Result r =
      Send({clip, "--fps", "200", "--loop", "0", "--request-port", std::to_string(port)},
           [&](pid_t pid, const Result& so_far) {
             uint32_t got = FramesSoFar(so_far);
             if (bad.fd < 0 && got >= 5) {
               Connect(port, &bad);
               Connect(port, &good);
               SendAll(bad, pellion::EncodeLinkMessage(0, nullptr, pellion::kMaxLinkBody + 1));
               SendAll(good, pellion::EncodeLinkMessage(7, "abc", 3));
             } else if (bad.fd >= 0 && !bad_closed) {
               bad_closed = ClosedByPeer(bad);
             } else if (bad_closed && asked_at == 0) {
               SendAll(good, kRequest);
               asked_at = got;
             } else if (asked_at != 0 && !stopped && got >= asked_at + 10) {
               kill(pid, SIGINT);
               stopped = true;
             }
           });
  ASSERT_TRUE(bad_closed) << "the broken peer stayed connected: " << r.err;
  ASSERT_TRUE(stopped);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.requests.size(), 1u) << "neither the broken header nor the unknown code is one";
  ASSERT_LT(r.requests[0], r.trace.size());
  EXPECT_EQ(r.trace[r.requests[0]].key, 1);
  for (size_t i = 0; i < r.trace.size(); ++i) ASSERT_EQ(r.trace[i].frameidx, i + 1);
  EXPECT_NE(r.err.find("disconnected"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("key-frame requests 1, unknown messages 1"), std::string::npos) << r.err;
}

// ---- The built-in encoder -----------------------------------------------------------------

bool HasIdr(const Bytes& au) {
  bool idr = false;
  pellion_tools::ForEachNal(pellion_tools::Codec::kH264, au, [&](int t) {
    idr |= pellion_tools::IsKeyNal(pellion_tools::Codec::kH264, t);
  });
  return idr;
}

TEST_F(SendTest, EncodesADecodableMovingPattern) {
  Result r = Send(Quick({"--encode", "--frames", "40", "--size", "320x240"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 40u);
  ASSERT_EQ(r.trace.size(), 40u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].idx, i + 1);
    EXPECT_EQ(r.trace[i].au, i);
    EXPECT_EQ(r.trace[i].key, i == 0 ? 1 : 0) << "one key frame in a GOP of 60, frame " << i;
    EXPECT_EQ(HasIdr(frames[i].data), r.trace[i].key == 1) << "frame " << i;
    // Four slices whatever the cores; x264 allows three in 15 macroblock rows.
    int slices = 0;
    pellion_tools::ForEachNal(pellion_tools::Codec::kH264, frames[i].data,
                              [&](int t) { slices += t == 1 || t == 5; });
    EXPECT_EQ(slices, 3) << "frame " << i;
  }
  Decoded d = DecodeH264(frames);
  EXPECT_EQ(d.errors, 0);
  ASSERT_EQ(d.luma_hashes.size(), 40u) << "one picture per frame, none held back";
  EXPECT_EQ(d.width, 320);
  EXPECT_EQ(d.height, 240);
  for (size_t i = 1; i < d.luma_hashes.size(); ++i)
    EXPECT_NE(d.luma_hashes[i], d.luma_hashes[i - 1]) << "picture " << i << " repeats";
}

// Asks the sender for a key frame once 10 frames have come, and stops it 10 frames later.
struct AskOnceThenStop {
  explicit AskOnceThenStop(int p) : port(p) {}
  int port;
  Fd link;
  uint32_t asked_at = 0;
  bool stopped = false;
  void OnTick(pid_t pid, const Result& so_far) {
    uint32_t got = FramesSoFar(so_far);
    if (asked_at == 0 && got >= 10) {
      Connect(port, &link);
      SendAll(link, kRequest);
      asked_at = got;
    } else if (asked_at != 0 && !stopped && got >= asked_at + 10) {
      kill(pid, SIGINT);
      stopped = true;
    }
  }
};

TEST_F(SendTest, EncoderAnswersARequestWithAKeyFrameADecoderCanStartFrom) {
  int port = FreeTcpPort();
  AskOnceThenStop ask(port);
  Result r = Send({"--encode", "--size", "320x240", "--fps", "100", "--gop", "1000",
                   "--request-port", std::to_string(port)},
                  [&](pid_t pid, const Result& so_far) { ask.OnTick(pid, so_far); });
  ASSERT_TRUE(ask.stopped);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.requests.size(), 1u);
  std::vector<size_t> keys;
  for (size_t i = 0; i < r.trace.size(); ++i)
    if (r.trace[i].key == 1) keys.push_back(i);
  ASSERT_EQ(keys.size(), 2u) << "the first frame and the answer";
  EXPECT_GE(keys[1], r.requests[0]);
  EXPECT_LT(keys[1], r.requests[0] + 2) << "answered within two frames";

  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), r.trace.size());
  EXPECT_TRUE(HasIdr(frames[keys[1]].data)) << "an IDR picture, not merely an I picture";
  Decoded all = DecodeH264(frames);
  EXPECT_EQ(all.errors, 0);
  EXPECT_EQ(all.luma_hashes.size(), frames.size());
  Decoded joined = DecodeH264(frames, keys[1]);
  EXPECT_EQ(joined.errors, 0) << "a receiver joining at the answer decodes from there";
  EXPECT_EQ(joined.luma_hashes.size(), frames.size() - keys[1]);
}

// ---- Parameter sets -----------------------------------------------------------------------

using pellion_tools::Codec;

Codec CodecOf(const std::string& clip) { return *pellion_tools::CodecFromFileName(clip); }
AVCodecID DecoderOf(Codec c) { return c == Codec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC; }

struct Nal {
  int type;
  Bytes body;  // from the NAL header on
  bool operator==(const Nal&) const = default;
};
std::vector<Nal> Nals(Codec c, const Bytes& b) {
  std::vector<Nal> out;
  for (const pellion_tools::NalUnit& n : pellion_tools::SplitNalUnits(c, b))
    out.push_back({n.type, Bytes(b.begin() + static_cast<ptrdiff_t>(n.header),
                                 b.begin() + static_cast<ptrdiff_t>(n.offset + n.size))});
  return out;
}
std::vector<Nal> ParameterSets(Codec c, const Bytes& b) {
  std::vector<Nal> out = Nals(c, b);
  std::erase_if(out, [c](const Nal& n) { return !pellion_tools::IsParameterSetNal(c, n.type); });
  return out;
}
// Those of a clip's first access unit.
std::vector<Nal> FirstSets(Codec c, const Bytes& clip) {
  pellion_tools::SplitStream s = pellion_tools::SplitAccessUnits(c, clip);
  if (s.units.empty()) return {};
  return ParameterSets(c,
                       Bytes(clip.begin(), clip.begin() + static_cast<ptrdiff_t>(s.units[0].size)));
}
bool OnlyParameterSets(Codec c, const Bytes& b) {
  std::vector<Nal> all = Nals(c, b);
  return !all.empty() && ParameterSets(c, b).size() == all.size();
}
bool HasKeyPicture(Codec c, const Bytes& b) {
  bool key = false;
  pellion_tools::ForEachNal(c, b, [&](int t) { key |= pellion_tools::IsKeyNal(c, t); });
  return key;
}
bool LongStartCode(const Bytes& b) {
  return b.size() >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 1;
}

class ParameterSetTest : public SendTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ParameterSetTest, SeparateSendsEachKeyFramesSetsJustBeforeItUnderTheirOwnIndex) {
  const Codec c = CodecOf(GetParam());
  const Bytes file = ReadBytes(Clip(GetParam()));
  // Two passes of 60 access units with a key frame every 30, across the wrap of the index.
  Result r = Send(Quick({Clip(GetParam()).string(), "--parameter-sets", "separate", "--loop", "2",
                         "--first-index", "4294967290"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 124u);
  ASSERT_EQ(r.trace.size(), frames.size());
  uint32_t want = 4294967290u;
  size_t set_frames = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    ASSERT_EQ(f.idx, want) << "frame " << i;
    ASSERT_EQ(r.trace[i].frameidx, want);
    want = want == UINT32_MAX ? 1 : want + 1;
    EXPECT_TRUE(LongStartCode(f.data)) << "frame " << f.idx;
    if (OnlyParameterSets(c, f.data)) {
      ++set_frames;
      ASSERT_LT(i + 1, frames.size()) << "parameter sets at the end";
      EXPECT_TRUE(HasKeyPicture(c, frames[i + 1].data)) << "frame " << frames[i + 1].idx;
      EXPECT_EQ(r.trace[i].key, 0);
      EXPECT_EQ(r.trace[i].au, r.trace[i + 1].au) << "both come from one access unit";
    } else {
      EXPECT_TRUE(ParameterSets(c, f.data).empty()) << "frame " << f.idx << " keeps sets";
      bool key = HasKeyPicture(c, f.data);
      EXPECT_EQ(r.trace[i].key, key ? 1 : 0);
      if (key) {
        ASSERT_GT(i, 0u);
        EXPECT_TRUE(OnlyParameterSets(c, frames[i - 1].data)) << "key frame " << f.idx;
      }
    }
  }
  EXPECT_EQ(set_frames, 4u);
  // Nothing lost, nothing reordered: the same NAL units as the file's, twice.
  std::vector<Nal> once = Nals(c, file), twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_TRUE(Nals(c, Concat(frames)) == twice);
  Decoded d = DecodeH264(frames, 0, DecoderOf(c));
  EXPECT_EQ(d.errors, 0);
  EXPECT_EQ(d.luma_hashes.size(), 120u);

  // --frames counts the source's access units, not the frames the sets add.
  r = Send(Quick({Clip(GetParam()).string(), "--parameter-sets", "separate", "--frames", "31"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.trace.size(), 33u);
  EXPECT_EQ(r.trace.back().au, 30u);
  EXPECT_EQ(r.trace.back().frameidx, 33u);
}

TEST_P(ParameterSetTest, OnceSendsSetsOncePerProcessAcrossLoops) {
  const Codec c = CodecOf(GetParam());
  const Bytes file = ReadBytes(Clip(GetParam()));
  Result r = Send(Quick({Clip(GetParam()).string(), "--parameter-sets", "once", "--loop", "3"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 180u);
  size_t keys = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].idx, i + 1);
    EXPECT_EQ(ParameterSets(c, frames[i].data).empty(), i != 0) << "frame " << frames[i].idx;
    EXPECT_TRUE(LongStartCode(frames[i].data)) << "frame " << frames[i].idx;
    keys += HasKeyPicture(c, frames[i].data) ? 1 : 0;
  }
  EXPECT_EQ(keys, 6u) << "key frames stay, without their sets";
  EXPECT_TRUE(ParameterSets(c, frames[0].data) == FirstSets(c, file));
  Decoded d = DecodeH264(frames, 0, DecoderOf(c));
  EXPECT_EQ(d.errors, 0);
  EXPECT_EQ(d.luma_hashes.size(), 180u);

  // A sender started again starts over: its receiver may be new too.
  r = Send(Quick({Clip(GetParam()).string(), "--parameter-sets", "once", "--frames", "1"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_FALSE(ParameterSets(c, frames[0].data).empty());
}

// Two clips of different sizes back to back: the second starts with a key frame whose sets
// differ from the first's under the same ids.
TEST_P(ParameterSetTest, OnceSendsChangedSetsAgain) {
  const Codec c = CodecOf(GetParam());
  const std::string other = c == Codec::kH264 ? "h264_642x362.h264" : "hevc_3840x2160.h265";
  const Bytes a = ReadBytes(Clip(GetParam())), b = ReadBytes(Clip(other));
  ASSERT_FALSE(a.empty() || b.empty());
  Bytes ab = a;
  ab.insert(ab.end(), b.begin(), b.end());
  const fs::path joined = dir_ / ("joined" + Clip(GetParam()).extension().string());
  std::ofstream(joined, std::ios::binary)
      .write(reinterpret_cast<const char*>(ab.data()), static_cast<std::streamsize>(ab.size()));
  const size_t na = pellion_tools::SplitAccessUnits(c, a).units.size();
  const size_t nb = pellion_tools::SplitAccessUnits(c, b).units.size();
  ASSERT_FALSE(FirstSets(c, a) == FirstSets(c, b));

  Result r = Send(
      Quick({joined.string(), "--parameter-sets", "once", "--loop", "2", "--payload", "8000"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 2 * (na + nb));
  std::vector<size_t> with_sets;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].idx, i + 1);
    if (!ParameterSets(c, frames[i].data).empty()) with_sets.push_back(i);
  }
  // Each change of size, the loop back to the first clip included, brings its sets again.
  EXPECT_EQ(with_sets, (std::vector<size_t>{0, na, na + nb, 2 * na + nb}));
  if (with_sets.size() == 4) {
    EXPECT_TRUE(ParameterSets(c, frames[with_sets[1]].data) == FirstSets(c, b));
    EXPECT_TRUE(ParameterSets(c, frames[with_sets[2]].data) == FirstSets(c, a));
  }
  Decoded d = DecodeH264(frames, 0, DecoderOf(c));
  EXPECT_EQ(d.errors, 0);
  EXPECT_EQ(d.luma_hashes.size(), frames.size());
}

INSTANTIATE_TEST_SUITE_P(Codecs, ParameterSetTest,
                         ::testing::Values("h264_640x360.h264", "hevc_640x360.h265"),
                         [](const auto& info) { return std::string(info.param).substr(0, 4); });

class EncoderParameterSetTest : public SendTest,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(EncoderParameterSetTest, SeparateGivesAForcedKeyFrameItsSetsAndOnceSendsThemOnce) {
  const Codec c = std::string(GetParam()) == "h264" ? Codec::kH264 : Codec::kHevc;
  int port = FreeTcpPort();
  AskOnceThenStop ask(port);
  Result r = Send({"--encode", "--codec", GetParam(), "--size", "320x240", "--fps", "100", "--gop",
                   "1000", "--parameter-sets", "separate", "--request-port", std::to_string(port)},
                  [&](pid_t pid, const Result& so_far) { ask.OnTick(pid, so_far); });
  ASSERT_TRUE(ask.stopped);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  ASSERT_EQ(r.requests.size(), 1u);
  std::vector<Frame> frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), r.trace.size());
  std::vector<size_t> set_frames;
  for (size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].idx, i + 1);
    if (OnlyParameterSets(c, frames[i].data)) set_frames.push_back(i);
    EXPECT_EQ(r.trace[i].key, HasKeyPicture(c, frames[i].data) ? 1 : 0) << "frame " << i;
    if (r.trace[i].key == 1) {
      ASSERT_FALSE(set_frames.empty()) << "key frame " << frames[i].idx;
      EXPECT_EQ(set_frames.back(), i - 1) << "key frame " << frames[i].idx;
      EXPECT_TRUE(ParameterSets(c, frames[i].data).empty());
    }
  }
  ASSERT_EQ(set_frames.size(), 2u) << "the first key frame's and the forced one's";
  EXPECT_GE(set_frames[1], r.requests[0]);
  Decoded all = DecodeH264(frames, 0, DecoderOf(c));
  EXPECT_EQ(all.errors, 0);
  EXPECT_EQ(all.luma_hashes.size(), frames.size() - 2);
  Decoded joined = DecodeH264(frames, set_frames[1], DecoderOf(c));
  EXPECT_EQ(joined.errors, 0) << "a receiver joining at the answer decodes from there";
  EXPECT_EQ(joined.luma_hashes.size(), frames.size() - set_frames[1] - 1);

  r = Send(Quick({"--encode", "--codec", GetParam(), "--size", "320x240", "--gop", "10", "--frames",
                  "30", "--parameter-sets", "once"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  frames = GroupFrames(r.packets);
  ASSERT_EQ(frames.size(), 30u);
  size_t keys = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(ParameterSets(c, frames[i].data).empty(), i != 0) << "frame " << i;
    keys += HasKeyPicture(c, frames[i].data) ? 1 : 0;
  }
  EXPECT_EQ(keys, 3u);
  Decoded d = DecodeH264(frames, 0, DecoderOf(c));
  EXPECT_EQ(d.errors, 0);
  EXPECT_EQ(d.luma_hashes.size(), 30u);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderParameterSetTest, ::testing::Values("h264", "hevc"));

// ---- The shared splitter, as other tests call it ------------------------------------------

// ---- Frames left out, swapped, sent again -------------------------------------------------

struct Reshuffled {
  const char* name;
  std::vector<std::string> options;
  std::vector<uint64_t> units;  // sent, in order, of the 60 of h264_640x360 (keys at 0 and 30)
};
std::vector<uint64_t> UnitsExcept(std::set<uint64_t> left_out) {
  std::vector<uint64_t> v;
  for (uint64_t u = 0; u < 60; ++u)
    if (left_out.count(u) == 0) v.push_back(u);
  return v;
}
std::vector<uint64_t> UnitsWith(std::function<void(std::vector<uint64_t>*)> change) {
  std::vector<uint64_t> v = UnitsExcept({});
  change(&v);
  return v;
}

class ReshuffleTest : public SendTest, public ::testing::WithParamInterface<Reshuffled> {};

// A frame keeps the index of its place in the stream wherever it goes, and the trace lists the
// frames as they went.
TEST_P(ReshuffleTest, FramesGoInTheOrderAskedUnderTheirOwnIndices) {
  const std::string clip = Clip("h264_640x360.h264").string();
  std::vector<std::string> args = {clip};
  args.insert(args.end(), GetParam().options.begin(), GetParam().options.end());
  Result r = Send(Quick(args));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  Bytes file = ReadBytes(clip);
  auto units = pellion_tools::SplitAccessUnits(pellion_tools::Codec::kH264, file).units;
  std::vector<Frame> frames = GroupFrames(r.packets);
  const std::vector<uint64_t>& want = GetParam().units;
  ASSERT_EQ(frames.size(), want.size());
  ASSERT_EQ(r.trace.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(frames[i].idx, want[i] + 1) << "frame " << i << " sent";
    EXPECT_EQ(r.trace[i].frameidx, want[i] + 1) << "trace line " << i;
    EXPECT_EQ(r.trace[i].au, want[i]) << "trace line " << i;
    const auto& u = units[want[i]];
    EXPECT_TRUE(frames[i].data == Bytes(file.begin() + static_cast<ptrdiff_t>(u.offset),
                                        file.begin() + static_cast<ptrdiff_t>(u.offset + u.size)))
        << "frame " << i << " is not access unit " << want[i];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ReshuffleTest,
    ::testing::Values(
        Reshuffled{"Skip", {"--skip", "55"}, {55, 56, 57, 58, 59}},
        Reshuffled{"Drop", {"--drop", "3,5-6", "--drop", "59"}, UnitsExcept({3, 5, 6, 59})},
        Reshuffled{"DropBeforeKey", {"--drop-before-key", "2"}, UnitsExcept({28, 29})},
        Reshuffled{"Swap", {"--swap", "3"}, UnitsWith([](std::vector<uint64_t>* v) {
                     std::swap((*v)[3], (*v)[4]);
                   })},
        // The last frame has no next one to wait for: it goes at the end all the same.
        Reshuffled{"SwapTheLast", {"--swap", "59"}, UnitsExcept({})},
        Reshuffled{"Resend", {"--resend", "2:3"}, UnitsWith([](std::vector<uint64_t>* v) {
                     v->insert(v->begin() + 6, 2);
                   })},
        Reshuffled{"ResendPastTheEnd",
                   {"--resend", "58:5"},
                   UnitsWith([](std::vector<uint64_t>* v) { v->push_back(58); })},
        Reshuffled{
            "DroppedFrameIsNotResent", {"--drop", "2", "--resend", "2:3"}, UnitsExcept({2})}),
    [](const auto& info) { return std::string(info.param.name); });

// Open GOPs start again at I pictures with a recovery point and no IDR: those are key frames.
// Intra refresh has none after its first IDR: its refresh waves start on P pictures.
TEST(ElementaryStream, KeyUnitsAreTheOnesADecoderCanStartFrom) {
  struct Case {
    const char* clip;
    size_t keys;
  };
  for (const Case& c :
       {Case{"h264_opengop_320x240.h264", 3}, Case{"h264_intrarefresh_320x240.h264", 1},
        Case{"gst_x264_intrarefresh_320x240.h264", 1}, Case{"gst_x264_320x240.h264", 3},
        Case{"gst_openh264_320x240.h264", 3}}) {
    Bytes file = ReadBytes(Clip(c.clip));
    auto units = pellion_tools::SplitAccessUnits(pellion_tools::Codec::kH264, file).units;
    ASSERT_EQ(units.size(), 90u) << c.clip;
    std::vector<size_t> keys;
    for (size_t i = 0; i < units.size(); ++i)
      if (units[i].key) keys.push_back(i);
    ASSERT_EQ(keys.size(), c.keys) << c.clip;
    EXPECT_EQ(keys[0], 0u) << c.clip;
    // Every 30 pictures; in stream order a key picture may come a little before its B-frames.
    for (size_t k = 1; k < keys.size(); ++k)
      EXPECT_NEAR(static_cast<double>(keys[k] - keys[k - 1]), 30, 2) << c.clip;
  }
}

TEST(ElementaryStream, FailuresAreStreamErrorsNotCrashes) {
  using pellion_tools::Codec;
  EXPECT_THROW(pellion_tools::ReadWholeFile("/nonexistent/clip.h264"), pellion_tools::StreamError);
  Bytes text = {'n', 'o', ' ', 'v', 'i', 'd', 'e', 'o'};
  EXPECT_THROW(pellion_tools::CheckStream(Codec::kHevc, text, "text"), pellion_tools::StreamError);
  EXPECT_TRUE(pellion_tools::SplitAccessUnits(Codec::kH264, {}).units.empty());
}

TEST(ElementaryStream, NalUnitsCoverTheBytesAndParameterSetIdsAreRead) {
  Bytes au = {0, 0, 0, 1, 0x67, 0x42, 0, 0x1e, 0x24, 0, 0, 1, 0x68, 0xce, 0, 0, 0, 1, 0x65, 0x88};
  std::vector<pellion_tools::NalUnit> nals = pellion_tools::SplitNalUnits(Codec::kH264, au);
  ASSERT_EQ(nals.size(), 3u);
  EXPECT_EQ(nals[0].offset, 0u);
  EXPECT_EQ(nals[1].offset, 9u);
  EXPECT_EQ(nals[2].offset, 14u) << "the zero byte before a start code is the next unit's";
  EXPECT_EQ(nals[2].offset + nals[2].size, au.size());
  EXPECT_EQ(nals[2].type, 5);
  using pellion_tools::ParameterSetId;
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0x42, 0, 0x1e, 0x24}), 3);
  // 00 00 03 is emulation prevention: the 03 is not data.
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0, 0, 3, 0, 0x24}), 3);
  EXPECT_EQ(ParameterSetId(Codec::kH264, 7, Bytes{0x67, 0x42}), -1) << "cut short";
  EXPECT_EQ(ParameterSetId(Codec::kH264, 8, Bytes{0x68, 0xce}), 0);
  EXPECT_EQ(ParameterSetId(Codec::kH264, 5, Bytes{0x65, 0x88}), -1) << "not a parameter set";
  // Any bytes at all: the units tile them from the first start code, ids stay in range.
  std::mt19937 rng(7);
  const uint8_t alphabet[] = {0, 0, 0, 1, 3, 0x40, 0x42, 0x67, 0xff};
  for (int round = 0; round < 3000; ++round) {
    Bytes b(rng() % 48);
    for (uint8_t& x : b) x = alphabet[rng() % sizeof alphabet];
    for (Codec c : {Codec::kH264, Codec::kHevc}) {
      size_t end = 0;
      for (const pellion_tools::NalUnit& n : pellion_tools::SplitNalUnits(c, b)) {
        ASSERT_EQ(n.offset, end);
        ASSERT_GT(n.header, n.offset);
        ASSERT_LE(n.header, n.offset + n.size);  // empty between two start codes
        end = n.offset + n.size;
        for (int t : {7, 8, 32, 33, 34}) {
          int id = ParameterSetId(c, t, std::span<const uint8_t>(b).subspan(n.header));
          ASSERT_GE(id, -1);
          ASSERT_LE(id, 255);
        }
      }
      ASSERT_TRUE(end == 0 || end == b.size());
    }
  }
  // The HEVC SPS id sits behind profile_tier_level, here with one sub-layer of its own.
  Bytes sps = {0x42, 0x01, 0x03};
  sps.insert(sps.end(), 12, 0x01);      // general profile and level
  sps.insert(sps.end(), {0xc0, 0x00});  // sub-layer profile and level present, reserved bits
  sps.insert(sps.end(), 12, 0x01);      // the sub-layer's profile and level
  sps.push_back(0x34);                  // ue(5)
  EXPECT_EQ(ParameterSetId(Codec::kHevc, 33, sps), 5);
  EXPECT_EQ(ParameterSetId(Codec::kHevc, 33, Bytes(sps.begin(), sps.end() - 1)), -1);
  Bytes clip = ReadBytes(Clip("hevc_640x360.h265"));
  std::vector<Nal> sets = ParameterSets(Codec::kHevc, clip);
  ASSERT_GE(sets.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(sets[i].type, 32 + static_cast<int>(i));
    EXPECT_EQ(ParameterSetId(Codec::kHevc, sets[i].type, sets[i].body), 0);
  }
}

}  // namespace
