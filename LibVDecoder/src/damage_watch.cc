#include "damage_watch.h"

#include <algorithm>
#include <utility>

void DamageWatch::Prepare(AVCodecContext* ctx) {
  // The HEVC decoder drops the errors of its slices, those found outside execute included,
  // unless told to give them back; they fail the packet then, and the next key frame decodes.
  // Pictures whose stream carries their MD5 are checked against it: the decoder reads damaged
  // slices to their end without noticing more often than not.
  if (ctx->codec_id == AV_CODEC_ID_HEVC) ctx->err_recognition |= AV_EF_EXPLODE | AV_EF_CRCCHECK;
}

bool DamageWatch::Attach(AVCodecContext* ctx) {
  if (ctx->opaque != nullptr) return false;
  failed_ = false;
  height_ = 0;
  for (auto& word : lines_) word = 0;
  packet_end_ = picture_end_ = short_end_ = end_width_ = end_height_ = 0;
  ctx_ = ctx;
  ctx->opaque = this;
  execute_ = ctx->execute;
  execute2_ = ctx->execute2;
  ctx->execute = WatchedExecute;
  ctx->execute2 = WatchedExecute2;
  if (ctx->codec_id == AV_CODEC_ID_H264) {
    // Rows are drawn as their slices finish them, on the slice threads; fields too, so that a
    // packet of one field is judged as well.
    ctx->draw_horiz_band = Band;
    ctx->slice_flags |= SLICE_FLAG_ALLOW_FIELD;
  }
  return true;
}

int* DamageWatch::Results(int* given, int count) {
  if (given != nullptr) return given;
  if (results_.size() < static_cast<size_t>(count)) results_.resize(static_cast<size_t>(count));
  std::fill_n(results_.begin(), count, 0);
  return results_.data();
}

void DamageWatch::Check(const int* results, int count) {
  for (int i = 0; i < count; ++i) {
    if (results[i] < 0) failed_ = true;
    // HEVC slices return where they stopped; H.264 ones return 0.
    packet_end_ = std::max(packet_end_, results[i]);
  }
}

int DamageWatch::WatchedExecute(AVCodecContext* c, int (*func)(AVCodecContext*, void*), void* arg,
                                int* ret, int count, int size) {
  auto* self = static_cast<DamageWatch*>(c->opaque);
  int* results = self->Results(ret, count);
  int r = self->execute_(c, func, arg, results, count, size);
  self->Check(results, count);
  return r;
}

int DamageWatch::WatchedExecute2(AVCodecContext* c, int (*func)(AVCodecContext*, void*, int, int),
                                 void* arg, int* ret, int count) {
  auto* self = static_cast<DamageWatch*>(c->opaque);
  int* results = self->Results(ret, count);
  int r = self->execute2_(c, func, arg, results, count);
  self->Check(results, count);
  return r;
}

void DamageWatch::Band(AVCodecContext* c, const AVFrame*, int*, int y, int, int height) {
  auto* self = static_cast<DamageWatch*>(c->opaque);
  self->height_.store(c->height, std::memory_order_relaxed);
  const int end = std::min(y + height, kMaxLines);
  for (int line = std::max(y, 0); line < end; ++line)
    self->lines_[line / 64].fetch_or(uint64_t{1} << (line % 64), std::memory_order_relaxed);
}

bool DamageWatch::RowsMissing() {
  // The slice threads are done with the packet once avcodec_send_packet returns: what they
  // wrote is seen here.
  const int height = height_.exchange(0);
  if (height == 0) return false;
  bool missing = false;
  for (int line = 0; line < std::min(height, kMaxLines) && !missing; ++line)
    missing = (lines_[line / 64].load(std::memory_order_relaxed) >> (line % 64) & 1) == 0;
  for (auto& word : lines_) word.store(0, std::memory_order_relaxed);
  return missing;
}

bool DamageWatch::EndShort() {
  const int end = std::exchange(packet_end_, 0);
  if (end == 0 || ctx_ == nullptr) return false;
  if (ctx_->coded_width != end_width_ || ctx_->coded_height != end_height_) {
    end_width_ = ctx_->coded_width;
    end_height_ = ctx_->coded_height;
    picture_end_ = 0;
  }
  if (end >= picture_end_) {
    picture_end_ = end;
    short_end_ = 0;
    return false;
  }
  // Two pictures in a row ending at the same place are intact ones of a stream whose coding
  // tree blocks grew at the same size: its end is learnt again.
  if (end == short_end_) {
    picture_end_ = end;
    short_end_ = 0;
    return false;
  }
  short_end_ = end;
  return true;
}

bool DamageWatch::TakeDamage() {
  const bool failed = failed_.exchange(false);
  const bool rows_missing = RowsMissing();
  const bool end_short = EndShort();
  return failed || rows_missing || end_short;
}

namespace {

bool IsSlice(AVCodecID codec, uint8_t header) {
  if (codec == AV_CODEC_ID_H264) {
    const int type = header & 0x1f;
    return type == 1 || type == 5;
  }
  const int type = (header >> 1) & 0x3f;
  return type <= 9 || (type >= 16 && type <= 21);
}

}  // namespace

int CountSlices(AVCodecID codec, std::span<const uint8_t> frame) {
  int slices = 0;
  for (size_t i = 0; i + 3 < frame.size(); ++i) {
    if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1) {
      slices += IsSlice(codec, frame[i + 3]) ? 1 : 0;
      i += 2;
    }
  }
  return slices;
}

int DecoderThreads(AVCodecID codec, std::span<const uint8_t> frame, int threads) {
  if (codec == AV_CODEC_ID_H264 && CountSlices(codec, frame) == 1) return 1;
  return threads;
}
