#include "sender.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "basics.h"
#include "clip.h"
#include "encoder.h"

namespace pellion_send {

StopSignals::StopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set_, nullptr);
}

bool StopSignals::WaitUntil(int64_t deadline_ns) {
  for (;;) {
    int64_t left = std::max<int64_t>(0, deadline_ns - NowNs());
    timespec ts{static_cast<time_t>(left / kSecondNs), static_cast<long>(left % kSecondNs)};
    int sig = sigtimedwait(&set_, nullptr, &ts);
    if (sig > 0) signal_ = sig;
    if (signal_ != 0) return true;
    if (left == 0 || NowNs() >= deadline_ns) return false;
  }
}

namespace {

std::string DescribeParameterSets(ParameterSets p) {
  if (p == ParameterSets::kInline) return "";
  return p == ParameterSets::kSeparate ? ", parameter sets separate" : ", parameter sets once";
}

std::unique_ptr<RequestListener> MaybeListen(const Options& o) {
  if (o.request_port == 0) return nullptr;
  return std::make_unique<RequestListener>(o.request_bind, o.request_port);
}

}  // namespace

Sender::Sender(const Options& o, StopSignals& stop)
    : o_(o),
      stop_(stop),
      opened_(o.encode ? OpenEncoder(o) : OpenFile(o)),
      shaper_(opened_.codec, o.parameter_sets),
      reshuffle_(ResolveReshuffle()),
      socket_(o.host, o.port, o.source_port),
      junk_(o.junk > 0 ? std::make_unique<JunkSender>(o.host, o.port, o.junk) : nullptr),
      trace_(o.trace),
      listener_(MaybeListen(o)),
      imp_(
          o.impair, [this](const std::vector<uint8_t>& d) { CountDatagram(d); },
          [this](uint64_t serial) { trace_.Done(serial); }),
      period_ns_(kSecondNs / opened_.fps),
      idx_(static_cast<uint32_t>(o.first_index)) {
  opened_.what += DescribeParameterSets(o.parameter_sets);
}

Reshuffle Sender::ResolveReshuffle() const {
  Reshuffle r = o_.reshuffle;
  if (r.drop_before_key == 0) return r;
  if (!opened_.second_key)
    throw UsageError("--drop-before-key: " + o_.file + " has no second key frame");
  const uint64_t key = *opened_.second_key;
  for (uint64_t p = key - std::min(key, r.drop_before_key); p < key; ++p) r.drop.insert(p);
  return r;
}

void Sender::CountDatagram(const std::vector<uint8_t>& d) {
  if (!socket_.Send(d)) {
    ++count_.refused;
    return;
  }
  ++count_.datagrams;
  count_.bytes += d.size();
  if (junk_) junk_->AfterDatagram();
}

int Sender::Run() {
  std::fprintf(stderr, "pellion-send: %s, to %s\n", opened_.what.c_str(), socket_.where().c_str());
  if (listener_)
    std::fprintf(stderr, "pellion-send: key-frame requests on TCP %s\n",
                 listener_->where().c_str());
  const int64_t start = NowNs();
  base_ = last_report_ = start;
  next_report_ = start + kSecondNs;
  Frame frame;
  uint64_t units = 0;  // taken from the source; what --frames counts
  while (opened_.frames == 0 || units < opened_.frames) {
    if (!WaitForSlot()) break;
    // Requests are taken only now, after the wait, so the frame about to go answers them.
    if (TakeRequests()) opened_.source->RequestKeyFrame();
    if (!opened_.source->Next(&frame)) break;
    ++units;
    // Parameter sets split off go out at once, ahead of their unit's paced slot.
    const bool waited = position_ >= reshuffle_.skip;
    for (const Piece& piece : shaper_.Shape(frame.data, frame.key)) Place(piece, frame.au_number);
    if (waited) ++since_base_;
    Report();
  }
  // The source ended before their turn came.
  SendKept(swapped_);
  SendKept(again_);
  imp_.Flush();
  TakeRequests();  // late ones are still on record
  trace_.Close();
  PrintSummary(static_cast<double>(NowNs() - start) / kSecondNs);
  return 0;
}

// False once a stop signal has come.
bool Sender::WaitForSlot() {
  // Frames skipped at the start take no time: the receiver joins a stream already running.
  if (position_ < reshuffle_.skip || o_.fast) return !stop_.WaitUntil(0);
  int64_t deadline = base_ + std::llround(static_cast<double>(since_base_) * period_ns_);
  if (NowNs() - deadline > kSecondNs) {
    // Stalled (stopped, swapped out): restart the schedule rather than burst to catch up.
    std::fprintf(stderr, "pellion-send: over a second behind; restarting the schedule\n");
    base_ = deadline = NowNs();
    since_base_ = 0;
  }
  bool stopped = false;
  while (!(stopped = stop_.WaitUntil(std::min(deadline, next_report_))) && NowNs() < deadline)
    Report();
  return !stopped;
}

void Sender::Report() {
  int64_t now = NowNs();
  if (now < next_report_) return;
  double secs = static_cast<double>(now - last_report_) / kSecondNs;
  PrintCounts("", static_cast<double>(count_.bytes - bytes_at_report_) / secs);
  std::fprintf(stderr, "\n");
  bytes_at_report_ = count_.bytes;
  last_report_ = now;
  next_report_ = std::max(next_report_ + kSecondNs, now);
  trace_.Flush();
}

bool Sender::TakeRequests() {
  if (!listener_) return false;
  std::vector<int64_t> asked = listener_->Take();
  for (int64_t us : asked) trace_.Request(us);
  return !asked.empty();
}

void Sender::Place(const Piece& piece, uint64_t au) {
  const uint64_t at = position_++;
  if (at < reshuffle_.skip || reshuffle_.drop.count(at) == 1) {
    ++left_out_;
  } else if (reshuffle_.swap == at) {
    swapped_ = Kept{{piece.data.begin(), piece.data.end()}, piece.key, idx_, au, at + 1};
  } else {
    SendFrame(piece.data, piece.key, idx_, au);
    if (reshuffle_.resend && reshuffle_.resend->first == at)
      again_ = Kept{{piece.data.begin(), piece.data.end()},
                    piece.key,
                    idx_,
                    au,
                    at + reshuffle_.resend->second};
  }
  if (swapped_ && swapped_->after == at) SendKept(swapped_);
  if (again_ && again_->after == at) SendKept(again_);
  idx_ = NextFrameIndex(idx_);
}

void Sender::SendFrame(std::span<const uint8_t> data, bool key, uint32_t index, uint64_t au) {
  size_t datagrams = PacketCount(data.size(), o_.payload);
  if (datagrams > kMaxPacketsPerFrame)
    throw RuntimeError("a frame of " + std::to_string(data.size()) + " bytes needs more than " +
                       std::to_string(kMaxPacketsPerFrame) + " packets; use a larger --payload");
  uint64_t serial = trace_.Begin(index, au, key, datagrams);
  Packetize(data, index, o_.payload, [&](std::vector<uint8_t> d) {
    imp_.Push({std::move(d), serial});
  });
  ++count_.frames;
}

void Sender::SendKept(std::optional<Kept>& k) {
  if (!k) return;
  SendFrame(k->bytes, k->key, k->idx, k->au);
  ++extra_;
  k.reset();
}

void Sender::PrintCounts(const char* prefix, double rate) const {
  std::fprintf(stderr,
               "pellion-send: %s%" PRIu64 " frames, %" PRIu64
               " datagrams, %.0f bytes/s, dropped %" PRIu64 ", duplicated %" PRIu64
               ", reordered %" PRIu64,
               prefix, count_.frames, count_.datagrams, rate, imp_.dropped(), imp_.duplicated(),
               imp_.reordered());
  if (count_.refused > 0) std::fprintf(stderr, ", refused by the network %" PRIu64, count_.refused);
}

void Sender::PrintSummary(double secs) const {
  PrintCounts("done: ", secs > 0 ? static_cast<double>(count_.bytes) / secs : 0);
  if (listener_) {
    std::fprintf(stderr, ", key-frame requests %" PRIu64, listener_->requests());
    if (listener_->unknown() > 0)
      std::fprintf(stderr, ", unknown messages %" PRIu64, listener_->unknown());
  }
  if (junk_) std::fprintf(stderr, ", junk datagrams %" PRIu64, junk_->sent());
  if (reshuffle_.any())
    std::fprintf(stderr, ", frames left out %" PRIu64 ", sent out of turn or again %" PRIu64,
                 left_out_, extra_);
  std::fprintf(stderr, "; %" PRIu64 " bytes in %.3f s%s\n", count_.bytes, secs,
               stop_.signal() != 0 ? "; stopped by a signal" : "");
}

}  // namespace pellion_send
