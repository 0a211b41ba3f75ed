// The decoder thread's task: capture, describe, policy, decode, publication, figures.
#include "VStreamDecoderThread.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

#include "CaptureFile.h"
#include "file/path.h"
#include "log/log.h"
#include "log/rate_limit.h"
#include "platform/clock.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// More frames than any decoder holds back (16 reference frames, as fields): a frame still held
// beyond that gave no picture (parameter sets, a first field, a picture the decoder would not
// show) and never will.
constexpr size_t kMaxHeldFrames = 34;
// Real parameter sets and SEI are a few kilobytes; frames without a slice beyond that are junk.
constexpr size_t kMaxCarriedBytes = 64 << 10;
// The publisher's stop, within the decoder thread's own limit: it ends after at most the one
// picture it is converting.
constexpr int64_t kPublisherStopMs = 500;

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

void VStreamDecoderThread::Init() {
  NKMsgFrameThread::Init();
  // A publisher whose own stop ran out may still be finishing its picture.
  if (!publisher_thread_.WaitForEnd(2000) || !publisher_thread_.Start())
    LOGE << "the publisher thread could not start";
}

void VStreamDecoderThread::Cleanup() {
  publisher_thread_.Stop(kPublisherStopMs);
  NKMsgFrameThread::Cleanup();
}

bool VStreamDecoderThread::StartDecoding() {
  // A thread whose timed stop ran out may still be inside a task: give it time to end, and
  // never touch the task's state while it can run.
  if (!WaitForEnd(2000)) {
    LOGE << "decoder could not start: the previous decoder thread has not ended";
    return false;
  }
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
      Drop();
      policy_.Reset();
    });
  }
  if (started && !receiver_) ConnectTo(MetaUdpServer::GetInstance());
  return started;
}

void VStreamDecoderThread::ConnectTo(std::shared_ptr<MetaUdpServer> receiver) {
  receiver_ = std::move(receiver);
  receiver_->sig_vframe_.connect(this, &VStreamDecoderThread::OnPushVFrame);
}

void VStreamDecoderThread::StopDecoding() {
  Stop(1000);
  // Once this returns the slot is not running and will not run again.
  if (receiver_) receiver_->sig_vframe_.disconnect(this);
  receiver_.reset();
}

void VStreamDecoderThread::OnPushVFrame(uint32_t frame_index, const std::string& frame) {
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
  // Called by the receiver this slot is connected to, inside its emission.
  auto times = receiver_ ? receiver_->EmittingFrameTimes(frame_index) : std::nullopt;
  if (times) {
    clock.first_datagram = times->first_datagram_us;
    clock.complete = times->complete_us;
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
  int result = -1;
  if (requester_ != nullptr) {
    result = requester_->RequestKeyFrame();
  } else {
    sig_tcp_send_.emit(result, 0, nullptr, 0);
  }
  LOGI_LIMITED << "send REQUEST_CODE_FOR_I_FRAME nRet=" << result;
}

void VStreamDecoderThread::Drop() {
  held_.clear();
  carried_.clear();
}

void VStreamDecoderThread::DecodeTask(uint32_t frame_index, std::string frame, FrameClock clock) {
  clock.task_start = platform::NowMicros();
  if (Decode(frame_index, std::move(frame), clock)) RequestIFrame();
  const uint32_t now = platform::ClockMs();
  if (!report_.Due(now)) return;
  LOGI << report_.TakeDecodeLine();
  const std::string stages = publisher_thread_.TakeStageLine();
  if (!stages.empty()) LOGI << stages;
  LOGI << PolicyLine(policy_.TakeStats());
}

bool VStreamDecoderThread::Decode(uint32_t frame_index, std::string frame, FrameClock clock) {
  WriteCaptureFile(reinterpret_cast<const uint8_t*>(frame.data()), static_cast<int>(frame.size()),
                   Wide("netframe_" + start_time_));
  if (!carried_.empty()) frame.insert(0, carried_);
  const auto* data = reinterpret_cast<const uint8_t*>(frame.data());
  const FrameFacts facts = decoder_->Describe({data, frame.size()});
  const int64_t seq = next_seq_;
  const KeyFramePolicy::FrameVerdict verdict =
      policy_.OnFrame(seq, frame_index, facts, platform::ClockMs());
  if (verdict.arrival == KeyFramePolicy::Arrival::kNoSlice) {
    // Only what the next picture needs: a frame of another codec's slices is not carried.
    if ((facts.parameter_sets || facts.sei) && frame.size() <= kMaxCarriedBytes)
      carried_ = std::move(frame);
    return verdict.ask;
  }
  if (!verdict.decode) return verdict.ask;
  carried_.clear();
  ++next_seq_;

  // The request goes out once the frame is decoded: the decoder's verdict may add to it.
  bool ask = verdict.ask;
  FrameInfo info;
  uint32_t t0 = platform::ClockMs();
  clock.sent = platform::NowMicros();
  const bool sent = decoder_->Send(data, frame.size(), seq, &info);
  const uint32_t now = platform::ClockMs();
  if (!sent) {
    // The decoder closed with whatever it held, and what follows may reference this frame.
    Drop();
    return policy_.OnRejected(now) || ask;
  }
  report_.AddDecode(now - t0);
  held_.push_back(HeldFrame{seq, frame_index, std::move(frame), clock});
  if (info.damaged) ask = policy_.OnDamaged(seq, now) || ask;
  ask = DrainPictures() || ask;
  while (held_.size() > kMaxHeldFrames) {
    ask = policy_.OnNoPicture(held_.front().seq, now) || ask;
    held_.pop_front();
  }
  return ask;
}

bool VStreamDecoderThread::DrainPictures() {
  bool ask = false;
  DecodedPicture picture;
  for (;;) {
    ReceiveStatus status = decoder_->Receive(&picture);
    if (status == ReceiveStatus::kNone) return ask;
    const int64_t decoded_us = platform::NowMicros();
    if (status == ReceiveStatus::kFailed) {
      Drop();
      return policy_.OnRejected(platform::ClockMs()) || ask;
    }
    const KeyFramePolicy::PictureVerdict verdict =
        policy_.OnPicture(picture.tag, picture.corrupt, platform::ClockMs());
    ask = verdict.ask || ask;
    auto it = std::find_if(held_.begin(), held_.end(),
                           [&](const HeldFrame& f) { return f.seq == picture.tag; });
    if (it == held_.end()) continue;  // its frame is gone: from before a flush or a failure
    HeldFrame frame = std::move(*it);
    held_.erase(it);
    if (verdict.publish) Publish(frame, picture, decoded_us);
  }
}

void VStreamDecoderThread::Publish(const HeldFrame& frame, const DecodedPicture& picture,
                                   int64_t decoded_us) {
  char name[160];
  std::snprintf(name, sizeof(name), "%s_%dx%d_%s", avcodec_get_name(picture.codec_id),
                picture.width, picture.height, start_time_.c_str());
  WriteCaptureFile(reinterpret_cast<const uint8_t*>(frame.bytes.data()),
                   static_cast<int>(frame.bytes.size()), Wide(name));
  // With a frame waiting, converted and published on the publisher thread while this one
  // decodes it.
  PicturePublisher::Job job{frame.frame_index,
                            static_cast<uint32_t>(picture.width),
                            static_cast<uint32_t>(picture.height),
                            decoder_->TakePicture(),
                            frame.clock,
                            decoded_us};
  const auto next = queued_frames_.load() > 0 ? PicturePublisher::Next::kFrameWaiting
                                              : PicturePublisher::Next::kIdle;
  publisher_thread_.HandOff(std::move(job), next);
}
