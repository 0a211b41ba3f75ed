// What the decoder misses of a damaged picture when its slices decode on slice threads.
//
// FFmpeg's H.264 decoder conceals and flags damage only with one thread: with slice threads
// its error concealment is off, and the results of the slices it runs through execute are
// dropped. The HEVC decoder flags nothing, and without AV_EF_EXPLODE keeps its slice errors to
// itself. The watch gets them back: it runs execute/execute2 with a result array of its own,
// checks that the slices of a picture decoded all of it (a lost slice, or one that ended early,
// leaves rows no slice drew in H.264, and an HEVC picture whose slices stop short of its last
// coding tree block), and has HEVC pictures checked against the MD5 their stream may carry.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "ffmpeg_ptr.h"

class DamageWatch {
 public:
  DamageWatch() = default;
  DamageWatch(const DamageWatch&) = delete;
  DamageWatch& operator=(const DamageWatch&) = delete;

  // Before avcodec_open2: what the checks need of the context.
  static void Prepare(AVCodecContext* ctx);
  // After avcodec_open2: wraps the context's execute functions and reports decoded rows here.
  // The context must be freed before the watch; attaching another context forgets the last.
  // False, with nothing installed, when ctx->opaque is already taken.
  bool Attach(AVCodecContext* ctx);

  // True when the packet sent last was damaged: a slice failed, or part of its picture was
  // never decoded. Call once after each avcodec_send_packet; it starts the next packet.
  bool TakeDamage();

 private:
  using Execute = int (*)(AVCodecContext*, int (*)(AVCodecContext*, void*), void*, int*, int, int);
  using Execute2 = int (*)(AVCodecContext*, int (*)(AVCodecContext*, void*, int, int), void*, int*,
                           int);
  static int WatchedExecute(AVCodecContext* c, int (*func)(AVCodecContext*, void*), void* arg,
                            int* ret, int count, int size);
  static int WatchedExecute2(AVCodecContext* c, int (*func)(AVCodecContext*, void*, int, int),
                             void* arg, int* ret, int count);
  static void Band(AVCodecContext* c, const AVFrame* src, int offset[AV_NUM_DATA_POINTERS], int y,
                   int type, int height);
  int* Results(int* given, int count);
  void Check(const int* results, int count);
  bool RowsMissing();
  bool EndShort();

  // Lines of the tallest picture whose rows are checked; taller ones are not.
  static constexpr int kMaxLines = 16384;

  AVCodecContext* ctx_ = nullptr;
  Execute execute_ = nullptr;
  Execute2 execute2_ = nullptr;
  std::vector<int> results_;  // for callers that pass none; used by the decoding thread only
  std::atomic<bool> failed_{false};
  // Lines drawn since the last TakeDamage, written from FFmpeg's slice threads.
  std::array<std::atomic<uint64_t>, kMaxLines / 64> lines_{};
  std::atomic<int> height_{0};  // of the picture drawn; 0: nothing drawn
  // HEVC: where the packet's slices ended (the coding tree block after the last decoded), and
  // where an intact picture of this size ends, learnt from the pictures themselves.
  int packet_end_ = 0;
  int picture_end_ = 0;
  int short_end_ = 0;
  int end_width_ = 0, end_height_ = 0;
};

// Threads for a decoder opening on `frame` (its first frame) of `codec` when the setting is
// `threads`: one for H.264 pictures of one slice, which slice threads cannot share out anyway,
// and which one thread conceals and flags when damaged. A frame without slices tells nothing.
int DecoderThreads(AVCodecID codec, std::span<const uint8_t> frame, int threads);

// Slice NAL units in an Annex-B frame of `codec`.
int CountSlices(AVCodecID codec, std::span<const uint8_t> frame);
