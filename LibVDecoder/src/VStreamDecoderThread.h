// VStreamDecoderThread: takes complete frames from the receiver and, on its own thread, wires
// the parts of the road: the decoder, the key-frame policy, the publisher, the capture files,
// the figures, and the key-frame requester.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "MetaUdpServer.h"
#include "NKMsgFrameThread.h"
#include "ShareMemVFrame.h"
#include "decode_report.h"
#include "key_frame_policy.h"
#include "picture_publisher.h"
#include "sigslot/sigslot.h"
#include "video_decoder.h"

// Asks the sender for a key frame; the sender's answer code, or -1 when nobody took the request.
class KeyFrameRequester {
 public:
  virtual ~KeyFrameRequester() = default;
  virtual int RequestKeyFrame() = 0;
};

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
  // Connects the frame slot to `receiver` (StartDecoding connects the process's receiver).
  void ConnectTo(std::shared_ptr<MetaUdpServer> receiver);

  // The receiver's frame slot, on its delivery thread: copies the frame and posts it.
  void OnPushVFrame(uint32_t frame_index, const std::string& frame);

  // Key-frame requests, unless a requester is set: (result preset to -1, code, body, length).
  RequestSignal sig_tcp_send_;
  // Before StartDecoding; null: requests go out through sig_tcp_send_.
  void set_requester(KeyFrameRequester* requester) { requester_ = requester; }

  uint64_t dropped_frames() const { return dropped_.load(); }
  // Tests: a task posted here runs after every picture handed over before it.
  FrameworkThread& publisher_thread_for_testing() { return publisher_thread_; }

 protected:
  // The publisher thread runs while this one does: it starts before the first task and stops
  // in this thread's clean-up, so a timed stop that runs out leaves both to end together.
  void Init() override;
  void Cleanup() override;

 private:
  // A frame the decoder accepted whose picture has not come out yet.
  struct HeldFrame {
    int64_t seq = 0;  // arrival order, the decoder's tag
    uint32_t frame_index = 0;
    std::string bytes;  // for the capture file written with its picture
    FrameClock clock;
  };

  // The task per frame: Decode, then the figures when they are due.
  void DecodeTask(uint32_t frame_index, std::string frame, FrameClock clock);
  // Both true when the sender is to be asked for a key frame.
  bool Decode(uint32_t frame_index, std::string frame, FrameClock clock);
  bool DrainPictures();
  void Publish(const HeldFrame& frame, const DecodedPicture& picture, int64_t decoded_us);
  void RequestIFrame();
  // Forgets what is held and carried: a new run, or a decoder that closed.
  void Drop();

  ShareMemVFrame share_mem_;
  std::shared_ptr<MetaUdpServer> receiver_;  // set while connected to its frame signal
  std::string start_time_;

  FrameDecoder* decoder_;
  FramePublisher* publisher_;
  PicturePublisher publisher_thread_{publisher_};
  KeyFrameRequester* requester_ = nullptr;
  Limits limits_;
  std::atomic<size_t> queued_frames_{0};
  std::atomic<size_t> queued_bytes_{0};
  std::atomic<uint64_t> dropped_{0};
  // Decoder thread only.
  KeyFramePolicy policy_;
  DecodeReport report_;
  std::deque<HeldFrame> held_;
  // Frames without a slice, put in front of the next one that has one: the decoder drops an
  // SEI that comes in a packet of its own.
  std::string carried_;
  int64_t next_seq_ = 0;
};
