// FFmpeg's own messages to standard error, bounded. A stream of bad frames makes a decoder say
// the same thing for every frame and from every slice thread ("[hevc @ 0x…] Invalid NAL unit
// …"), which would otherwise flood the host's standard error.
//
// FFmpeg has one log callback per process, and on Linux a host may use FFmpeg itself. So the
// callback is installed once, at the first probe or decoder open, and changes only how often
// a message is written: what passes goes to av_log_default_callback unchanged, so the output
// format and the level a host sets with av_log_set_level still hold (a message above that
// level is not counted). Each format string has five messages per 3 s, all of them together
// fifty; the next message written of a format is followed by "… and N more in the last 3 s",
// N being what was left out since of that format and under the common limit. A host that
// installs its own callback later keeps it, as this one is never installed again; one that
// installed its own before loses it, as FFmpeg cannot tell which callback is set.
#pragma once

#include <cstdint>

namespace ffmpeg_log {

inline constexpr uint32_t kPerFormat = 5;
inline constexpr uint32_t kAllFormats = 50;
inline constexpr uint32_t kWindowMs = 3000;

// Any thread; only the first call does anything.
void InstallLimit();

// Tests only, while FFmpeg is quiet: every format starts afresh (the old counts are kept, not
// freed).
void ResetLimitForTesting();

}  // namespace ffmpeg_log
