// Decoding and publication.
//   decoder_thread_fps_*: pictures/s through the real decoder thread (post, decode, key-frame
//                         policy, WriteTo, event), frames posted as fast as the queue takes
//                         them, against `ffmpeg -threads 1 -i clip -pix_fmt nv12 -f null -`
//                         on the same frames.
//   writeto_us_*:         one WriteTo of a picture into the section, against a plain memcpy of
//                         the same size into memory of this process.
//   record_us_*:          one WriteTo with the publication record, against one into a section
//                         cut just below the record (the same write without it).
// `bench_decode writeto` prints only the WriteTo figures (no clips, no decoding).
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ShareMemVFrame.h"
#include "bench_clips.h"
#include "bench_decoding.h"
#include "bench_reader.h"
#include "bench_stats.h"
#include "pellion/frame_section.h"

namespace {

using bench::Case;
using bench::Clip;
using bench::Median;

void WriteToAgainstMemcpy(const char* label, int width, int height, int reps,
                          FramePublisher* section) {
  const size_t size = static_cast<size_t>(width) * height * 3 / 2;
  std::vector<uint8_t> picture(size), plain(size);
  for (size_t i = 0; i < size; ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  std::memset(plain.data(), 1, size);  // fault the pages in, as the section is
  std::vector<double> ours, base;
  for (int r = 0; r < reps; ++r) {
    // Turn about, so that neither side always finds the caches as the other left them.
    int64_t t0 = bench::NowUs();
    section->WriteTo(static_cast<uint32_t>(r + 1), static_cast<uint32_t>(width),
                     static_cast<uint32_t>(height), picture);
    int64_t t1 = bench::NowUs();
    std::memcpy(plain.data(), picture.data(), size);
    asm volatile("" : : "r"(plain.data()) : "memory");
    int64_t t2 = bench::NowUs();
    ours.push_back(static_cast<double>(t1 - t0));
    base.push_back(static_cast<double>(t2 - t1));
  }
  bench::Line(std::string("writeto_us_") + label, Median(ours), "us", Median(base));
}

void RecordAgainstNone(const char* label, int width, int height, int reps,
                       FramePublisher* section) {
  const std::string bare_name = std::string(bench::kSectionName) + "_bare";
  const std::string bare_event = std::string(bench::kEventName) + "_bare";
  {
    ShareMemVFrame bare(bare_name, bare_event);
    int fd = shm_open(("/" + bare_name).c_str(), O_RDWR, 0);
    if (fd < 0 || ftruncate(fd, pellion::kFrameHeaderSize + pellion::kFramePictureCapacity) != 0) {
      std::fprintf(stderr, "bench: cannot cut %s\n", bare_name.c_str());
      if (fd >= 0) close(fd);
      return;
    }
    close(fd);
    const size_t size = static_cast<size_t>(width) * height * 3 / 2;
    std::vector<uint8_t> picture(size);
    for (size_t i = 0; i < size; ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    std::vector<double> with, without;
    for (int r = 0; r < reps; ++r) {
      const uint32_t index = static_cast<uint32_t>(r + 1);
      int64_t t0 = bench::NowUs();
      section->WriteTo(index, static_cast<uint32_t>(width), static_cast<uint32_t>(height), picture);
      int64_t t1 = bench::NowUs();
      bare.WriteTo(index, static_cast<uint32_t>(width), static_cast<uint32_t>(height), picture);
      int64_t t2 = bench::NowUs();
      with.push_back(static_cast<double>(t1 - t0));
      without.push_back(static_cast<double>(t2 - t1));
    }
    bench::Line(std::string("record_us_") + label, Median(with), "us", Median(without));
  }
  shm_unlink(("/" + bare_name).c_str());
  sem_unlink(("/" + bare_event).c_str());
}

void WriteToFigures(FramePublisher* section) {
  WriteToAgainstMemcpy("1080p", 1920, 1080, 300, section);
  WriteToAgainstMemcpy("4k", 3840, 2160, 100, section);
  RecordAgainstNone("1080p", 1920, 1080, 300, section);
  RecordAgainstNone("4k", 3840, 2160, 100, section);
}

// decoder_thread_fps_<label>, against ffmpeg on the same frames; false when either failed.
bool DecoderThreadFigure(const Case& c, FramePublisher* section, const bench::Scratch& scratch) {
  Clip clip;
  if (!bench::GetClip(c.recipe, scratch, &clip)) return false;
  // Whole passes of the clip, so that ffmpeg and the thread decode the same frames.
  const int passes = bench::Passes(c.frames, clip);
  const int frames = passes * static_cast<int>(clip.units.size());
  double ffmpeg = bench::FfmpegRate(bench::Repeated(clip, passes, scratch), frames).fps;
  double ours = bench::DecoderThreadRate(clip, frames, section).fps;
  bench::Line(std::string("decoder_thread_fps_") + c.label, ours, "frames/s", ffmpeg);
  return ffmpeg > 0 && ours > 0;
}

}  // namespace

int main(int argc, char** argv) {
  bench::Scratch scratch;
  bench::OwnSection section;
  if (argc > 1 && std::string(argv[1]) == "writeto") {
    WriteToFigures(section.get());
    return 0;
  }
  const bench::StandardClips& clips = bench::Standard();
  const std::vector<Case> cases = {
      {"1080p_h264", clips.h264_1080p, 300},
      {"1080p_hevc", clips.hevc_1080p, 300},
      {"4k_h264", clips.h264_4k, 120},
      {"4k_hevc", clips.hevc_4k, 120},
  };
  int status = 0;
  for (const Case& c : cases)
    if (!DecoderThreadFigure(c, section.get(), scratch)) status = 1;
  WriteToFigures(section.get());
  return status;
}
