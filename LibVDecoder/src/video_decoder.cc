// The process's decoder: one context kept between frames, pictures tagged with the frame that
// carried them, parameter sets remembered across reopenings, a conversion to NV12 per picture.
#include "video_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "VideoFmtEx.h"
#include "ffmpeg_log.h"
#include "file/path.h"
#include "file/profile.h"
#include "log/log.h"
#include "log/rate_limit.h"
#include "nal_units.h"
#include "platform/thread.h"

extern "C" {
#include <libavutil/imgutils.h>
}

int SliceThreadsFrom(const char* env, const std::string& ini, int cores) {
  bool on = true;
  if (env != nullptr && *env != '\0') {
    on = std::string(env) != "0";
  } else {
    std::error_code ec;
    on = !std::filesystem::exists(ini, ec) ||
         NORV::sFileManager::GetPrivateProfileInt("NORV", "SLICETHREADS", 1, ini) != 0;
  }
  return on ? std::clamp(cores, 1, kMaxSliceThreads) : 1;
}

int SliceThreadsFromSettings() {
  static const int threads = SliceThreadsFrom(
      std::getenv("PELLION_SLICE_THREADS"),
      NORV::sFileManager::ProgramDataRoot() + "/NORVencrypt.ini", platform::UsableCores());
  return threads;
}

bool VideoDecoder::Open(const uint8_t* data, size_t size) {
  ffmpeg_log::InstallLimit();
  // A frame of parameter sets names its codec by its headers; the probe needs a picture too.
  AVCodecID id = CodecFromParameterSets({data, size});
  if (id == AV_CODEC_ID_NONE) id = static_cast<AVCodecID>(probe_video_codec_id(data, size));
  const bool remembered = id == AV_CODEC_ID_NONE && remembered_codec_ != AV_CODEC_ID_NONE;
  if (remembered) id = remembered_codec_;
  const AVCodec* codec = avcodec_find_decoder(id);
  if (id == AV_CODEC_ID_NONE || codec == nullptr) {
    LOGE_LIMITED << "miss codec: " << avcodec_get_name(id);
    return false;
  }
  CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) {
    LOGE << "avcodec_alloc_context3 return null";
    return false;
  }
  // Slices only: frame threads would hold back a picture per thread. Slice threads give the
  // same pictures at the same time, decoded on more cores.
  ctx->thread_type = FF_THREAD_SLICE;
  ctx->thread_count = DecoderThreads(
      id, {data, size},
      threads_ > 0 ? std::min(threads_, kMaxSliceThreads) : SliceThreadsFromSettings());
  DamageWatch::Prepare(ctx.get());
  int ret = avcodec_open2(ctx.get(), codec, nullptr);
  if (ret < 0) {
    LOGE << "faild to avcodec_open2"
         << " err:" << av_err_text(ret);
    return false;
  }
  ctx_ = std::move(ctx);
  codec_id_ = id;
  // Errors that slice threads would drop: a damaged frame is reported, not published.
  if (!watch_.Attach(ctx_.get())) LOGW << "decoder damage checks unavailable";
  const int threads = (ctx_->active_thread_type & FF_THREAD_SLICE) != 0 ? ctx_->thread_count : 1;
  // Reopenings after failures repeat the same figures: said again only when they change.
  if (threads != threads_open_logged_ || id != codec_logged_) {
    LOGI << "decoder " << avcodec_get_name(id) << " opened with " << threads
         << (threads == 1 ? " thread" : " slice threads");
    threads_open_logged_ = threads;
    codec_logged_ = id;
  }
  threads_open_ = threads;
  if (remembered) {
    LOGI_LIMITED << "decoder reopened with the remembered parameter sets of "
                 << avcodec_get_name(id);
  }
  // The next picture gets them in front, in case it has none of its own.
  resend_parameter_sets_ = id == remembered_codec_;
  return true;
}

FrameFacts VideoDecoder::Describe(std::span<const uint8_t> frame) {
  AVCodecID id = CodecFromParameterSets(frame);
  if (id == AV_CODEC_ID_NONE) id = ctx_ ? codec_id_ : remembered_codec_;
  if (id == AV_CODEC_ID_NONE)
    id = static_cast<AVCodecID>(probe_video_codec_id(frame.data(), frame.size()));
  if (id == AV_CODEC_ID_NONE) {
    // Nothing names its codec: the decoder judges it, and says so ("miss codec").
    FrameFacts unknown;
    unknown.has_slice = true;
    return unknown;
  }
  if (id != described_codec_) {
    syntax_.Reset();
    described_codec_ = id;
  }
  return syntax_.Describe(id, frame);
}

bool VideoDecoder::Send(const uint8_t* data, size_t size, int64_t tag, FrameInfo* info) {
  *info = FrameInfo();
  if (!packet_ || !frame_) {
    LOGE << "faild to av_packet_alloc";
    return false;
  }
  // A frame's own parameter sets name its codec: the sender switched.
  const AVCodecID named = CodecFromParameterSets({data, size});
  if (ctx_ && named != AV_CODEC_ID_NONE && named != codec_id_) {
    LOGI_LIMITED << "stream switched from " << avcodec_get_name(codec_id_) << " to "
                 << avcodec_get_name(named);
    // The pictures it still holds come out before the new codec's. Draining decodes no
    // slice: the watch, attached to the next decoder, hears nothing from this one.
    if (avcodec_send_packet(ctx_.get(), nullptr) == 0) {
      draining_ = std::move(ctx_);
      draining_codec_ = codec_id_;
    }
    Close();
  }
  if (!ctx_ && !Open(data, size)) return false;

  FrameNals nals = ParseFrameNals(codec_id_, {data, size});
  info->has_slice = nals.has_slice;
  info->key = nals.key;
  for (const ParameterSet& ps : nals.parameter_sets) {
    if (ps.nal.size() > kMaxParameterSetBytes) continue;
    std::vector<uint8_t>& kept = parameter_sets_[{codec_id_, ps.nal_type, ps.id}];
    kept.assign({0, 0, 0, 1});
    kept.insert(kept.end(), ps.nal.begin(), ps.nal.end());
    remembered_codec_ = codec_id_;
  }
  // A packet without a slice is an error to the H.264 decoder: parameter sets that came alone
  // go in front of the next picture instead.
  if (!nals.has_slice) {
    resend_parameter_sets_ = resend_parameter_sets_ || !nals.parameter_sets.empty();
    return true;
  }

  size_t prefix = 0;
  if (resend_parameter_sets_) {
    for (const auto& [key, nal] : parameter_sets_)
      if (std::get<0>(key) == codec_id_) prefix += nal.size();
  }
  av_packet_unref(packet_.get());
  if (size > INT32_MAX - prefix ||
      av_new_packet(packet_.get(), static_cast<int>(prefix + size)) < 0) {
    LOGE << "faild to av_new_packet";
    Close();
    return false;
  }
  uint8_t* out = packet_->data;
  if (resend_parameter_sets_) {
    for (const auto& [key, nal] : parameter_sets_) {
      if (std::get<0>(key) != codec_id_) continue;
      std::memcpy(out, nal.data(), nal.size());
      out += nal.size();
    }
    resend_parameter_sets_ = false;
  }
  std::memcpy(out, data, size);
  packet_->pts = tag;
  int ret = avcodec_send_packet(ctx_.get(), packet_.get());
  info->damaged = watch_.TakeDamage();
  if (ret == AVERROR_INVALIDDATA) {
    // Damaged data: the decoder stays open, with its references, for the next key frame.
    LOGW_LIMITED << "damaged frame, avcodec_send_packet err:" << av_err_text(ret);
    info->damaged = true;
    return true;
  }
  if (ret < 0) {
    LOGE_LIMITED << "faild to avcodec_send_packet err:" << av_err_text(ret);
    Close();
    return false;
  }
  return true;
}

ReceiveStatus VideoDecoder::Receive(DecodedPicture* picture) {
  av_frame_unref(frame_.get());
  if (draining_) {
    if (avcodec_receive_frame(draining_.get(), frame_.get()) == 0) {
      Describe(*frame_, draining_codec_, picture);
      return ReceiveStatus::kPicture;
    }
    draining_.reset();
  }
  if (!ctx_) return ReceiveStatus::kNone;
  int ret = avcodec_receive_frame(ctx_.get(), frame_.get());
  // Holding pictures back for reordering, or a frame without a picture: not a failure.
  if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return ReceiveStatus::kNone;
  if (ret < 0) {
    LOGE_LIMITED << "faild to avcodec_receive_frame err:" << av_err_text(ret);
    Close();
    return ReceiveStatus::kFailed;
  }
  Describe(*frame_, codec_id_, picture);
  return ReceiveStatus::kPicture;
}

void VideoDecoder::Describe(const AVFrame& f, AVCodecID codec, DecodedPicture* picture) {
  picture->tag = f.pts;
  picture->width = f.width;
  picture->height = f.height;
  picture->picture_type = f.pict_type;
  picture->corrupt = f.decode_error_flags != 0 || (f.flags & AV_FRAME_FLAG_CORRUPT) != 0;
  picture->codec_id = codec;
}

// One conversion context, kept between pictures: a new one per picture costs more than the
// picture. The decoder and the pictures taken out of it may convert on different threads.
class Nv12Converter {
 public:
  bool Convert(const AVFrame& f, uint8_t* dst) {
    std::lock_guard<std::mutex> lock(mu_);
    const int w = f.width, h = f.height;
    sws_.reset(sws_getCachedContext(sws_.release(), w, h, static_cast<AVPixelFormat>(f.format), w,
                                    h, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) {
      LOGE << "SwsContext is null";
      return false;
    }
    uint8_t* planes[4] = {};
    int linesizes[4] = {};
    int n = av_image_fill_arrays(planes, linesizes, dst, AV_PIX_FMT_NV12, w, h, 1);
    if (n <= 0) {
      LOGE << "av_image_get_buffer_size failed: " << av_err_text(n) << " " << w << "x" << h;
      return false;
    }
    int rows = sws_scale(sws_.get(), f.data, f.linesize, 0, h, planes, linesizes);
    if (rows != h) LOGE << "sws_scale converted " << rows << " of " << h << " rows";
    return true;
  }

 private:
  std::mutex mu_;
  SwsContextPtr sws_;
};

namespace {

// A reference to the decoder's picture: its buffers stay while the decoder reuses others.
class TakenFrame : public DecodedFrame {
 public:
  TakenFrame(FramePtr frame, std::shared_ptr<Nv12Converter> converter)
      : frame_(std::move(frame)), converter_(std::move(converter)) {}
  bool ConvertInto(uint8_t* dst) override { return converter_->Convert(*frame_, dst); }

 private:
  FramePtr frame_;
  std::shared_ptr<Nv12Converter> converter_;
};

}  // namespace

VideoDecoder::VideoDecoder() : converter_(std::make_shared<Nv12Converter>()) {}
VideoDecoder::~VideoDecoder() = default;

std::unique_ptr<DecodedFrame> VideoDecoder::TakePicture() {
  if (frame_->buf[0] == nullptr) return nullptr;
  FramePtr taken(av_frame_alloc());
  if (!taken) {
    LOGE << "av_frame_alloc return null";
    return nullptr;
  }
  av_frame_move_ref(taken.get(), frame_.get());
  return std::make_unique<TakenFrame>(std::move(taken), converter_);
}

bool VideoDecoder::ConvertInto(uint8_t* dst) { return converter_->Convert(*frame_, dst); }

bool VideoDecoder::ConvertTo(std::vector<uint8_t>* out) {
  const int n = av_image_get_buffer_size(AV_PIX_FMT_NV12, frame_->width, frame_->height, 1);
  if (n <= 0) {
    LOGE << "av_image_get_buffer_size failed: " << av_err_text(n) << " " << frame_->width << "x"
         << frame_->height;
    return false;
  }
  out->resize(static_cast<size_t>(n));
  return ConvertInto(out->data());
}

void VideoDecoder::Flush() {
  draining_.reset();
  if (ctx_) avcodec_flush_buffers(ctx_.get());
}

void VideoDecoder::Close() {
  ctx_.reset();
  threads_open_ = 0;
}

void VideoDecoder::Reset() {
  Close();
  draining_.reset();
  threads_open_logged_ = 0;
  codec_logged_ = AV_CODEC_ID_NONE;
  parameter_sets_.clear();
  remembered_codec_ = AV_CODEC_ID_NONE;
}

VideoDecoder& ProcessVideoDecoder() {
  // Never destroyed: a host may exit with the channel running, and the decoder thread must not
  // find its decoder gone while the process's destructors run.
  static VideoDecoder* const decoder = new VideoDecoder;
  return *decoder;
}

bool decode_video_frame(const uint8_t* data, size_t size, std::vector<uint8_t>* picture, int* width,
                        int* height, AVCodecID* codec_id, int* picture_type) {
  VideoDecoder& d = ProcessVideoDecoder();
  FrameInfo info;
  bool sent = d.Send(data, size, 0, &info);
  if (d.codec_id() != AV_CODEC_ID_NONE) *codec_id = d.codec_id();
  DecodedPicture p;
  if (!sent || d.Receive(&p) != ReceiveStatus::kPicture || !d.ConvertTo(picture)) return false;
  *width = p.width;
  *height = p.height;
  *picture_type = p.picture_type;
  return true;
}

void reset_video_decoder() { ProcessVideoDecoder().Reset(); }
