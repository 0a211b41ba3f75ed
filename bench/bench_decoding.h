// Decoding rates and times: the ffmpeg command, the real decoder thread, and the process's
// decoder alone.
#pragma once

#include <filesystem>
#include <vector>

#include "ShareMemVFrame.h"
#include "bench_clips.h"

namespace bench {

// A decoding rate: frames/s, and the CPU time per picture in ms (user and system, all threads).
// -1 when not measured.
struct Rate {
  double fps = -1;
  double cpu_ms = -1;
};

// `ffmpeg -threads N [-thread_type slice] -i FILE -pix_fmt nv12 -f null -` over `frames`
// frames. The same command stopped after one frame (start-up, probing, opening the decoder, the
// first picture) is taken off, as the channel's figures leave out their first frame too. The
// least of three runs of each, for the time and the CPU time apart.
Rate FfmpegRate(const std::filesystem::path& file, int frames, int threads = 1);

// The real decoder thread fed `frames` frames (the clip over and over) as fast as its queue
// takes them, publishing into `section`; the run of one frame taken off its CPU time as
// FfmpegRate does.
Rate DecoderThreadRate(const Clip& clip, int frames, FramePublisher* section);

// Each frame of the clip decoded alone (after its predecessors) on `threads` (as set_threads),
// in milliseconds (-1: failed): sending it and converting what pictures the decoder then gives;
// `frames` in all, the clip over and over, started at `fps` or else one after the other. The first
// one includes opening the decoder. A decoder that holds pictures back adds no work here, only the
// wait for later frames.
std::vector<double> DecodeTimes(const Clip& clip, int frames, int threads = 1, double fps = 0);

}  // namespace bench
