// The decoder thread's task: capture, decode, key-frame policy, publication, statistics.
#include "VStreamDecoderThread.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

#include "CaptureFile.h"
#include "MetaUdpServer.h"
#include "file/path.h"
#include "log/log.h"
#include "log/rate_limit.h"
#include "platform/clock.h"
#include "video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

constexpr uint32_t kRequestIntervalMs = 300;
// More frames than any decoder holds back (16 reference frames, as fields): a frame still held
// beyond that gave no picture (parameter sets, a first field) and never will.
constexpr size_t kMaxHeldFrames = 34;

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
      decoder_(decoder != nullptr ? decoder : &ProcessVideoDecoder()),
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
  // The first task of the run, on the thread that owns the decoder: pictures the decoder still
  // holds from the last run must not come out under this run's indices.
  if (started) {
    PostTask([this] {
      decoder_->Flush();
      held_.clear();
      StopStreaming();
    });
  }
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
    LOGE_LIMITED << "decoder queue full, frames dropped so far: " << dropped;
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
  FrameClock clock;
  MetaUdpServer::FrameTimes times;
  if (MetaUdpServer::EmittingFrameTimes(&times) && times.frame_index == frame_index) {
    clock.first_datagram = times.first_datagram_us;
    clock.complete = times.complete_us;
  } else {
    // Not handed over by a receiver: complete as it comes.
    clock.first_datagram = clock.complete = platform::NowMicros();
  }
  auto queued = std::make_shared<Queued>(this, frame);
  PostTask([this, frame_index, clock, queued = std::move(queued)]() mutable {
    // Being decoded is no longer being queued.
    std::string mine = std::move(queued->frame);
    queued.reset();
    DecodeTask(frame_index, std::move(mine), clock);
  });
}

void VStreamDecoderThread::RequestIFrame() {
  last_request_clock_ = platform::ClockMs();
  int result = -1;
  sig_tcp_send_.emit(result, 0, nullptr, 0);
  LOGI_LIMITED << "send REQUEST_CODE_FOR_I_FRAME nRet=" << result;
}

void VStreamDecoderThread::RequestIFrameAtMostEvery300ms() {
  if (platform::ClockMs() - last_request_clock_ > kRequestIntervalMs) RequestIFrame();
}

void VStreamDecoderThread::StopStreaming() {
  got_iframe_ = false;
  awaiting_key_picture_ = false;
  for (HeldFrame& f : held_) f.publishable = false;
}

void VStreamDecoderThread::DecodeTask(uint32_t frame_index, std::string frame, FrameClock clock) {
  clock.task_start = platform::NowMicros();
  const auto* data = reinterpret_cast<const uint8_t*>(frame.data());
  WriteCaptureFile(data, static_cast<int>(frame.size()), Wide("netframe_" + start_time_));

  const int64_t seq = next_seq_++;
  FrameInfo info;
  uint32_t t0 = platform::ClockMs();
  clock.sent = platform::NowMicros();
  bool sent = decoder_->Send(data, frame.size(), seq, &info);
  uint32_t now = platform::ClockMs();
  if (!sent) {
    // The decoder closed with whatever it held, and what follows may reference this frame.
    held_.clear();
    StopStreaming();
    RequestIFrameAtMostEvery300ms();
    return;
  }
  g_decode_sum_ms += now - t0;
  g_decode_count += 1;
  if (now - g_report_clock >= 3000) {
    LOGI << g_decode_sum_ms / g_decode_count << "(ms/df)";
    if (stages_.count() > 0) LOGI << stages_.TakeLine();
    g_decode_sum_ms = 0;
    g_decode_count = 0;
    g_report_clock = now;
  }
  if (info.has_slice) {
    bool publishable = OnArrival(seq, frame_index, info);
    held_.push_back(HeldFrame{seq, frame_index, publishable, std::move(frame), clock});
  }
  DrainPictures();
  while (held_.size() > kMaxHeldFrames) {
    if (awaiting_key_picture_ && held_.front().seq == key_seq_) {
      LOGW_LIMITED << "no picture of key frame " << held_.front().frame_index;
      StopStreaming();
      RequestIFrameAtMostEvery300ms();
    }
    held_.pop_front();
  }
}

// Gaps are judged on arrival: frames arrive in decoding order, pictures leave in display order.
bool VStreamDecoderThread::OnArrival(int64_t seq, uint32_t frame_index, const FrameInfo& info) {
  if (got_iframe_ && static_cast<int32_t>(frame_index - last_frame_idx_) >= 2 && !info.key) {
    LOGI_LIMITED << "request i frame,drop frame,last frame=" << last_frame_idx_
                 << " frameidx=" << frame_index;
    StopStreaming();
    RequestIFrame();
    return false;
  }
  if (!got_iframe_ && info.key) {
    got_iframe_ = true;
    awaiting_key_picture_ = true;
    key_seq_ = seq;
    last_frame_idx_ = frame_index;
    LOGI << "recv i frame, frameidx=" << frame_index;
    return true;
  }
  if (!got_iframe_) {
    RequestIFrameAtMostEvery300ms();
    return false;
  }
  last_frame_idx_ = frame_index;
  return true;
}

void VStreamDecoderThread::DrainPictures() {
  DecodedPicture picture;
  for (;;) {
    ReceiveStatus status = decoder_->Receive(&picture);
    if (status == ReceiveStatus::kNone) return;
    const int64_t received_us = platform::NowMicros();
    if (status == ReceiveStatus::kFailed) {
      held_.clear();
      StopStreaming();
      RequestIFrameAtMostEvery300ms();
      return;
    }
    auto it = std::find_if(held_.begin(), held_.end(),
                           [&](const HeldFrame& f) { return f.seq == picture.tag; });
    if (it == held_.end()) continue;  // its frame is gone: from before a flush or a failure
    HeldFrame frame = std::move(*it);
    held_.erase(it);
    if (picture.corrupt) {
      // What follows may reference this picture: as if its frame had failed to decode.
      LOGW_LIMITED << "corrupt picture, frameidx=" << frame.frame_index;
      StopStreaming();
      RequestIFrameAtMostEvery300ms();
      continue;
    }
    if (awaiting_key_picture_) {
      if (frame.seq != key_seq_) continue;
      awaiting_key_picture_ = false;
    }
    if (frame.publishable) Publish(frame, picture, received_us);
  }
}

void VStreamDecoderThread::Publish(const HeldFrame& frame, const DecodedPicture& picture,
                                   int64_t received_us) {
  const bool converted = decoder_->ConvertTo(&picture_);
  const int64_t converted_us = platform::NowMicros();
  const bool written =
      converted && publisher_->WriteTo(frame.frame_index, static_cast<uint32_t>(picture.width),
                                       static_cast<uint32_t>(picture.height), picture_);
  if (written) {
    const FrameClock& c = frame.clock;
    const int64_t published_us = platform::NowMicros();
    stages_.Add({c.complete - c.first_datagram, c.task_start - c.complete, received_us - c.sent,
                 converted_us - received_us, published_us - converted_us,
                 published_us - c.first_datagram});
  }
  char name[160];
  std::snprintf(name, sizeof(name), "%s_%dx%d_%s", avcodec_get_name(picture.codec_id),
                picture.width, picture.height, start_time_.c_str());
  WriteCaptureFile(reinterpret_cast<const uint8_t*>(frame.bytes.data()),
                   static_cast<int>(frame.bytes.size()), Wide(name));
  if (!written)
    LOGE << "[SDK] "
         << "write to mem fail";
}
