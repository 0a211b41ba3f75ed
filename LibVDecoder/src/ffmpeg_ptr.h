// Owners for FFmpeg objects: each frees its object with the matching call on every path.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <memory>

struct AVCodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct AVPacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct AVFrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwsContextFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct AVDictionaryFree {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextFree>;
using PacketPtr = std::unique_ptr<AVPacket, AVPacketFree>;
using FramePtr = std::unique_ptr<AVFrame, AVFrameFree>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextFree>;
using DictionaryPtr = std::unique_ptr<AVDictionary, AVDictionaryFree>;
