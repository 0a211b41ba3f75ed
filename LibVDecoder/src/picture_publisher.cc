#include "picture_publisher.h"

#include "log/log.h"
#include "platform/clock.h"

PicturePublisher::PicturePublisher(FramePublisher* out)
    : NKMsgFrameThread("VFramePublisher"), out_(out) {}

// Before the members go: a task may still be running on them.
PicturePublisher::~PicturePublisher() { FrameworkThread::Stop(); }

bool PicturePublisher::HandOff(Job job) {
  {
    std::unique_lock<std::mutex> lock(slot_mu_);
    slot_cv_.wait(lock, [this] { return slot_ == Slot::kEmpty; });
    slot_ = Slot::kFull;
  }
  // The slot empties when the job starts, or when it is dropped unrun: a stopping loop
  // discards its tasks, and a post to no loop drops its task at once.
  struct InSlot {
    InSlot(PicturePublisher* o, Job j) : owner(o), job(std::move(j)) {}
    PicturePublisher* owner;
    Job job;
    bool taken = false;
    ~InSlot() {
      if (!taken) owner->Empty();
    }
  };
  auto held = std::make_shared<InSlot>(this, std::move(job));
  return PostTask([this, held] {
    held->taken = true;
    Empty();
    Publish(held->job);
  });
}

void PicturePublisher::Empty() {
  {
    std::lock_guard<std::mutex> lock(slot_mu_);
    slot_ = Slot::kEmpty;
  }
  slot_cv_.notify_one();
}

void PicturePublisher::Publish(const Job& job) {
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
    return;
  }
  const FrameClock& c = job.clock;
  const int64_t published_us = platform::NowMicros();
  std::lock_guard<std::mutex> lock(stages_mu_);
  stages_.Add({c.complete - c.first_datagram, c.task_start - c.complete, job.decoded_us - c.sent,
               taken_us - job.decoded_us, converted_us - taken_us, published_us - converted_us,
               published_us - c.first_datagram});
}

std::string PicturePublisher::TakeStageLine() {
  std::lock_guard<std::mutex> lock(stages_mu_);
  return stages_.count() > 0 ? stages_.TakeLine() : std::string();
}
