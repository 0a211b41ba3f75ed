#include "picture_publisher.h"

#include "log/log.h"
#include "platform/clock.h"

PicturePublisher::PicturePublisher(FramePublisher* out)
    : NKMsgFrameThread("VFramePublisher"), out_(out) {}

// Before the members go: a task may still be running on them.
PicturePublisher::~PicturePublisher() { FrameworkThread::Stop(); }

bool PicturePublisher::HandOff(Job job, Next next) {
  {
    std::unique_lock<std::mutex> lock(mu_);
    // Only the decoder thread hands over: with nothing in hand, this thread stays idle.
    if (next == Next::kIdle && in_hand_ == 0) {
      lock.unlock();
      return Publish(job);
    }
    done_cv_.wait(lock, [this] { return in_hand_ < kMaxInHand; });
    ++in_hand_;
  }
  // Done once published, or when dropped unrun: a stopping loop discards its tasks, and a post
  // to no loop drops its task at once.
  struct InHand {
    InHand(PicturePublisher* o, Job j) : owner(o), job(std::move(j)) {}
    ~InHand() {
      if (!done) owner->Done();
    }
    PicturePublisher* owner;
    Job job;
    bool done = false;
  };
  auto held = std::make_shared<InHand>(this, std::move(job));
  if (PostTask([this, held] {
        Publish(held->job);
        held->done = true;
        Done();
      }))
    return true;
  LOGE << "[SDK] "
       << "write to mem fail";
  return false;
}

void PicturePublisher::Done() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    --in_hand_;
  }
  done_cv_.notify_one();
}

bool PicturePublisher::Publish(const Job& job) {
  const int64_t taken_us = platform::NowMicros();
  int64_t converted_us = 0;
  const bool written = out_->Publish(job.frame_index, job.width, job.height, [&](uint8_t* dst) {
    const bool converted = job.picture != nullptr && job.picture->ConvertInto(dst);
    converted_us = platform::NowMicros();
    return converted;
  });
  if (!written) {
    LOGE << "[SDK] "
         << "write to mem fail";
    return false;
  }
  const FrameClock& c = job.clock;
  const int64_t published_us = platform::NowMicros();
  std::lock_guard<std::mutex> lock(stages_mu_);
  stages_.Add({c.complete - c.first_datagram, c.task_start - c.complete, job.decoded_us - c.sent,
               taken_us - job.decoded_us, converted_us - taken_us, published_us - converted_us,
               published_us - c.first_datagram});
  return true;
}

std::string PicturePublisher::TakeStageLine() {
  std::lock_guard<std::mutex> lock(stages_mu_);
  return stages_.count() > 0 ? stages_.TakeLine() : std::string();
}
