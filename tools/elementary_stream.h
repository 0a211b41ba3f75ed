// H.264 and H.265 elementary streams split into access units, for the sender tool and for tests
// that need a clip frame by frame exactly as the sender sends it.
//
// Errors are thrown as StreamError (a std::runtime_error) with a message fit for the user;
// nothing here logs or exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace pellion_tools {

struct StreamError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class Codec { kH264, kHevc };

const char* CodecName(Codec c);  // "h264" or "hevc"

// From the extension: .h264 .264 .avc, .h265 .265 .hevc (any case); nullopt otherwise.
std::optional<Codec> CodecFromFileName(const std::string& path);

int NalType(Codec c, uint8_t first_header_byte);
// Key frames are the ones a decoder can start from: IDR pictures, IRAP pictures for H.265.
bool IsKeyNal(Codec c, int nal_type);
bool IsSliceNal(Codec c, int nal_type);
bool IsSpsNal(Codec c, int nal_type);
// H.264 SPS/PPS, H.265 VPS/SPS/PPS.
bool IsParameterSetNal(Codec c, int nal_type);

// Calls f(nal_type) for every NAL unit that starts inside `bytes`; emulation prevention keeps
// 00 00 01 out of NAL payloads, so the start codes alone delimit them.
template <class F>
void ForEachNal(Codec c, std::span<const uint8_t> bytes, F&& f) {
  for (size_t i = 0; i + 3 < bytes.size(); ++i) {
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) {
      f(NalType(c, bytes[i + 3]));
      i += 2;
    }
  }
}

struct NalUnit {
  size_t offset = 0;  // of its start code, leading zero bytes included
  size_t size = 0;
  size_t header = 0;  // offset of the NAL header
  int type = 0;
};

// The NAL units in `bytes`, covering it exactly: each runs from the zero bytes before its start
// code to the next unit's. Bytes before the first start code go with the first unit.
std::vector<NalUnit> SplitNalUnits(Codec c, std::span<const uint8_t> bytes);

// The id a parameter set is filed under (its VPS, SPS or PPS id); `nal` starts at the NAL
// header. -1 for other NAL types and for sets too short or damaged to tell.
int ParameterSetId(Codec c, int nal_type, std::span<const uint8_t> nal);

struct AccessUnit {
  size_t offset = 0;
  size_t size = 0;
  // Holds a key picture, or (H.264) intra slices alone with a recovery point of zero frames, as
  // the key frames of an open GOP come.
  bool key = false;
};

struct SplitStream {
  std::vector<AccessUnit> units;
  double fps = 0;  // 0: the stream does not say
};

// Splits a whole elementary stream into access units. The units cover the input exactly, in
// order, each starting with its whole start code. Throws StreamError.
SplitStream SplitAccessUnits(Codec codec, std::span<const uint8_t> stream);

// Throws StreamError unless `stream` looks like an elementary stream of `codec` (a leading
// start code, a sequence parameter set and a slice); `name` goes into the message.
void CheckStream(Codec codec, std::span<const uint8_t> stream, const std::string& name);

// Throws StreamError when the file cannot be opened or read.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace pellion_tools
