// The process's H.264/H.265 decoder: frames in, tagged pictures out in display order, each
// converted to NV12 (1-byte alignment) on demand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "damage_watch.h"
#include "ffmpeg_ptr.h"
#include "frame_facts.h"
#include "nal_units.h"

// What the decoder learnt of a frame it accepted.
struct FrameInfo {
  bool has_slice = false;  // carries a picture, or part of one
  bool key = false;        // a picture decoding can start from
  // A slice of it failed to decode: its picture, and what references it, are not whole.
  bool damaged = false;
};

// One picture the decoder returned.
struct DecodedPicture {
  int64_t tag = 0;  // the tag of the frame that carried it
  int width = 0;
  int height = 0;
  int picture_type = 0;  // FFmpeg's: 1 I, 2 P, 3 B
  bool corrupt = false;  // FFmpeg concealed an error in it
  AVCodecID codec_id = AV_CODEC_ID_NONE;
};

enum class ReceiveStatus { kPicture, kNone, kFailed };

// A picture taken out of the decoder: it stays whole while the decoder goes on, and converts on
// whichever thread publishes it.
class DecodedFrame {
 public:
  virtual ~DecodedFrame() = default;
  // As NV12 (1-byte alignment) into `dst`, which holds Nv12ByteCount(width, height) bytes.
  // False on failure (logged).
  virtual bool ConvertInto(uint8_t* dst) = 0;
};

// What the decoder thread decodes with: the process's decoder unless a test gives another.
class FrameDecoder {
 public:
  virtual ~FrameDecoder() = default;
  // What the policy needs of a frame, before it is sent: read with the codec its own parameter
  // sets name, or else the one being decoded.
  virtual FrameFacts Describe(std::span<const uint8_t> frame) = 0;
  // False when the frame was rejected (logged; the decoder is closed).
  virtual bool Send(const uint8_t* data, size_t size, int64_t tag, FrameInfo* info) = 0;
  // The next picture the decoder has ready, in display order; on kFailed it is closed.
  virtual ReceiveStatus Receive(DecodedPicture* picture) = 0;
  // The picture Receive gave last, taken out; null when there is none.
  virtual std::unique_ptr<DecodedFrame> TakePicture() = 0;
  // Drops the pictures the decoder holds; it stays open.
  virtual void Flush() = 0;
};

// Decoder thread only. A failure closes the decoder; the next frame opens one from its own
// parameter sets, from what the probe names, or else from the parameter sets remembered.
class VideoDecoder : public FrameDecoder {
 public:
  VideoDecoder();
  ~VideoDecoder() override;

  FrameFacts Describe(std::span<const uint8_t> frame) override;
  bool Send(const uint8_t* data, size_t size, int64_t tag, FrameInfo* info) override;
  ReceiveStatus Receive(DecodedPicture* picture) override;
  std::unique_ptr<DecodedFrame> TakePicture() override;
  // The picture Receive gave last (unless taken) converted here, as DecodedFrame::ConvertInto.
  bool ConvertInto(uint8_t* dst);
  // The same into *out, sized to fit.
  bool ConvertTo(std::vector<uint8_t>* out);
  void Flush() override;
  // Closes the decoder as a failure does: the parameter sets it learnt stay.
  void Close();
  // Closes the decoder and forgets the parameter sets.
  void Reset();

  // Threads of the decoders opened from now on: 1 is one thread, more are slice threads (at
  // most kMaxSliceThreads); 0 takes the process's setting (SliceThreadsFromSettings).
  void set_threads(int threads) { threads_ = threads; }

  bool open() const { return ctx_ != nullptr; }
  AVCodecID codec_id() const { return codec_id_; }
  // Threads the open decoder decodes with (0 while closed).
  int threads() const { return threads_open_; }

 private:
  bool Open(const uint8_t* data, size_t size);
  static void Describe(const AVFrame& f, AVCodecID codec, DecodedPicture* picture);

  // Real parameter sets are a few hundred bytes; more is not worth remembering.
  static constexpr size_t kMaxParameterSetBytes = 4096;

  int threads_ = 0;
  int threads_open_ = 0;
  int threads_open_logged_ = 0;
  AVCodecID codec_logged_ = AV_CODEC_ID_NONE;
  DamageWatch watch_;  // before the contexts: they call into it until freed
  CodecContextPtr ctx_;
  // The decoder of the codec the stream switched from, letting out the pictures it held.
  CodecContextPtr draining_;
  AVCodecID draining_codec_ = AV_CODEC_ID_NONE;
  AVCodecID codec_id_ = AV_CODEC_ID_NONE;
  PacketPtr packet_{av_packet_alloc()};
  FramePtr frame_{av_frame_alloc()};
  // Shared with the pictures taken out: one conversion context, kept between pictures.
  std::shared_ptr<class Nv12Converter> converter_;
  // Parameter sets as sent, by (codec, NAL type, id), each with its start code.
  std::map<std::tuple<AVCodecID, int, uint32_t>, std::vector<uint8_t>> parameter_sets_;
  AVCodecID remembered_codec_ = AV_CODEC_ID_NONE;
  // Put the remembered parameter sets in front of the next picture's packet.
  bool resend_parameter_sets_ = false;
  StreamSyntax syntax_;
  AVCodecID described_codec_ = AV_CODEC_ID_NONE;
};

inline constexpr int kMaxSliceThreads = 16;

// Slice threads for a decoder: the cores the process may use, at most kMaxSliceThreads; 1 (one
// thread) when PELLION_SLICE_THREADS=0 is set, or when P/NORVencrypt.ini has SLICETHREADS=0 in
// [NORV] and the variable is not set. Read once per process.
int SliceThreadsFromSettings();
// The same from the variable's value (null when unset), the ini file and the core count.
int SliceThreadsFrom(const char* env, const std::string& ini, int cores);

// The one decoder of the process (the decoder thread's).
VideoDecoder& ProcessVideoDecoder();

// Sends one frame to the process's decoder and takes the picture it returns at once, if any.
// For streams without reordering; false when there is no picture.
bool decode_video_frame(const uint8_t* data, size_t size, std::vector<uint8_t>* picture, int* width,
                        int* height, AVCodecID* codec_id, int* picture_type);

// Closes the process's decoder and forgets its parameter sets.
void reset_video_decoder();
