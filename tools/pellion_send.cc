// pellion-send: sends an H.264 or H.265 elementary-stream file, or a test pattern it encodes
// itself, as stream packets over UDP, paced like a live source, with seeded loss, duplication
// and reordering for exercising receivers. It answers key-frame requests from the host's TCP
// link by jumping to the next key frame (or encoding one).
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include "StreamPacketHeader.h"
#include "elementary_stream.h"
#include "pellion/keyframe_link.h"

namespace {

using pellion_tools::AccessUnit;
using pellion_tools::Codec;
using pellion_tools::NalUnit;
using pellion_tools::SplitStream;

constexpr size_t kMaxPayload = StreamPacketHeader::kMaxPackLen - StreamPacketHeader::kSize;
constexpr size_t kMaxPacketsPerFrame = 65536;  // pkgindx is 16 bits
constexpr int64_t kSecondNs = 1'000'000'000;

struct RuntimeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ErrnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * kSecondNs + ts.tv_nsec;
}

std::string AvErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// ---- Frame sources ------------------------------------------------------------------------

struct Frame {
  std::span<const uint8_t> data;  // valid until the next call of Next()
  bool key = false;
  uint64_t au_number = 0;  // position in the source's own sequence
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // False at the end of the source.
  virtual bool Next(Frame* frame) = 0;
  // The next frame should be a key frame; several calls before it count as one.
  virtual void RequestKeyFrame() = 0;
};

// Plays a split file `loops` times (0: without end); access-unit numbers restart each pass.
class FileSource final : public FrameSource {
 public:
  FileSource(std::vector<uint8_t> bytes, SplitStream stream, uint64_t loops)
      : bytes_(std::move(bytes)),
        stream_(std::move(stream)),
        loops_(loops),
        has_key_(std::any_of(stream_.units.begin(), stream_.units.end(),
                             [](const AccessUnit& u) { return u.key; })) {}

  bool Next(Frame* frame) override {
    if (stream_.units.empty()) return false;
    if (jump_) {
      jump_ = false;
      if (!SeekKey()) return false;
    }
    if (next_ == stream_.units.size() && !NextPass()) return false;
    const AccessUnit& u = stream_.units[next_];
    frame->data = std::span<const uint8_t>(bytes_).subspan(u.offset, u.size);
    frame->key = u.key;
    frame->au_number = next_++;
    return true;
  }
  void RequestKeyFrame() override { jump_ = true; }

 private:
  bool NextPass() {
    ++passes_;
    if (loops_ != 0 && passes_ >= loops_) return false;
    next_ = 0;
    return true;
  }
  // Skips to the next key unit, into the next pass if need be. Without one left the file is
  // over: what would follow could not be decoded anyway.
  bool SeekKey() {
    if (!has_key_) {
      if (!told_no_key_)
        std::fprintf(stderr, "pellion-send: the file has no key frame; requests are ignored\n");
      told_no_key_ = true;
      return true;
    }
    for (;;) {
      while (next_ < stream_.units.size() && !stream_.units[next_].key) ++next_;
      if (next_ < stream_.units.size()) return true;
      if (!NextPass()) {
        std::fprintf(stderr, "pellion-send: no key frame left to answer a request; done\n");
        return false;
      }
    }
  }

  std::vector<uint8_t> bytes_;
  SplitStream stream_;
  uint64_t loops_;
  bool has_key_;
  uint64_t passes_ = 0;
  size_t next_ = 0;
  bool jump_ = false;
  bool told_no_key_ = false;
};

// The built-in test pattern: stepped bars and a luma ramp sliding across, drifting chroma, and
// the picture number in binary as a row of blocks, so no two neighbouring pictures are alike
// and a viewer can read off which picture it shows.
void DrawPattern(AVFrame* f, uint64_t n) {
  const int w = f->width, h = f->height;
  const int shift = static_cast<int>((n * 4) % static_cast<uint64_t>(w));
  const int drift = static_cast<int>(n % 256);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = 0; x < w; ++x) {
      int bar = (x + shift) % w * 8 / w;
      row[x] = static_cast<uint8_t>(16 + bar * 24 + ((x + y + 2 * drift) & 31));
    }
  }
  for (int y = 0; y < h / 2; ++y) {
    uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
    uint8_t* v = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
    for (int x = 0; x < w / 2; ++x) {
      u[x] = static_cast<uint8_t>(16 + (x * 448 / w + drift) % 224);
      v[x] = static_cast<uint8_t>(16 + (y * 448 / h + 224 - drift % 224) % 224);
    }
  }
  const int cell = std::max(2, std::min(w, h) / 40);
  for (int bit = 0; bit < 16; ++bit) {
    const uint8_t luma = (n >> (15 - bit)) & 1 ? 235 : 16;
    for (int y = cell; y < 2 * cell && y < h; ++y)
      for (int x = (bit + 1) * cell; x < (bit + 2) * cell && x < w; ++x)
        f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] = luma;
  }
}

struct EncodeOptions {
  int width = 1280, height = 720;
  int gop = 60;
};

struct CodecContextFree {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameFree {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
class Dictionary {
 public:
  Dictionary() = default;
  ~Dictionary() { av_dict_free(&d_); }
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  void Set(const char* key, const char* value) {
    if (av_dict_set(&d_, key, value, 0) < 0) throw RuntimeError("out of memory");
  }
  AVDictionary** get() { return &d_; }

 private:
  AVDictionary* d_ = nullptr;
};

// Encodes the test pattern with libx264 or libx265 as a live camera would: no B-frames, no
// lookahead, one access unit out per picture in, in Annex-B with parameter sets before every
// key frame.
class EncoderSource final : public FrameSource {
 public:
  // `pictures`: how many to encode (0: without end).
  EncoderSource(Codec c, const EncodeOptions& e, double fps, uint64_t pictures)
      : name_(c == Codec::kH264 ? "libx264" : "libx265"), limit_(pictures) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name_.c_str());
    if (codec == nullptr)
      throw RuntimeError("this FFmpeg has no " + name_ + " encoder for --encode");
    ctx_.reset(avcodec_alloc_context3(codec));
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!ctx_ || !frame_ || !packet_) throw RuntimeError("out of memory");
    AVRational rate = av_d2q(fps, 100000);
    ctx_->width = e.width;
    ctx_->height = e.height;
    ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx_->framerate = rate;
    ctx_->time_base = av_inv_q(rate);
    ctx_->gop_size = e.gop;
    ctx_->max_b_frames = 0;
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    Dictionary opts;
    opts.Set("tune", "zerolatency");
    // No scene-cut key frames: they come every --gop pictures and on request, nowhere else.
    if (c == Codec::kH264) {
      opts.Set("preset", "veryfast");
      // Four slices, whatever the cores of the sending machine: a receiver decodes them on as
      // many threads. The zerolatency tune encodes a slice per thread and ignores slices=.
      opts.Set("x264-params", "bframes=0:scenecut=0:threads=4");
    } else {
      opts.Set("preset", "ultrafast");
      // Closed GOPs: every key frame an IDR picture. libx265 logs to stderr by itself.
      std::string params = "bframes=0:scenecut=0:open-gop=0:keyint=" + std::to_string(e.gop) +
                           ":min-keyint=" + std::to_string(e.gop) + ":log-level=error";
      opts.Set("x265-params", params.c_str());
    }
    // A forced key frame must be one a receiver can start from, not merely an I picture.
    opts.Set("forced-idr", "1");
    int rc = avcodec_open2(ctx_.get(), codec, opts.get());
    if (rc < 0) throw RuntimeError("cannot open " + name_ + ": " + AvErrorText(rc));
    if (const AVDictionaryEntry* left =
            av_dict_get(*opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
      throw RuntimeError(name_ + " does not take the option " + left->key);

    frame_->width = e.width;
    frame_->height = e.height;
    frame_->format = AV_PIX_FMT_YUV420P;
    rc = av_frame_get_buffer(frame_.get(), 0);
    if (rc < 0) throw RuntimeError("cannot allocate a picture: " + AvErrorText(rc));
  }

  bool Next(Frame* frame) override {
    for (;;) {
      int rc = avcodec_receive_packet(ctx_.get(), packet_.get());
      if (rc == 0) {
        frame->data = std::span<const uint8_t>(packet_->data, static_cast<size_t>(packet_->size));
        frame->key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
        frame->au_number = packets_++;
        // Once the forced picture is out, key or not, later requests force again.
        if (frame->key || packet_->pts >= forced_pts_) awaiting_key_ = false;
        return true;
      }
      if (rc == AVERROR_EOF) return false;
      if (rc != AVERROR(EAGAIN)) throw RuntimeError(name_ + " failed: " + AvErrorText(rc));
      if (limit_ != 0 && pictures_ >= limit_) {
        if (flushing_) throw RuntimeError(name_ + " wants input while flushing");
        flushing_ = true;
        rc = avcodec_send_frame(ctx_.get(), nullptr);
      } else {
        rc = EncodePicture();
      }
      if (rc < 0) throw RuntimeError(name_ + " refused a picture: " + AvErrorText(rc));
    }
  }

  void RequestKeyFrame() override {
    // A key frame forced but not out yet answers this request as well.
    if (!awaiting_key_) force_key_ = true;
  }

 private:
  int EncodePicture() {
    int rc = av_frame_make_writable(frame_.get());
    if (rc < 0) return rc;
    DrawPattern(frame_.get(), pictures_);
    frame_->pts = static_cast<int64_t>(pictures_);
    frame_->pict_type = force_key_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
#ifdef AV_FRAME_FLAG_KEY
    // Newer FFmpeg reads the key flag rather than the picture type.
    if (force_key_)
      frame_->flags |= AV_FRAME_FLAG_KEY;
    else
      frame_->flags &= ~AV_FRAME_FLAG_KEY;
#endif
    if (force_key_) {
      awaiting_key_ = true;
      forced_pts_ = frame_->pts;
    }
    force_key_ = false;
    ++pictures_;
    return avcodec_send_frame(ctx_.get(), frame_.get());
  }

  std::string name_;
  std::unique_ptr<AVCodecContext, CodecContextFree> ctx_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  uint64_t limit_;
  uint64_t pictures_ = 0, packets_ = 0;
  bool flushing_ = false;
  bool force_key_ = false, awaiting_key_ = false;
  int64_t forced_pts_ = 0;
};

// ---- Parameter sets ----------------------------------------------------------------------

// How the parameter sets reach the receiver: as the source has them, in a frame of their own
// before the frame that carried them, or only when they differ from the ones last sent.
enum class ParameterSets { kInline, kSeparate, kOnce };

// One frame to send; `data` is valid until the next Shape().
struct Piece {
  std::span<const uint8_t> data;
  bool key = false;
};

// Hands out the parameter sets of each access unit the way the chosen kind of sender does.
class ParameterSetShaper {
 public:
  ParameterSetShaper(Codec codec, ParameterSets mode) : codec_(codec), mode_(mode) {}

  // The frames to send for one access unit, in order: none, one or two.
  const std::vector<Piece>& Shape(std::span<const uint8_t> unit, bool key) {
    out_.clear();
    if (mode_ == ParameterSets::kInline) {
      out_.push_back({unit, key});
      return out_;
    }
    std::vector<NalUnit> nals = pellion_tools::SplitNalUnits(codec_, unit);
    bool any_set = false, all_sets = !nals.empty();
    for (const NalUnit& n : nals) {
      bool set = pellion_tools::IsParameterSetNal(codec_, n.type);
      any_set |= set;
      all_sets &= set;
    }
    if (!any_set || (mode_ == ParameterSets::kSeparate && all_sets)) {
      out_.push_back({unit, key});
      return out_;
    }
    if (mode_ == ParameterSets::kOnce && Remember(unit, nals)) {
      out_.push_back({unit, key});
      return out_;
    }
    sets_.clear();
    rest_.clear();
    for (const NalUnit& n : nals) {
      std::vector<uint8_t>& to = pellion_tools::IsParameterSetNal(codec_, n.type) ? sets_ : rest_;
      // Annex B wants the long start code on the first unit of an access unit and on
      // parameter sets; a frame that now starts with a slice or an SEI gets it too.
      if (to.empty() && n.header - n.offset < 4) to.push_back(0);
      to.insert(to.end(), unit.begin() + static_cast<ptrdiff_t>(n.offset),
                unit.begin() + static_cast<ptrdiff_t>(n.offset + n.size));
    }
    if (mode_ == ParameterSets::kSeparate) out_.push_back({sets_, false});
    if (!rest_.empty()) out_.push_back({rest_, key});
    return out_;
  }

 private:
  // Files the unit's parameter sets as sent when any differs from the one last sent under its
  // type and id; true then, and all of them go again: a changed VPS or SPS can change how the
  // sets that refer to it read, and a decoder may drop those along with the old one.
  bool Remember(std::span<const uint8_t> unit, const std::vector<NalUnit>& nals) {
    bool changed = false;
    for (const NalUnit& n : nals) {
      if (!pellion_tools::IsParameterSetNal(codec_, n.type)) continue;
      std::span<const uint8_t> body = unit.subspan(n.header, n.offset + n.size - n.header);
      int id = pellion_tools::ParameterSetId(codec_, n.type, body);
      auto it = sent_.find({n.type, id});
      changed |= it == sent_.end() ||
                 !std::equal(body.begin(), body.end(), it->second.begin(), it->second.end());
    }
    if (!changed) return false;
    for (const NalUnit& n : nals) {
      if (!pellion_tools::IsParameterSetNal(codec_, n.type)) continue;
      std::span<const uint8_t> body = unit.subspan(n.header, n.offset + n.size - n.header);
      sent_[{n.type, pellion_tools::ParameterSetId(codec_, n.type, body)}].assign(body.begin(),
                                                                                  body.end());
    }
    return true;
  }

  Codec codec_;
  ParameterSets mode_;
  std::vector<Piece> out_;
  std::vector<uint8_t> sets_, rest_;
  std::map<std::pair<int, int>, std::vector<uint8_t>> sent_;  // by NAL type and id
};

// ---- Key-frame requests -------------------------------------------------------------------

// Listens for the host's key-frame request link on a thread of its own; the sending loop
// collects what came in between frames. Any number of peers, each read without blocking, so
// a silent or broken peer holds nobody up.
class RequestListener {
 public:
  // Binds at once, so a port in use fails before anything is sent.
  RequestListener(const std::string& bind_host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(bind_host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0)
      throw RuntimeError("cannot resolve the request address " + bind_host + ": " +
                         gai_strerror(rc));
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(res, freeaddrinfo);
    where_ = bind_host + ":" + std::to_string(port);
    std::string error;
    for (addrinfo* a = res; a != nullptr && listen_fd_ < 0; a = a->ai_next) {
      int fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) {
        error = ErrnoText("socket");
        continue;
      }
      int one = 1;
      // A sender restarted at once must get its port back from connections in TIME_WAIT.
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 16) == 0) {
        listen_fd_ = fd;
      } else {
        error = ErrnoText("bind");
        close(fd);
      }
    }
    if (listen_fd_ < 0)
      throw RuntimeError("cannot listen for key-frame requests on " + where_ + " (" + error +
                         "); use another --request-port, or 0 for none");
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
      close(listen_fd_);
      throw RuntimeError(ErrnoText("eventfd"));
    }
    try {
      thread_ = std::thread([this] { Loop(); });
    } catch (...) {
      close(wake_fd_);
      close(listen_fd_);
      throw;
    }
  }
  ~RequestListener() {
    uint64_t one = 1;
    ssize_t rc = write(wake_fd_, &one, sizeof one);  // fails only on counter overflow
    (void)rc;
    thread_.join();
    close(wake_fd_);
    close(listen_fd_);
  }
  RequestListener(const RequestListener&) = delete;
  RequestListener& operator=(const RequestListener&) = delete;

  // Receive times (monotonic microseconds) of the key-frame requests since the last call.
  std::vector<int64_t> Take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(pending_, {});
  }
  uint64_t requests() const { return requests_.load(); }
  uint64_t unknown() const { return unknown_.load(); }
  const std::string& where() const { return where_; }

 private:
  static constexpr size_t kMaxPeers = 64;
  static constexpr size_t kReadChunk = 64 * 1024;

  struct Peer {
    int fd;
    std::string name;
    std::string buffer;
    bool told_unknown = false;
  };

  void Loop() {
    std::vector<Peer> peers;
    std::vector<uint8_t> chunk(kReadChunk);
    int64_t accept_again_ns = 0;  // accept paused while out of descriptors
    for (;;) {
      bool accepting = NowNs() >= accept_again_ns;
      std::vector<pollfd> fds;
      fds.push_back({wake_fd_, POLLIN, 0});
      fds.push_back({listen_fd_, static_cast<short>(accepting ? POLLIN : 0), 0});
      for (const Peer& p : peers) fds.push_back({p.fd, POLLIN, 0});
      int timeout = accepting ? -1 : 100;
      if (poll(fds.data(), fds.size(), timeout) < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "pellion-send: %s; no more key-frame requests\n",
                     ErrnoText("poll").c_str());
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0 && !Accept(&peers)) accept_again_ns = NowNs() + kSecondNs / 10;
      // New peers are at the end, past the descriptors polled this round.
      for (size_t i = 0; i + 2 < fds.size(); ++i) {
        if (fds[i + 2].revents == 0) continue;
        if (!Read(&peers[i], &chunk)) {
          close(peers[i].fd);
          peers[i].fd = -1;
        }
      }
      std::erase_if(peers, [](const Peer& p) { return p.fd < 0; });
    }
    for (const Peer& p : peers) close(p.fd);
  }

  // False when out of descriptors: accepting pauses a moment rather than spin.
  bool Accept(std::vector<Peer>* peers) {
    for (;;) {
      sockaddr_storage addr{};
      socklen_t len = sizeof addr;
      int fd = accept4(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
        std::fprintf(stderr, "pellion-send: request link: %s\n", ErrnoText("accept").c_str());
        return false;
      }
      std::string name = PeerName(addr, len);
      if (peers->size() >= kMaxPeers) {
        std::fprintf(stderr, "pellion-send: request link: %zu peers already; refusing %s\n",
                     peers->size(), name.c_str());
        close(fd);
        continue;
      }
      std::fprintf(stderr, "pellion-send: request link: %s connected\n", name.c_str());
      peers->push_back({fd, std::move(name), {}});
    }
  }

  // False when the peer is to be dropped: closed, failed or broken.
  bool Read(Peer* p, std::vector<uint8_t>* chunk) {
    ssize_t n = recv(p->fd, chunk->data(), chunk->size(), 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return true;
      std::fprintf(stderr, "pellion-send: request link: %s: %s; disconnected\n", p->name.c_str(),
                   std::strerror(errno));
      return false;
    }
    if (n == 0) {
      std::fprintf(stderr, "pellion-send: request link: %s disconnected\n", p->name.c_str());
      return false;
    }
    p->buffer.append(reinterpret_cast<const char*>(chunk->data()), static_cast<size_t>(n));
    std::vector<pellion::LinkMessage> messages;
    bool ok = pellion::DecodeLinkMessages(&p->buffer, &messages);
    std::vector<int64_t> times;
    for (const pellion::LinkMessage& m : messages) {
      if (m.code == 0) {
        times.push_back(NowNs() / 1000);
        std::fprintf(stderr, "pellion-send: key-frame request from %s\n", p->name.c_str());
      } else {
        ++unknown_;
        if (!p->told_unknown)
          std::fprintf(stderr,
                       "pellion-send: request link: %s sent code %" PRIu32
                       "; ignoring such messages\n",
                       p->name.c_str(), m.code);
        p->told_unknown = true;
      }
    }
    if (!times.empty()) {
      requests_ += times.size();
      std::lock_guard<std::mutex> lock(mu_);
      pending_.insert(pending_.end(), times.begin(), times.end());
    }
    if (!ok)
      std::fprintf(stderr,
                   "pellion-send: request link: %s announced a body over %" PRIu32
                   " bytes; disconnected\n",
                   p->name.c_str(), pellion::kMaxLinkBody);
    return ok;
  }

  static std::string PeerName(const sockaddr_storage& addr, socklen_t len) {
    char host[NI_MAXHOST] = {}, port[NI_MAXSERV] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
      return "a peer";
    return std::string(host) + ":" + port;
  }

  std::string where_;
  int listen_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
  std::mutex mu_;
  std::vector<int64_t> pending_;
  std::atomic<uint64_t> requests_{0}, unknown_{0};
};

// ---- Packets ------------------------------------------------------------------------------

size_t PacketCount(size_t frame_size, size_t payload) {
  return std::max<size_t>(1, (frame_size + payload - 1) / payload);
}

uint32_t NextFrameIndex(uint32_t idx) { return idx == UINT32_MAX ? 1 : idx + 1; }  // 0 is unused

// Cuts one frame into datagrams: header plus at most `payload` bytes each. Receivers drop a
// datagram of fewer than 10 bytes, so a last packet of one byte borrows one from the packet
// before it.
template <class Emit>
void Packetize(std::span<const uint8_t> frame, uint32_t frameidx, size_t payload, Emit&& emit) {
  size_t count = PacketCount(frame.size(), payload);
  const bool borrow = count > 1 && frame.size() % payload == 1;
  for (size_t i = 0; i < count; ++i) {
    size_t begin = i * payload;
    size_t len = std::min(payload, frame.size() - begin);
    if (borrow && i + 2 == count) len -= 1;
    if (borrow && i + 1 == count) {
      begin -= 1;
      len += 1;
    }
    StreamPacketHeader h;
    h.vstream = true;
    h.is_final = i + 1 == count;
    h.packlen = static_cast<uint16_t>(StreamPacketHeader::kSize + len);
    h.frameidx = frameidx;
    h.pkgindx = static_cast<uint16_t>(i);
    std::vector<uint8_t> d(StreamPacketHeader::kSize + len);
    h.Write(d.data());
    std::copy_n(frame.data() + begin, len, d.data() + StreamPacketHeader::kSize);
    emit(std::move(d));
  }
}

// ---- Impairments --------------------------------------------------------------------------

struct ImpairOptions {
  double loss = 0, dup = 0, reorder = 0;
  uint32_t burst = 1;
  uint64_t seed = 1;
};

struct Datagram {
  std::vector<uint8_t> bytes;
  uint64_t frame_serial = 0;
};

// Drops, duplicates and holds back datagrams. Each impairment draws from a generator of its
// own, so a given seed loses the same datagrams whatever else is switched on.
class Impairer {
 public:
  using Send = std::function<void(const std::vector<uint8_t>&)>;
  using Done = std::function<void(uint64_t frame_serial)>;  // sent or dropped, for the trace

  Impairer(const ImpairOptions& o, Send send, Done done)
      : o_(o),
        loss_rng_(Seed(o.seed, 1)),
        dup_rng_(Seed(o.seed, 2)),
        reorder_rng_(Seed(o.seed, 3)),
        send_(std::move(send)),
        done_(std::move(done)) {}

  void Push(Datagram d) {
    if (Lost()) {
      ++dropped_;
      done_(d.frame_serial);
      return;
    }
    bool dup = Chance(dup_rng_, o_.dup);
    if (Chance(reorder_rng_, o_.reorder)) {
      int wait = 1 + static_cast<int>(reorder_rng_() % 3);
      held_.push_back({std::move(d), wait, dup});
      return;
    }
    Transmit(d, dup);
    for (auto it = held_.begin(); it != held_.end();) {
      if (--it->wait == 0) {
        ++reordered_;
        Transmit(it->d, it->dup);
        it = held_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Sends whatever is still held back, in order.
  void Flush() {
    for (Held& h : held_) Transmit(h.d, h.dup);
    held_.clear();
  }

  uint64_t dropped() const { return dropped_; }
  uint64_t duplicated() const { return duplicated_; }
  uint64_t reordered() const { return reordered_; }

 private:
  struct Held {
    Datagram d;
    int wait;  // later datagrams to let pass first
    bool dup;
  };

  static std::mt19937_64 Seed(uint64_t seed, uint64_t stream) {
    std::seed_seq seq{static_cast<uint32_t>(seed), static_cast<uint32_t>(seed >> 32),
                      static_cast<uint32_t>(stream)};
    return std::mt19937_64(seq);
  }
  // Own mapping to [0,1): the standard distributions may differ between libraries.
  static bool Chance(std::mt19937_64& rng, double p) {
    if (p <= 0) return false;
    return static_cast<double>(rng() >> 11) * 0x1.0p-53 < p;
  }
  bool Lost() {
    if (burst_left_ > 0) {
      --burst_left_;
      return true;
    }
    if (!Chance(loss_rng_, o_.loss)) return false;
    burst_left_ = o_.burst - 1;
    return true;
  }
  void Transmit(const Datagram& d, bool dup) {
    send_(d.bytes);
    if (dup) {
      send_(d.bytes);
      ++duplicated_;
    }
    done_(d.frame_serial);
  }

  ImpairOptions o_;
  std::mt19937_64 loss_rng_, dup_rng_, reorder_rng_;
  Send send_;
  Done done_;
  std::deque<Held> held_;
  uint32_t burst_left_ = 0;
  uint64_t dropped_ = 0, duplicated_ = 0, reordered_ = 0;
};

// ---- Output -------------------------------------------------------------------------------

class UdpSocket {
 public:
  // From `source_port` when it is not 0: a second run from the same port is the same sender to
  // a receiver.
  UdpSocket(const std::string& host, int port, int source_port = 0)
      : where_(host + ":" + std::to_string(port)) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &res);
    if (rc != 0) throw RuntimeError("cannot resolve " + host + ": " + gai_strerror(rc));
    std::memcpy(&addr_, res->ai_addr, res->ai_addrlen);
    addr_len_ = res->ai_addrlen;
    fd_ = socket(res->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int family = res->ai_family;
    freeaddrinfo(res);
    if (fd_ < 0) throw RuntimeError(ErrnoText("cannot open a UDP socket"));
    if (source_port != 0) {
      sockaddr_storage local{};
      socklen_t len = 0;
      if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&local);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<uint16_t>(source_port));
        len = sizeof(*a);
      } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&local);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<uint16_t>(source_port));
        len = sizeof(*a);
      }
      if (bind(fd_, reinterpret_cast<sockaddr*>(&local), len) != 0) {
        RuntimeError e(ErrnoText("cannot send from port " + std::to_string(source_port)));
        close(fd_);
        throw e;
      }
    }
  }
  ~UdpSocket() { close(fd_); }
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // False when the datagram was refused for now (full queue, no listener); throws otherwise.
  bool Send(const std::vector<uint8_t>& d) {
    for (;;) {
      ssize_t n =
          sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&addr_), addr_len_);
      if (n >= 0) return true;
      if (errno == EINTR) continue;
      if (errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED) return false;
      throw RuntimeError(ErrnoText("cannot send to " + where_));
    }
  }
  const std::string& where() const { return where_; }

 private:
  std::string where_;
  sockaddr_storage addr_{};
  socklen_t addr_len_ = 0;
  int fd_ = -1;
};

// A second program on the receiver's port: from a socket of its own, datagrams that look like
// stream packets of frames nobody sends, alternating a complete one-packet frame and a packet 1
// of a frame that never ends, each under a fresh index.
class JunkSender {
 public:
  JunkSender(const std::string& host, int port, int per_datagram)
      : socket_(host, port), per_datagram_(per_datagram) {}
  void AfterDatagram() {
    for (int i = 0; i < per_datagram_; ++i, ++index_) {
      const bool complete = index_ % 2 == 0;
      std::vector<uint8_t> d(complete ? 10 : 12, 'j');
      StreamPacketHeader h{true, complete, static_cast<uint16_t>(d.size()), index_ * 2654435761u,
                           static_cast<uint16_t>(complete ? 0 : 1)};
      h.Write(d.data());
      if (socket_.Send(d)) ++sent_;
    }
  }
  uint64_t sent() const { return sent_; }

 private:
  UdpSocket socket_;
  int per_datagram_;
  uint32_t index_ = 1;
  uint64_t sent_ = 0;
};

// One line per frame, written in frame order once all of the frame's datagrams have left
// (held-back ones included), so the time is when the receiver could have it complete. A
// request line goes before the first frame chosen after the request came in.
class Trace {
 public:
  explicit Trace(const std::string& path) : path_(path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) throw RuntimeError(ErrnoText("cannot write " + path));
  }
  ~Trace() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  // Returns the serial that Done() takes once per datagram.
  uint64_t Begin(uint32_t frameidx, uint64_t au, bool key, size_t datagrams) {
    pending_.push_back({false, frameidx, au, key, datagrams, 0});
    return front_serial_ + pending_.size() - 1;
  }
  void Request(int64_t received_us) {
    pending_.push_back({true, 0, 0, false, 0, received_us});
    Drain();
  }
  void Done(uint64_t serial) {
    Entry& e = pending_[serial - front_serial_];
    e.us = NowNs() / 1000;
    --e.remaining;
    Drain();
  }
  void Flush() {
    if (file_ != nullptr) std::fflush(file_);
  }
  void Close() {
    if (file_ == nullptr) return;
    bool ok = std::ferror(file_) == 0;
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (!ok) throw RuntimeError("cannot write the trace " + path_);
  }

 private:
  struct Entry {
    bool request;
    uint32_t frameidx;
    uint64_t au;
    bool key;
    size_t remaining;
    int64_t us;
  };
  void Drain() {
    while (!pending_.empty() && pending_.front().remaining == 0) {
      const Entry& f = pending_.front();
      if (file_ != nullptr && f.request)
        std::fprintf(file_, "request %" PRId64 "\n", f.us);
      else if (file_ != nullptr)
        std::fprintf(file_, "%" PRIu32 " %" PRIu64 " %d %" PRId64 "\n", f.frameidx, f.au,
                     f.key ? 1 : 0, f.us);
      pending_.pop_front();
      ++front_serial_;
    }
  }

  std::string path_;
  std::FILE* file_ = nullptr;
  std::deque<Entry> pending_;
  uint64_t front_serial_ = 0;
};

struct Counters {
  uint64_t frames = 0, datagrams = 0, bytes = 0, refused = 0;
};

// Whole frames left out, swapped or sent twice, by their position among the frames the sender
// makes (0-based, the parameter-set frames of --parameter-sets included). A frame left out
// still uses its index: the receiver sees the gap a loss leaves.
struct Reshuffle {
  uint64_t skip = 0;  // the first frames, left out without taking any time
  std::set<uint64_t> drop;
  uint64_t drop_before_key = 0;  // that many just before the clip's second key frame
  std::optional<uint64_t> swap;  // this frame goes right after the next one
  std::optional<std::pair<uint64_t, uint64_t>> resend;  // frame, frames later
  bool any() const { return skip > 0 || !drop.empty() || drop_before_key > 0 || swap || resend; }
};

// "P", "P-Q" or a list of them with commas, as positions; false when it is not one.
bool ParsePositions(const std::string& text, std::set<uint64_t>* out) {
  auto number = [](const std::string& t, uint64_t* v) {
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *v = std::stoull(t);
    return true;
  };
  size_t begin = 0;
  for (;;) {
    size_t end = text.find(',', begin);
    std::string item = text.substr(begin, end == std::string::npos ? end : end - begin);
    size_t dash = item.find('-');
    uint64_t lo = 0, hi = 0;
    if (dash == std::string::npos) {
      if (!number(item, &lo)) return false;
      hi = lo;
    } else if (!number(item.substr(0, dash), &lo) || !number(item.substr(dash + 1), &hi) ||
               hi < lo || hi - lo > 100000) {
      return false;
    }
    for (uint64_t v = lo; v <= hi; ++v) out->insert(v);
    if (end == std::string::npos) return true;
    begin = end + 1;
  }
}

// ---- Sending ------------------------------------------------------------------------------

struct Options {
  std::string file;
  std::string codec;
  bool encode = false;
  EncodeOptions enc;
  double seconds = 0;
  std::string host = "127.0.0.1";
  int port = 9111;
  size_t payload = 1400;
  double fps = 0;
  bool fast = false;
  uint64_t loops = 1;
  uint64_t frames = 0;
  uint64_t first_index = 1;
  ImpairOptions impair;
  std::string trace;
  int request_port = pellion::kKeyFrameRequestPort;
  std::string request_bind = "127.0.0.1";
  ParameterSets parameter_sets = ParameterSets::kInline;
  int source_port = 0;
  int junk = 0;
  Reshuffle reshuffle;
};

// SIGINT and SIGTERM stay blocked and are collected here, so none is lost between a check
// and a sleep. Threads started later inherit the mask and leave the signals to this one.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
  }
  // Waits until `deadline_ns` (0: just looks); true once a stop signal has come.
  bool WaitUntil(int64_t deadline_ns) {
    for (;;) {
      int64_t left = std::max<int64_t>(0, deadline_ns - NowNs());
      timespec ts{static_cast<time_t>(left / kSecondNs), static_cast<long>(left % kSecondNs)};
      int sig = sigtimedwait(&set_, nullptr, &ts);
      if (sig > 0) signal_ = sig;
      if (signal_ != 0) return true;
      if (left == 0 || NowNs() >= deadline_ns) return false;
    }
  }
  int signal() const { return signal_; }

 private:
  sigset_t set_;
  int signal_ = 0;
};

void PrintCounts(const char* prefix, const Counters& c, const Impairer& imp, double rate) {
  std::fprintf(
      stderr,
      "pellion-send: %s%" PRIu64 " frames, %" PRIu64 " datagrams, %.0f bytes/s, dropped %" PRIu64
      ", duplicated %" PRIu64 ", reordered %" PRIu64,
      prefix, c.frames, c.datagrams, rate, imp.dropped(), imp.duplicated(), imp.reordered());
  if (c.refused > 0) std::fprintf(stderr, ", refused by the network %" PRIu64, c.refused);
}

struct OpenedSource {
  std::unique_ptr<FrameSource> source;
  Codec codec = Codec::kH264;
  double fps = 30;
  uint64_t frames = 0;  // 0: no limit
  std::string what;     // for the opening line
  // Where the second key frame of a file comes among the frames sent, when it has one.
  std::optional<uint64_t> second_key;
};

OpenedSource OpenFile(const Options& o) {
  std::optional<Codec> codec;
  if (!o.codec.empty())
    codec = o.codec == "h264" ? Codec::kH264 : Codec::kHevc;
  else
    codec = pellion_tools::CodecFromFileName(o.file);
  if (!codec) throw UsageError("cannot tell the codec from the name " + o.file + "; use --codec");

  std::vector<uint8_t> bytes = pellion_tools::ReadWholeFile(o.file);
  pellion_tools::CheckStream(*codec, bytes, o.file);
  SplitStream stream = pellion_tools::SplitAccessUnits(*codec, bytes);
  size_t largest = 0, keys = 0;
  for (const AccessUnit& u : stream.units) {
    largest = std::max(largest, u.size);
    keys += u.key ? 1 : 0;
  }
  if (PacketCount(largest, o.payload) > kMaxPacketsPerFrame)
    throw RuntimeError("a frame of " + std::to_string(largest) + " bytes needs more than " +
                       std::to_string(kMaxPacketsPerFrame) + " packets; use a larger --payload");
  OpenedSource s;
  s.fps = o.fps > 0 ? o.fps : stream.fps > 0 ? stream.fps : 30;
  s.frames = o.frames;
  char fps_text[64];
  std::snprintf(fps_text, sizeof fps_text, "%.4g fps%s", s.fps,
                o.fps > 0        ? ""
                : stream.fps > 0 ? " (from the stream)"
                                 : " (default)");
  s.what = o.file + ": " + pellion_tools::CodecName(*codec) + ", " +
           std::to_string(stream.units.size()) + " access units (" + std::to_string(keys) +
           " key), " + (o.fast ? "as fast as possible" : fps_text);
  s.codec = *codec;
  // The frames the first pass makes, as the sending loop will shape them.
  ParameterSetShaper shaper(*codec, o.parameter_sets);
  uint64_t position = 0, keys_seen = 0;
  for (const AccessUnit& u : stream.units) {
    for (const Piece& piece :
         shaper.Shape(std::span<const uint8_t>(bytes).subspan(u.offset, u.size), u.key)) {
      if (piece.key && ++keys_seen == 2) s.second_key = position;
      ++position;
    }
    if (s.second_key) break;
  }
  s.source = std::make_unique<FileSource>(std::move(bytes), std::move(stream), o.loops);
  return s;
}

OpenedSource OpenEncoder(const Options& o) {
  OpenedSource s;
  s.fps = o.fps > 0 ? o.fps : 30;
  s.frames = o.frames;
  if (o.seconds > 0) s.frames = std::max<uint64_t>(1, std::llround(o.seconds * s.fps));
  s.codec = o.codec == "hevc" ? Codec::kHevc : Codec::kH264;
  // libx264 reports its settings and statistics at info level; errors are enough here.
  av_log_set_level(AV_LOG_ERROR);
  s.source = std::make_unique<EncoderSource>(s.codec, o.enc, s.fps, s.frames);
  char text[160];
  std::snprintf(text, sizeof text, "test pattern %dx%d, %s, a key frame every %d, %.4g fps%s",
                o.enc.width, o.enc.height, s.codec == Codec::kH264 ? "libx264" : "libx265",
                o.enc.gop, s.fps, o.fast ? ", sent as fast as encoded" : "");
  s.what = text;
  return s;
}

int Run(const Options& o, StopSignals& stop) {
  OpenedSource opened = o.encode ? OpenEncoder(o) : OpenFile(o);
  FrameSource& source = *opened.source;
  const uint64_t limit = opened.frames;
  // Per process, like an encoder's: a restarted sender hands out its parameter sets anew.
  ParameterSetShaper shaper(opened.codec, o.parameter_sets);
  if (o.parameter_sets != ParameterSets::kInline)
    opened.what += o.parameter_sets == ParameterSets::kSeparate ? ", parameter sets separate"
                                                                : ", parameter sets once";

  Reshuffle reshuffle = o.reshuffle;
  if (reshuffle.drop_before_key > 0) {
    if (!opened.second_key)
      throw UsageError("--drop-before-key: " + o.file + " has no second key frame");
    const uint64_t key = *opened.second_key;
    for (uint64_t p = key - std::min(key, reshuffle.drop_before_key); p < key; ++p)
      reshuffle.drop.insert(p);
  }

  UdpSocket socket(o.host, o.port, o.source_port);
  std::unique_ptr<JunkSender> junk;
  if (o.junk > 0) junk = std::make_unique<JunkSender>(o.host, o.port, o.junk);
  Trace trace(o.trace);
  std::unique_ptr<RequestListener> listener;
  if (o.request_port != 0)
    listener = std::make_unique<RequestListener>(o.request_bind, o.request_port);
  Counters count;
  Impairer imp(
      o.impair,
      [&](const std::vector<uint8_t>& d) {
        if (!socket.Send(d)) {
          ++count.refused;
          return;
        }
        ++count.datagrams;
        count.bytes += d.size();
        if (junk) junk->AfterDatagram();
      },
      [&](uint64_t serial) { trace.Done(serial); });

  std::fprintf(stderr, "pellion-send: %s, to %s\n", opened.what.c_str(), socket.where().c_str());
  if (listener)
    std::fprintf(stderr, "pellion-send: key-frame requests on TCP %s\n", listener->where().c_str());

  const double period_ns = kSecondNs / opened.fps;
  const int64_t start = NowNs();
  int64_t base = start, next_report = start + kSecondNs;
  int64_t last_report = start;
  uint64_t since_base = 0, bytes_at_report = 0;
  auto report = [&] {
    int64_t now = NowNs();
    if (now < next_report) return;
    double secs = static_cast<double>(now - last_report) / kSecondNs;
    PrintCounts("", count, imp, static_cast<double>(count.bytes - bytes_at_report) / secs);
    std::fprintf(stderr, "\n");
    bytes_at_report = count.bytes;
    last_report = now;
    next_report = std::max(next_report + kSecondNs, now);
    trace.Flush();
  };
  auto take_requests = [&] {
    if (!listener) return false;
    std::vector<int64_t> asked = listener->Take();
    for (int64_t us : asked) trace.Request(us);
    return !asked.empty();
  };

  uint32_t idx = static_cast<uint32_t>(o.first_index);
  Frame frame;
  uint64_t units = 0;     // taken from the source; what --frames counts
  uint64_t position = 0;  // of the next frame made, sent or not; what --drop and the rest count
  uint64_t left_out = 0, extra = 0;
  // A frame's bytes kept to go later: the source's are valid only until its next frame.
  struct Kept {
    std::vector<uint8_t> bytes;
    bool key;
    uint32_t idx;
    uint64_t au;
    uint64_t after;  // sent once the frame at this position has had its turn
  };
  std::optional<Kept> swapped, again;
  auto send_frame = [&](std::span<const uint8_t> data, bool key, uint32_t index, uint64_t au) {
    size_t datagrams = PacketCount(data.size(), o.payload);
    if (datagrams > kMaxPacketsPerFrame)
      throw RuntimeError("a frame of " + std::to_string(data.size()) + " bytes needs more than " +
                         std::to_string(kMaxPacketsPerFrame) + " packets; use a larger --payload");
    uint64_t serial = trace.Begin(index, au, key, datagrams);
    Packetize(data, index, o.payload, [&](std::vector<uint8_t> d) {
      imp.Push({std::move(d), serial});
    });
    ++count.frames;
  };
  auto send_kept = [&](std::optional<Kept>& k) {
    if (!k) return;
    send_frame(k->bytes, k->key, k->idx, k->au);
    ++extra;
    k.reset();
  };
  while (limit == 0 || units < limit) {
    // Frames skipped at the start take no time: the receiver joins a stream already running.
    if (position < reshuffle.skip) {
      if (stop.WaitUntil(0)) break;
    } else if (o.fast) {
      if (stop.WaitUntil(0)) break;
    } else {
      int64_t deadline = base + std::llround(static_cast<double>(since_base) * period_ns);
      if (NowNs() - deadline > kSecondNs) {
        // Stalled (stopped, swapped out): restart the schedule rather than burst to catch up.
        std::fprintf(stderr, "pellion-send: over a second behind; restarting the schedule\n");
        base = deadline = NowNs();
        since_base = 0;
      }
      bool stopped = false;
      while (!(stopped = stop.WaitUntil(std::min(deadline, next_report))) && NowNs() < deadline)
        report();
      if (stopped) break;
    }
    // Requests are taken only now, after the wait, so the frame about to go answers them.
    if (take_requests()) source.RequestKeyFrame();
    if (!source.Next(&frame)) break;
    ++units;
    // Parameter sets split off go out at once, ahead of their unit's paced slot.
    const bool waited = position >= reshuffle.skip;
    for (const Piece& piece : shaper.Shape(frame.data, frame.key)) {
      const uint64_t at = position++;
      if (at < reshuffle.skip || reshuffle.drop.count(at) == 1) {
        ++left_out;
      } else if (reshuffle.swap == at) {
        swapped =
            Kept{{piece.data.begin(), piece.data.end()}, piece.key, idx, frame.au_number, at + 1};
      } else {
        send_frame(piece.data, piece.key, idx, frame.au_number);
        if (reshuffle.resend && reshuffle.resend->first == at)
          again = Kept{{piece.data.begin(), piece.data.end()},
                       piece.key,
                       idx,
                       frame.au_number,
                       at + reshuffle.resend->second};
      }
      if (swapped && swapped->after == at) send_kept(swapped);
      if (again && again->after == at) send_kept(again);
      idx = NextFrameIndex(idx);
    }
    if (waited) ++since_base;
    report();
  }
  // The source ended before their turn came.
  send_kept(swapped);
  send_kept(again);
  imp.Flush();
  take_requests();  // late ones are still on record
  trace.Close();

  double secs = static_cast<double>(NowNs() - start) / kSecondNs;
  PrintCounts("done: ", count, imp, secs > 0 ? static_cast<double>(count.bytes) / secs : 0);
  if (listener) {
    std::fprintf(stderr, ", key-frame requests %" PRIu64, listener->requests());
    if (listener->unknown() > 0)
      std::fprintf(stderr, ", unknown messages %" PRIu64, listener->unknown());
  }
  if (junk) std::fprintf(stderr, ", junk datagrams %" PRIu64, junk->sent());
  if (reshuffle.any())
    std::fprintf(stderr, ", frames left out %" PRIu64 ", sent out of turn or again %" PRIu64,
                 left_out, extra);
  std::fprintf(stderr, "; %" PRIu64 " bytes in %.3f s%s\n", count.bytes, secs,
               stop.signal() != 0 ? "; stopped by a signal" : "");
  return 0;
}

// Validates numbers the way Range cannot: NaN passes a range check.
CLI::Validator Between(double lo, double hi) {
  return CLI::Validator(
      [lo, hi](std::string& s) -> std::string {
        double v = 0;
        if (!CLI::detail::lexical_cast(s, v) || !(v >= lo && v <= hi))
          return "must be a number in [" + CLI::detail::to_string(lo) + ", " +
                 CLI::detail::to_string(hi) + "]";
        return {};
      },
      "[" + CLI::detail::to_string(lo) + " - " + CLI::detail::to_string(hi) + "]");
}

constexpr int kMinSide = 16, kMaxSide = 8192;

// "WxH", both even (4:2:0 halves them) and within [kMinSide, kMaxSide].
bool ParseSize(const std::string& s, int* w, int* h) {
  size_t x = s.find_first_of("xX");
  if (x == std::string::npos) return false;
  auto side = [](const std::string& t, int* out) {
    if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *out = std::stoi(t);
    return *out >= kMinSide && *out <= kMaxSide && *out % 2 == 0;
  };
  return side(s.substr(0, x), w) && side(s.substr(x + 1), h);
}

// Returns an exit code when the program should stop here (help, bad options).
std::optional<int> ParseCommandLine(int argc, char** argv, Options* o) {
  CLI::App app{
      "Sends an H.264 or H.265 elementary-stream file, or a test pattern encoded on the fly, as "
      "stream packets over UDP, one access unit per frame, paced at the frame rate; optionally "
      "loses, duplicates and reorders datagrams. Answers key-frame requests on a TCP port."};
  auto* file = app.add_option("file", o->file, "the elementary-stream file");
  auto* encode =
      app.add_flag("--encode", o->encode,
                   "send a test pattern encoded with libx264 (libx265 with --codec hevc) instead")
          ->excludes(file);
  std::string size = "1280x720";
  app.add_option("--size", size, "picture size with --encode")
      ->check(CLI::Validator(
          [](std::string& s) -> std::string {
            int w = 0, h = 0;
            if (ParseSize(s, &w, &h)) return {};
            return "must be WxH, even, from " + std::to_string(kMinSide) + " to " +
                   std::to_string(kMaxSide);
          },
          "WxH"))
      ->needs(encode)
      ->capture_default_str();
  app.add_option("--gop", o->enc.gop, "pictures from one key frame to the next with --encode")
      ->check(CLI::Range(1, 100000))
      ->needs(encode)
      ->capture_default_str();
  app.add_option("--codec", o->codec,
                 "h264 or hevc (default: from the file name extension; h264 with --encode)")
      ->check(CLI::IsMember({"h264", "hevc"}));
  app.add_option("--host", o->host, "receiver address or name")->capture_default_str();
  app.add_option("--port", o->port, "receiver UDP port")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  app.add_option("--payload", o->payload, "payload bytes per datagram")
      ->check(CLI::Range(size_t{3}, kMaxPayload))
      ->capture_default_str();
  auto* fps = app.add_option("--fps", o->fps,
                             "frames per second (default: the stream's frame rate, else 30)")
                  ->check(Between(0.01, 1000));
  app.add_flag("--fast", o->fast, "send as fast as possible, without pacing")->excludes(fps);
  app.add_option("--loop", o->loops, "send the file this many times (0: until stopped)")
      ->check(CLI::NonNegativeNumber)
      ->excludes(encode)
      ->capture_default_str();
  auto* frames = app.add_option("--frames", o->frames,
                                "stop after this many access units (pictures) of the source, "
                                "however many frames --parameter-sets makes of them (0: no limit)")
                     ->check(CLI::NonNegativeNumber)
                     ->capture_default_str();
  app.add_option("--seconds", o->seconds, "with --encode, stop after this many seconds of pictures")
      ->check(Between(0.001, 1e7))
      ->needs(encode)
      ->excludes(frames);
  app.add_option("--first-index", o->first_index, "index of the first frame (0 is never sent)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{UINT32_MAX}))
      ->capture_default_str();
  app.add_option("--loss", o->impair.loss, "probability of dropping a datagram")
      ->check(Between(0, 1));
  app.add_option("--burst-loss", o->impair.burst, "datagrams dropped in a row on each loss")
      ->check(CLI::Range(1u, 1000000u))
      ->capture_default_str();
  app.add_option("--dup", o->impair.dup, "probability of sending a datagram twice")
      ->check(Between(0, 1));
  app.add_option("--reorder", o->impair.reorder,
                 "probability of holding a datagram back behind the next one to three")
      ->check(Between(0, 1));
  app.add_option("--seed", o->impair.seed, "seed of the impairments")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--trace", o->trace,
                 "write 'frameidx au_number key last_datagram_us' per frame and "
                 "'request received_us' per key-frame request to this file");
  app.add_option("--request-port", o->request_port,
                 "TCP port for key-frame requests (0: do not listen)")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--request-bind", o->request_bind, "address to listen on for key-frame requests")
      ->capture_default_str();
  std::string parameter_sets = "inline";
  app.add_option("--parameter-sets", parameter_sets,
                 "inline: as the source has them; separate: an access unit's parameter sets "
                 "(SPS/PPS, VPS/SPS/PPS) go first as a frame of their own, and every later frame "
                 "index moves up by one; once: sets identical to the ones this process last sent "
                 "under their type and id are left out, changed ones go again with the rest of "
                 "their unit's, and a frame left empty is not sent")
      ->check(CLI::IsMember({"inline", "separate", "once"}))
      ->capture_default_str();
  app.add_option("--source-port", o->source_port,
                 "UDP port to send from (0: any); a run from the same port is the same sender")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--junk", o->junk,
                 "after each datagram, this many junk datagrams from another socket (fresh "
                 "indices; complete one-packet frames and packets of frames never finished)")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  Reshuffle& r = o->reshuffle;
  app.add_option("--skip", r.skip,
                 "leave out the first N frames at once, as a receiver joining a running stream "
                 "misses them (frames count from 0 in the order they are made, every "
                 "--parameter-sets frame included; a frame left out keeps its index)")
      ->check(CLI::NonNegativeNumber);
  std::vector<std::string> drops;
  app.add_option("--drop", drops, "leave out these frames: P, P-Q, or a list of them, as 21-25,70")
      ->check(CLI::Validator(
          [](std::string& t) -> std::string {
            std::set<uint64_t> ignored;
            return ParsePositions(t, &ignored) ? ""
                                               : "must be P, P-Q or a list of them with commas";
          },
          "LIST"));
  app.add_option("--drop-before-key", r.drop_before_key,
                 "leave out the N frames just before the file's second key frame")
      ->check(CLI::Range(uint64_t{1}, uint64_t{100000}))
      ->excludes(encode);
  uint64_t swap = 0;
  auto* swap_option = app.add_option("--swap", swap, "send frame P right after frame P+1")
                          ->check(CLI::NonNegativeNumber);
  std::string resend;
  app.add_option("--resend", resend,
                 "P:D: send frame P again, under its index, right after frame P+D")
      ->check(CLI::Validator(
          [](std::string& t) -> std::string {
            unsigned long long p = 0, d = 0;
            char tail = 0;
            if (std::sscanf(t.c_str(), "%llu:%llu%c", &p, &d, &tail) == 2 && d >= 1) return {};
            return "must be P:D, D at least 1";
          },
          "P:D"));
  app.set_version_flag("--version", "pellion-send " PELLION_VERSION);
  try {
    app.parse(argc, argv);
    if (o->file.empty() && !o->encode) throw CLI::RequiredError("a file or --encode");
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  }
  ParseSize(size, &o->enc.width, &o->enc.height);
  for (const std::string& t : drops) ParsePositions(t, &r.drop);
  if (swap_option->count() > 0) r.swap = swap;
  if (!resend.empty()) {
    unsigned long long p = 0, d = 0;
    std::sscanf(resend.c_str(), "%llu:%llu", &p, &d);
    r.resend = std::pair<uint64_t, uint64_t>(p, d);
  }
  o->parameter_sets = parameter_sets == "separate" ? ParameterSets::kSeparate
                      : parameter_sets == "once"   ? ParameterSets::kOnce
                                                   : ParameterSets::kInline;
  return std::nullopt;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// libx265 never frees some buffers it allocates when an encoder opens; a sanitizer build must
// not fail the run over a leak in a library it does not own.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

int main(int argc, char** argv) {
  Options options;
  if (std::optional<int> rc = ParseCommandLine(argc, argv, &options)) return *rc;
  StopSignals stop;
  try {
    return Run(options, stop);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "pellion-send: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pellion-send: %s\n", e.what());
    return 1;
  }
}
