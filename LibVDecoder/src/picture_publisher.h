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

  explicit PicturePublisher(FramePublisher* out);
  ~PicturePublisher() override;

  // Decoder thread. Waits while the slot is full, then leaves the job there. False when this
  // thread does not run: the picture is not published.
  bool HandOff(Job job);
  // Any thread. The stage line of the pictures published since the last one; "" for none.
  std::string TakeStageLine();

 private:
  enum class Slot { kEmpty, kFull };

  void Publish(const Job& job);
  void Empty();

  FramePublisher* out_;
  std::mutex slot_mu_;
  std::condition_variable slot_cv_;
  Slot slot_ = Slot::kEmpty;  // guarded by slot_mu_
  std::mutex stages_mu_;
  StageLatency stages_;  // guarded by stages_mu_
};
