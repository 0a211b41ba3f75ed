// pellion-send's options and how they are read off the command line.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "encoder.h"
#include "impairer.h"
#include "packetizer.h"
#include "pellion/keyframe_link.h"

namespace pellion_send {

// Whole frames left out, swapped or sent twice, by their position among the frames the sender
// makes (0-based, the parameter-set frames of --parameter-sets included). A frame left out
// still uses its index: the receiver sees the gap a loss leaves.
struct Reshuffle {
  uint64_t skip = 0;  // the first frames, left out without taking any time
  std::set<uint64_t> drop;
  uint64_t drop_before_key = 0;  // that many just before the clip's second key frame
  std::optional<uint64_t> swap;  // this frame goes right after the next one
  std::optional<std::pair<uint64_t, uint64_t>> resend;  // frame, frames later
  bool any() const { return skip > 0 || !drop.empty() || drop_before_key > 0 || swap || resend; }
};

struct Options {
  std::string file;
  std::string codec;
  bool encode = false;
  EncodeOptions enc;
  double seconds = 0;
  std::string host = "127.0.0.1";
  int port = 9111;
  size_t payload = 1400;
  double fps = 0;
  bool fast = false;
  uint64_t loops = 1;
  uint64_t frames = 0;
  uint64_t first_index = 1;
  ImpairOptions impair;
  std::string trace;
  int request_port = pellion::kKeyFrameRequestPort;
  std::string request_bind = "127.0.0.1";
  ParameterSets parameter_sets = ParameterSets::kInline;
  int source_port = 0;
  int junk = 0;
  Reshuffle reshuffle;
};

// "P", "P-Q" or a list of them with commas, as positions; false when it is not one.
bool ParsePositions(const std::string& text, std::set<uint64_t>* out);

// "WxH", both even (4:2:0 halves them) and within [16, 8192].
bool ParseSize(const std::string& s, int* w, int* h);

// Returns an exit code when the program should stop here (help, bad options).
std::optional<int> ParseCommandLine(int argc, char** argv, Options* o);

}  // namespace pellion_send
