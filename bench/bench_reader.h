// The benchmarks' own section and event, and a host's reader of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "ShareMemVFrame.h"
#include "pellion/frame_section.h"

namespace bench {

// Section and event names of the benchmarks' own, never the plug-in's.
inline constexpr const char* kSectionName = "pellion_bench_vframe_section";
inline constexpr const char* kEventName = "pellion_bench_vframe_event";

void UnlinkOwnNames();

// The section under the benchmarks' names, made afresh: what an earlier run left is unlinked
// first, and the names go once the section closes.
class OwnSection {
 public:
  OwnSection() : section_(kSectionName, kEventName) {}
  FramePublisher* get() { return &section_; }

 private:
  struct Names {
    Names() { UnlinkOwnNames(); }
    ~Names() { UnlinkOwnNames(); }
  } names_;  // before section_, so that it goes after it
  ShareMemVFrame section_;
};

// A host's reader on a thread of its own: wakes on the event, notes when, copies the picture.
class Reader {
 public:
  Reader();
  ~Reader();
  bool ok() const { return thread_.joinable(); }
  // Frame index -> when a reader first woke on it.
  std::map<uint32_t, int64_t> Woken();
  void Clear();

 private:
  void Loop();

  pellion::FrameReader reader_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::map<uint32_t, int64_t> woken_;
  std::thread thread_;
};

}  // namespace bench
