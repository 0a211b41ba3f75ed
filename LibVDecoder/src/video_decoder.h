// Decoding one complete encoded frame into one NV12 picture (1-byte alignment).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/codec_id.h>
}

// Decoder thread only. Detects the codec from the frame while no decoder is open; any failure
// closes the decoder, so that the next frame starts afresh.
bool decode_video_frame(const uint8_t* data, size_t size, std::vector<uint8_t>* picture, int* width,
                        int* height, AVCodecID* codec_id, int* picture_type);

// Closes the process's decoder (the next frame detects its codec again).
void reset_video_decoder();
