// Decoding and publication.
//   decoder_thread_fps_*: pictures/s through the real decoder thread (post, decode, key-frame
//                         policy, WriteTo, event), frames posted as fast as the queue takes
//                         them, against `ffmpeg -threads 1 -i clip -pix_fmt nv12 -f null -`
//                         on the same frames.
//   writeto_us_*:         one WriteTo of a picture into the section, against a plain memcpy of
//                         the same size into memory of this process.
//   record_us_*:          one WriteTo with the publication record, against one into a section
//                         cut just below the record (the same write without it).
//   publish_convert_us_*: one Publish of a decoded picture (1080p and 4K H.264) whose fill
//                         converts it to NV12 straight into the section, against a memcpy of the
//                         same picture, converted once before, to where the publisher writes it.
// `bench_decode writeto` prints only the WriteTo figures (no clips, no decoding);
// `bench_decode publish` only the publish_convert figures.
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
#include "video_decoder.h"

namespace {

using bench::Case;
using bench::Clip;
using bench::Median;

// Medians in microseconds of `ours` and `base`, timed turn about so that neither side always
// finds the caches as the other left them, `reps` rounds after `warm` untimed ones. Both take the
// round's frame index (from 1); -1 for both when `ours` failed.
struct Medians {
  double ours = -1, base = -1;
};
template <typename A, typename B>
Medians TurnAbout(int reps, int warm, const A& ours, const B& base) {
  std::vector<double> a, b;
  for (int r = -warm; r < reps; ++r) {
    const uint32_t index = static_cast<uint32_t>(r + warm + 1);
    const int64_t t0 = bench::NowUs();
    const bool ok = ours(index);
    const int64_t t1 = bench::NowUs();
    base(index);
    const int64_t t2 = bench::NowUs();
    if (!ok) return {};
    if (r < 0) continue;
    a.push_back(static_cast<double>(t1 - t0));
    b.push_back(static_cast<double>(t2 - t1));
  }
  return {Median(a), Median(b)};
}

std::vector<uint8_t> Pattern(int width, int height) {
  std::vector<uint8_t> picture(static_cast<size_t>(width) * height * 3 / 2);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  return picture;
}

void WriteToAgainstMemcpy(const char* label, int width, int height, int reps,
                          FramePublisher* section) {
  const std::vector<uint8_t> picture = Pattern(width, height);
  std::vector<uint8_t> plain(picture.size());
  std::memset(plain.data(), 1, plain.size());  // fault the pages in, as the section is
  const Medians m = TurnAbout(
      reps, 0,
      [&](uint32_t index) {
        return section->WriteTo(index, static_cast<uint32_t>(width), static_cast<uint32_t>(height),
                                picture);
      },
      [&](uint32_t) {
        std::memcpy(plain.data(), picture.data(), picture.size());
        asm volatile("" : : "r"(plain.data()) : "memory");
      });
  bench::Line(std::string("writeto_us_") + label, m.ours, "us", m.base);
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
    const std::vector<uint8_t> picture = Pattern(width, height);
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    const Medians m = TurnAbout(
        reps, 0, [&](uint32_t index) { return section->WriteTo(index, w, h, picture); },
        [&](uint32_t index) { bare.WriteTo(index, w, h, picture); });
    bench::Line(std::string("record_us_") + label, m.ours, "us", m.base);
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

// The benchmarks' section mapped writable here, as the publisher maps it. Writing its picture
// area bypasses the publication record: fine with no reader open, as here.
class MappedSection {
 public:
  MappedSection() {
    const int fd = shm_open((std::string("/") + bench::kSectionName).c_str(), O_RDWR, 0);
    if (fd < 0) return;
    void* p = mmap(nullptr, pellion::kFrameSectionSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p != MAP_FAILED) data_ = static_cast<uint8_t*>(p);
  }
  ~MappedSection() {
    if (data_ != nullptr) munmap(data_, pellion::kFrameSectionSize);
  }
  MappedSection(const MappedSection&) = delete;
  MappedSection& operator=(const MappedSection&) = delete;
  // Where the publisher writes the picture; null when the section could not be mapped.
  uint8_t* picture() const {
    return data_ != nullptr ? data_ + pellion::kFrameHeaderSize : nullptr;
  }

 private:
  uint8_t* data_ = nullptr;
};

// The clip's first picture in the process's decoder on one thread, ready for ConvertInto; false
// when none came out.
bool DecodeFirstPicture(const Clip& clip, DecodedPicture* picture) {
  VideoDecoder& decoder = ProcessVideoDecoder();
  decoder.set_threads(1);
  decoder.Reset();
  for (size_t i = 0; i < clip.units.size(); ++i) {
    const std::string unit = clip.Unit(i);
    FrameInfo info;
    if (!decoder.Send(reinterpret_cast<const uint8_t*>(unit.data()), unit.size(),
                      static_cast<int64_t>(i), &info))
      return false;
    if (decoder.Receive(picture) == ReceiveStatus::kPicture) return true;
  }
  return false;
}

// publish_convert_us_<label>; false when it could not be measured.
bool PublishConvertAgainstMemcpy(const char* label, const bench::ClipRecipe& recipe, int reps,
                                 FramePublisher* section, const bench::Scratch& scratch) {
  Clip clip;
  DecodedPicture p;
  std::vector<uint8_t> nv12;
  VideoDecoder& decoder = ProcessVideoDecoder();
  MappedSection mapped;
  bool ok = bench::GetClip(recipe, scratch, &clip) && DecodeFirstPicture(clip, &p) &&
            decoder.ConvertTo(&nv12) && mapped.picture() != nullptr &&
            nv12.size() <= pellion::kFramePictureCapacity;
  const FramePublisher::Fill fill = [&](uint8_t* dst) { return decoder.ConvertInto(dst); };
  auto publish = [&](uint32_t index) {
    return section->Publish(index, static_cast<uint32_t>(p.width), static_cast<uint32_t>(p.height),
                            fill);
  };
  auto copy = [&](uint32_t) {
    std::memcpy(mapped.picture(), nv12.data(), nv12.size());
    asm volatile("" : : "r"(mapped.picture()) : "memory");
  };
  // A few rounds untimed first, so that both find the caches and the section's pages warm.
  const Medians m = ok ? TurnAbout(reps, 5, publish, copy) : Medians{};
  ok = ok && m.ours > 0;
  decoder.Reset();
  decoder.set_threads(0);
  if (!ok) std::fprintf(stderr, "bench: no publish_convert_us_%s\n", label);
  bench::Line(std::string("publish_convert_us_") + label, m.ours, "us", m.base);
  return ok;
}

bool PublishConvertFigures(FramePublisher* section, const bench::Scratch& scratch) {
  const bench::StandardClips& clips = bench::Standard();
  // Both measured even when the first fails.
  const bool hd = PublishConvertAgainstMemcpy("1080p", clips.h264_1080p, 300, section, scratch);
  const bool uhd = PublishConvertAgainstMemcpy("4k", clips.h264_4k, 100, section, scratch);
  return hd && uhd;
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
  if (argc > 1 && std::string(argv[1]) == "publish")
    return PublishConvertFigures(section.get(), scratch) ? 0 : 1;
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
  return PublishConvertFigures(section.get(), scratch) ? status : 1;
}
