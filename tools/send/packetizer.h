// Turns access units into the frames to send and frames into stream packets.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "elementary_stream.h"

namespace pellion_send {

// How the parameter sets reach the receiver: as the source has them, in a frame of their own
// before the frame that carried them, or only when they differ from the ones last sent.
enum class ParameterSets { kInline, kSeparate, kOnce };

// One frame to send; `data` is valid until the next Shape().
struct Piece {
  std::span<const uint8_t> data;
  bool key = false;
};

// Hands out the parameter sets of each access unit the way the chosen kind of sender does.
class ParameterSetShaper {
 public:
  ParameterSetShaper(pellion_tools::Codec codec, ParameterSets mode) : codec_(codec), mode_(mode) {}

  // The frames to send for one access unit, in order: none, one or two.
  const std::vector<Piece>& Shape(std::span<const uint8_t> unit, bool key);

 private:
  bool IsSet(const pellion_tools::NalUnit& n) const;
  void Split(std::span<const uint8_t> unit, const std::vector<pellion_tools::NalUnit>& nals);
  bool Remember(std::span<const uint8_t> unit, const std::vector<pellion_tools::NalUnit>& nals);

  pellion_tools::Codec codec_;
  ParameterSets mode_;
  std::vector<Piece> out_;
  std::vector<uint8_t> sets_, rest_;
  std::map<std::pair<int, int>, std::vector<uint8_t>> sent_;  // by NAL type and id
};

size_t PacketCount(size_t frame_size, size_t payload);

uint32_t NextFrameIndex(uint32_t idx);  // 0 is never used

// Cuts one frame into datagrams: header plus at most `payload` bytes each.
void Packetize(std::span<const uint8_t> frame, uint32_t frameidx, size_t payload,
               const std::function<void(std::vector<uint8_t>)>& emit);

}  // namespace pellion_send
