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

// How the ffmpeg command decodes: `threads` (more than one: slice threads), and with
// `one_filter_thread` -filter_threads 1, so that the scale filter it inserts to convert to NV12
// runs on one thread as ours does.
struct FfmpegCommand {
  int threads = 1;
  bool one_filter_thread = false;
};

// Wall and CPU seconds of runs of one command, one value a run.
struct Timings {
  std::vector<double> seconds, cpu_s;
};

// The rate over `frames` frames from runs of the whole command and of the same stopped after one
// frame: the least (or the median) of each apart, the one-frame run's taken off; a field stays
// -1 where that leaves nothing positive.
Rate StartUpTakenOff(const Timings& all, const Timings& one, int frames, bool median);

// `ffmpeg -threads N [-thread_type slice] -i FILE -pix_fmt nv12 -f null -` over `frames`
// frames. The same command stopped after one frame (start-up, probing, opening the decoder, the
// first picture) is taken off, as the channel's figures leave out their first frame too. The
// least of three runs of each, for the time and the CPU time apart.
Rate FfmpegRate(const std::filesystem::path& file, int frames, int threads = 1);
// The same with the median of `runs` runs of each; not measured when any run failed.
Rate FfmpegMedianRate(const std::filesystem::path& file, int frames, const FfmpegCommand& command,
                      int runs);

// The real decoder thread fed `frames` frames (the clip over and over) as fast as its queue
// takes them, publishing into `section`; the run of one frame taken off its CPU time as
// FfmpegRate does. With `runs`, the median of that many runs of each; a run that did not
// publish every frame fails the rate.
Rate DecoderThreadRate(const Clip& clip, int frames, FramePublisher* section, int runs = 1);

// Each frame of the clip decoded alone (after its predecessors) on `threads` (as set_threads),
// in milliseconds (-1: failed): sending it and converting what pictures the decoder then gives;
// `frames` in all, the clip over and over, started at `fps` or else one after the other. The first
// one includes opening the decoder. A decoder that holds pictures back adds no work here, only the
// wait for later frames.
std::vector<double> DecodeTimes(const Clip& clip, int frames, int threads = 1, double fps = 0);

}  // namespace bench
