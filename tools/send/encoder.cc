#include "encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

#include "basics.h"
#include "command_line.h"

namespace pellion_send {

using pellion_tools::Codec;

namespace {

std::string AvErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// The dictionary calls take it by address and may put another in its place.
void Set(DictionaryPtr* d, const char* key, const std::string& value) {
  AVDictionary* raw = d->release();
  const int rc = av_dict_set(&raw, key, value.c_str(), 0);
  d->reset(raw);
  if (rc < 0) throw RuntimeError("out of memory");
}

// No scene-cut key frames: they come every --gop pictures and on request, nowhere else.
void SetEncoderOptions(Codec c, const EncodeOptions& e, DictionaryPtr* opts) {
  Set(opts, "tune", "zerolatency");
  if (c == Codec::kH264) {
    Set(opts, "preset", "veryfast");
    // Four slices, whatever the cores of the sending machine: a receiver decodes them on as
    // many threads. The zerolatency tune encodes a slice per thread and ignores slices=.
    Set(opts, "x264-params", "bframes=0:scenecut=0:threads=4");
  } else {
    Set(opts, "preset", "ultrafast");
    // Closed GOPs: every key frame an IDR picture. libx265 logs to stderr by itself.
    Set(opts, "x265-params",
        "bframes=0:scenecut=0:open-gop=0:keyint=" + std::to_string(e.gop) +
            ":min-keyint=" + std::to_string(e.gop) + ":log-level=error");
  }
  // A forced key frame must be one a receiver can start from, not merely an I picture.
  Set(opts, "forced-idr", "1");
}

}  // namespace

EncoderSource::EncoderSource(Codec c, const EncodeOptions& e, double fps, uint64_t pictures)
    : name_(c == Codec::kH264 ? "libx264" : "libx265"), limit_(pictures) {
  Open(c, e, fps);
  frame_->width = e.width;
  frame_->height = e.height;
  frame_->format = AV_PIX_FMT_YUV420P;
  int rc = av_frame_get_buffer(frame_.get(), 0);
  if (rc < 0) throw RuntimeError("cannot allocate a picture: " + AvErrorText(rc));
}

void EncoderSource::Open(Codec c, const EncodeOptions& e, double fps) {
  const AVCodec* codec = avcodec_find_encoder_by_name(name_.c_str());
  if (codec == nullptr) throw RuntimeError("this FFmpeg has no " + name_ + " encoder for --encode");
  ctx_.reset(avcodec_alloc_context3(codec));
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!ctx_ || !frame_ || !packet_) throw RuntimeError("out of memory");
  AVRational rate = av_d2q(fps, 100000);
  ctx_->width = e.width;
  ctx_->height = e.height;
  ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx_->framerate = rate;
  ctx_->time_base = av_inv_q(rate);
  ctx_->gop_size = e.gop;
  ctx_->max_b_frames = 0;
  ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
  DictionaryPtr opts;
  SetEncoderOptions(c, e, &opts);
  AVDictionary* raw = opts.release();
  int rc = avcodec_open2(ctx_.get(), codec, &raw);
  opts.reset(raw);  // what is left: the options nobody took
  if (rc < 0) throw RuntimeError("cannot open " + name_ + ": " + AvErrorText(rc));
  if (const AVDictionaryEntry* left = av_dict_get(opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX))
    throw RuntimeError(name_ + " does not take the option " + left->key);
}

bool EncoderSource::Next(Frame* frame) {
  for (;;) {
    int rc = avcodec_receive_packet(ctx_.get(), packet_.get());
    if (rc == 0) {
      TakePacket(frame);
      return true;
    }
    if (rc == AVERROR_EOF) return false;
    if (rc != AVERROR(EAGAIN)) throw RuntimeError(name_ + " failed: " + AvErrorText(rc));
    if (limit_ != 0 && pictures_ >= limit_) {
      if (flushing_) throw RuntimeError(name_ + " wants input while flushing");
      flushing_ = true;
      rc = avcodec_send_frame(ctx_.get(), nullptr);
    } else {
      rc = EncodePicture();
    }
    if (rc < 0) throw RuntimeError(name_ + " refused a picture: " + AvErrorText(rc));
  }
}

void EncoderSource::TakePacket(Frame* frame) {
  frame->data = std::span<const uint8_t>(packet_->data, static_cast<size_t>(packet_->size));
  frame->key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
  frame->au_number = packets_++;
  // Once the forced picture is out, key or not, later requests force again.
  if (frame->key || packet_->pts >= forced_pts_) awaiting_key_ = false;
}

int EncoderSource::EncodePicture() {
  int rc = av_frame_make_writable(frame_.get());
  if (rc < 0) return rc;
  DrawPattern(frame_.get(), pictures_);
  frame_->pts = static_cast<int64_t>(pictures_);
  frame_->pict_type = force_key_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
#ifdef AV_FRAME_FLAG_KEY
  // Newer FFmpeg reads the key flag rather than the picture type.
  if (force_key_)
    frame_->flags |= AV_FRAME_FLAG_KEY;
  else
    frame_->flags &= ~AV_FRAME_FLAG_KEY;
#endif
  if (force_key_) {
    awaiting_key_ = true;
    forced_pts_ = frame_->pts;
  }
  force_key_ = false;
  ++pictures_;
  return avcodec_send_frame(ctx_.get(), frame_.get());
}

void DrawPattern(AVFrame* f, uint64_t n) {
  const int w = f->width, h = f->height;
  const int shift = static_cast<int>((n * 4) % static_cast<uint64_t>(w));
  const int drift = static_cast<int>(n % 256);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    for (int x = 0; x < w; ++x) {
      int bar = (x + shift) % w * 8 / w;
      row[x] = static_cast<uint8_t>(16 + bar * 24 + ((x + y + 2 * drift) & 31));
    }
  }
  for (int y = 0; y < h / 2; ++y) {
    uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
    uint8_t* v = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
    for (int x = 0; x < w / 2; ++x) {
      u[x] = static_cast<uint8_t>(16 + (x * 448 / w + drift) % 224);
      v[x] = static_cast<uint8_t>(16 + (y * 448 / h + 224 - drift % 224) % 224);
    }
  }
  const int cell = std::max(2, std::min(w, h) / 40);
  for (int bit = 0; bit < 16; ++bit) {
    const uint8_t luma = (n >> (15 - bit)) & 1 ? 235 : 16;
    for (int y = cell; y < 2 * cell && y < h; ++y)
      for (int x = (bit + 1) * cell; x < (bit + 2) * cell && x < w; ++x)
        f->data[0][static_cast<ptrdiff_t>(y) * f->linesize[0] + x] = luma;
  }
}

OpenedSource OpenEncoder(const Options& o) {
  OpenedSource s;
  s.fps = o.fps > 0 ? o.fps : 30;
  s.frames = o.frames;
  if (o.seconds > 0) s.frames = std::max<uint64_t>(1, std::llround(o.seconds * s.fps));
  s.codec = o.codec == "hevc" ? Codec::kHevc : Codec::kH264;
  // libx264 reports its settings and statistics at info level; errors are enough here.
  av_log_set_level(AV_LOG_ERROR);
  s.source = std::make_unique<EncoderSource>(s.codec, o.enc, s.fps, s.frames);
  char text[160];
  std::snprintf(text, sizeof text, "test pattern %dx%d, %s, a key frame every %d, %.4g fps%s",
                o.enc.width, o.enc.height, s.codec == Codec::kH264 ? "libx264" : "libx265",
                o.enc.gop, s.fps, o.fast ? ", sent as fast as encoded" : "");
  s.what = text;
  return s;
}

}  // namespace pellion_send
