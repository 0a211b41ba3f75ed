// The publisher thread: converts and publishes each picture while the decoder thread decodes the
// next frame.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "NKMsgFrameThread.h"
#include "ShareMemVFrame.h"
#include "decode_report.h"
#include "stage_latency.h"
#include "video_decoder.h"

// One slot lies between the decoder thread and this one: a hand-off waits while the picture
// handed before is still there, so no picture is dropped and they go out in the order handed.
// A picture with no frame waiting behind it has nothing to overlap with: it is published on the
// decoder thread at once, unless this thread still has one in hand.
class PicturePublisher : public NKMsgFrameThread {
 public:
  // A decoded picture on its way to the section.
  struct Job {
    uint32_t frame_index = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    std::unique_ptr<DecodedFrame> picture;
    FrameClock clock;        // of the frame that carried it
    int64_t decoded_us = 0;  // when it came out of the decoder
  };
  // Whether the decoder thread has a frame to decode next.
  enum class Next { kIdle, kFrameWaiting };

  explicit PicturePublisher(FramePublisher* out);
  ~PicturePublisher() override;

  // Decoder thread. Publishes the job here (kIdle, nothing in hand), or waits while the slot is
  // full and leaves the job there. False (logged) when it failed here, or when this thread does
  // not run and the picture is not published.
  bool HandOff(Job job, Next next);
  // Any thread. The stage line of the pictures published since the last one; "" for none.
  std::string TakeStageLine();

 private:
  // Pictures handed over and not yet published: one in hand, and one more in the slot.
  static constexpr int kMaxInHand = 2;

  bool Publish(const Job& job);
  void Done();

  FramePublisher* out_;
  std::mutex mu_;
  std::condition_variable done_cv_;
  int in_hand_ = 0;  // guarded by mu_
  std::mutex stages_mu_;
  StageLatency stages_;  // guarded by stages_mu_
};
