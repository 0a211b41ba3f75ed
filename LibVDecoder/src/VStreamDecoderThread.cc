// The decoder thread's task: capture, decode, key-frame policy, publication, statistics.
#include "VStreamDecoderThread.h"

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "CaptureFile.h"
#include "MetaUdpServer.h"
#include "file/path.h"
#include "log/log.h"
#include "platform/clock.h"
#include "video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t kRequestIntervalMs = 300;
constexpr int kPictureTypeI = 1;
constexpr int kPictureTypeP = 2;

class FfmpegDecoder : public FrameDecoder {
 public:
  bool Decode(const uint8_t* data, size_t size, std::vector<uint8_t>* picture, int* width,
              int* height, AVCodecID* codec_id, int* picture_type) override {
    return decode_video_frame(data, size, picture, width, height, codec_id, picture_type);
  }
};

FfmpegDecoder g_ffmpeg_decoder;

// Decode statistics: one decoder per process. The report clock is set by the first frame.
std::once_flag g_report_once;
uint32_t g_report_clock = 0;
uint32_t g_decode_sum_ms = 0;
uint32_t g_decode_count = 0;

std::wstring Wide(const std::string& s) { return NORV::sFileManager::ToWide(s); }

}  // namespace

VStreamDecoderThread::VStreamDecoderThread() : VStreamDecoderThread(nullptr, nullptr, Limits()) {}

VStreamDecoderThread::VStreamDecoderThread(FrameDecoder* decoder, FramePublisher* publisher,
                                           Limits limits)
    : NKMsgFrameThread("VStreamDecoderThread"),
      decoder_(decoder != nullptr ? decoder : &g_ffmpeg_decoder),
      publisher_(publisher != nullptr ? publisher : &share_mem_),
      limits_(limits) {}

VStreamDecoderThread::~VStreamDecoderThread() {
  // Before the members go: no task may run on a half-destroyed decoder.
  if (receiver_) receiver_->sig_vframe_.disconnect(this);
  FrameworkThread::Stop();
}

bool VStreamDecoderThread::StartDecoding() {
  // A thread whose timed stop ran out may still be inside a task: give it time to end, and
  // never touch the task's state while it can run.
  if (!WaitForEnd(2000)) {
    LOGE << "decoder could not start: the previous decoder thread has not ended";
    return false;
  }
  got_iframe_ = false;
  char buf[31] = {};
  time_t now = std::time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) != nullptr)
    std::strftime(buf, sizeof(buf), "%Y-%m-%d-%H-%M-%S", &local);
  start_time_ = buf;
  bool started = Start();
  if (started && !receiver_) {
    receiver_ = MetaUdpServer::GetInstance();
    receiver_->sig_vframe_.connect(this, &VStreamDecoderThread::OnPushVFrame);
  }
  return started;
}

void VStreamDecoderThread::StopDecoding() {
  Stop(1000);
  // Once this returns the slot is not running and will not run again.
  if (receiver_) receiver_->sig_vframe_.disconnect(this);
  receiver_.reset();
  // Otherwise the next StartDecoding resets it once the thread has ended.
  if (HasEnded()) got_iframe_ = false;
}

void VStreamDecoderThread::OnPushVFrame(uint32_t frame_index, const std::string& frame) {
  std::call_once(g_report_once, [] { g_report_clock = platform::ClockMs(); });
  // Normal load never comes near the bound; a decoder slower than the stream would otherwise
  // grow memory and latency without end. The newest frame is dropped; the gap that leaves makes
  // the policy ask for a key frame.
  if (queued_frames_.load() + 1 > limits_.max_queued_frames ||
      queued_bytes_.load() + frame.size() > limits_.max_queued_bytes) {
    uint64_t dropped = ++dropped_;
    uint32_t now = platform::ClockMs();
    uint32_t last = last_drop_log_.load();
    if (dropped == 1 || now - last >= 3000) {
      last_drop_log_ = now;
      LOGE << "decoder queue full, frames dropped so far: " << dropped;
    }
    return;
  }
  // Counted until the task is destroyed, whether it ran or a stopping loop discarded it (or
  // there was no loop): a frame counted only when its task ran would stay queued for ever, and
  // after a stop under load every later frame would be dropped.
  struct Queued {
    VStreamDecoderThread* owner;
    std::string frame;
    size_t bytes;
    Queued(VStreamDecoderThread* o, const std::string& f) : owner(o), frame(f), bytes(f.size()) {
      owner->queued_frames_ += 1;
      owner->queued_bytes_ += bytes;
    }
    ~Queued() {
      owner->queued_frames_ -= 1;
      owner->queued_bytes_ -= bytes;
    }
  };
  auto queued = std::make_shared<Queued>(this, frame);
  PostTask([this, frame_index, queued = std::move(queued)]() mutable {
    // Being decoded is no longer being queued.
    std::string mine = std::move(queued->frame);
    queued.reset();
    DecodeTask(frame_index, mine);
  });
}

void VStreamDecoderThread::RequestIFrame() {
  last_request_clock_ = platform::ClockMs();
  int result = -1;
  sig_tcp_send_.emit(result, 0, nullptr, 0);
  LOGI << "send REQUEST_CODE_FOR_I_FRAME nRet=" << result;
}

void VStreamDecoderThread::DecodeTask(uint32_t frame_index, const std::string& frame) {
  int width = 0, height = 0, picture_type = 0;
  AVCodecID codec_id = AV_CODEC_ID_NONE;
  const auto* data = reinterpret_cast<const uint8_t*>(frame.data());
  const int length = static_cast<int>(frame.size());
  WriteCaptureFile(data, length, Wide("netframe_" + start_time_));

  uint32_t t0 = platform::ClockMs();
  bool ok =
      decoder_->Decode(data, frame.size(), &picture_, &width, &height, &codec_id, &picture_type);
  uint32_t now = platform::ClockMs();
  if (!ok) {
    if (now - last_request_clock_ > kRequestIntervalMs) {
      RequestIFrame();
      got_iframe_ = false;
    }
    return;
  }
  g_decode_sum_ms += now - t0;
  g_decode_count += 1;
  if (now - g_report_clock >= 3000) {
    LOGI << g_decode_sum_ms / g_decode_count << "(ms/df)";
    g_decode_sum_ms = 0;
    g_decode_count = 0;
    g_report_clock = now;
  }
  if (!got_iframe_ && picture_type == kPictureTypeI) {
    got_iframe_ = true;
    last_frame_idx_ = frame_index;
    LOGI << "recv i frame, frameidx=" << frame_index;
  }
  if (!got_iframe_) {
    if (now - last_request_clock_ > kRequestIntervalMs) RequestIFrame();
    return;
  }
  if (static_cast<int32_t>(frame_index - last_frame_idx_) >= 2 && picture_type == kPictureTypeP) {
    LOGI << "request i frame,drop frame,last frame=" << last_frame_idx_
         << " frameidx=" << frame_index;
    got_iframe_ = false;
    RequestIFrame();
    return;
  }
  last_frame_idx_ = frame_index;
  bool written = publisher_->WriteTo(frame_index, static_cast<uint32_t>(width),
                                     static_cast<uint32_t>(height), picture_);
  char name[160];
  std::snprintf(name, sizeof(name), "%s_%dx%d_%s", avcodec_get_name(codec_id), width, height,
                start_time_.c_str());
  WriteCaptureFile(data, length, Wide(name));
  if (!written)
    LOGE << "[SDK] "
         << "write to mem fail";
}
