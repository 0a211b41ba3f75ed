// VStreamDecoderThread: takes complete frames from the receiver, decodes them on its own
// thread under the key-frame policy, publishes accepted pictures, and asks the sender for a
// key frame when the picture stream is broken.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "MetaUdpServer.h"
#include "NKMsgFrameThread.h"
#include "ShareMemVFrame.h"
#include "sigslot/sigslot.h"
#include "stage_latency.h"
#include "video_decoder.h"

class VStreamDecoderThread : public NORV::sHelper::sigslot::has_slots<>, public NKMsgFrameThread {
 public:
  using RequestSignal = NORV::sHelper::sigslot::signal4<int&, uint32_t, const void*, uint32_t>;

  struct Limits {
    size_t max_queued_frames = 64;
    size_t max_queued_bytes = 256u << 20;
  };

  VStreamDecoderThread();
  // Tests: another decoder, publisher or queue bound (null: the real ones).
  VStreamDecoderThread(FrameDecoder* decoder, FramePublisher* publisher, Limits limits);
  ~VStreamDecoderThread() override;

  // Channel worker thread: starts the thread and connects to the receiver's frame signal. A
  // thread whose timed stop ran out gets up to 2000 ms to end; false (logged) if it does not.
  bool StartDecoding();
  // Channel worker thread: stops the thread (1000 ms limit) and disconnects.
  void StopDecoding();

  // The receiver's frame slot, on its delivery thread: copies the frame and posts it.
  void OnPushVFrame(uint32_t frame_index, const std::string& frame);

  // Key-frame requests: (result preset to -1, code, body, length).
  RequestSignal sig_tcp_send_;

  uint64_t dropped_frames() const { return dropped_.load(); }

 private:
  // When a frame reached each stage, in platform::NowMicros.
  struct FrameClock {
    int64_t first_datagram = 0;
    int64_t complete = 0;
    int64_t task_start = 0;
    int64_t sent = 0;
  };
  // A frame the decoder accepted whose picture has not come out yet.
  struct HeldFrame {
    int64_t seq = 0;  // arrival order, the decoder's tag
    uint32_t frame_index = 0;
    bool publishable = false;  // arrived while streaming, and nothing since has broken it
    std::string bytes;         // for the capture file written with its picture
    FrameClock clock;
  };

  void DecodeTask(uint32_t frame_index, std::string frame, FrameClock clock);
  // The key-frame policy for a frame on arrival; true when its picture may be published.
  bool OnArrival(int64_t seq, uint32_t frame_index, const FrameInfo& info);
  void DrainPictures();
  void Publish(const HeldFrame& frame, const DecodedPicture& picture, int64_t received_us);
  // Back to waiting: nothing held is published any more.
  void StopStreaming();
  void RequestIFrameAtMostEvery300ms();
  void RequestIFrame();

  ShareMemVFrame share_mem_;
  std::shared_ptr<MetaUdpServer> receiver_;  // set while connected to its frame signal
  std::string start_time_;
  bool got_iframe_ = false;
  uint32_t last_frame_idx_ = 0;
  uint32_t last_request_clock_ = 0;

  FrameDecoder* decoder_;
  FramePublisher* publisher_;
  Limits limits_;
  std::atomic<size_t> queued_frames_{0};
  std::atomic<size_t> queued_bytes_{0};
  std::atomic<uint64_t> dropped_{0};
  // Decoder thread only.
  std::vector<uint8_t> picture_;  // reused between pictures
  std::deque<HeldFrame> held_;
  int64_t next_seq_ = 0;
  StageLatency stages_;
  // After a wait, pictures come out again from the key frame's own on: the leading pictures
  // before it reference what came before the key frame.
  bool awaiting_key_picture_ = false;
  int64_t key_seq_ = 0;
};
