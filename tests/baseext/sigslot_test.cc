#include "sigslot/sigslot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/wait.h"

namespace NORV::sHelper::sigslot {
namespace {

using FrameSignal = signal2<uint32_t, const std::string&>;
using MessageSignal = signal4<int&, uint32_t, const void*, uint32_t>;

constexpr auto kDeadline = std::chrono::seconds(10);

// Appends its name to a shared log, then runs an optional action (for re-entrant calls).
struct Recorder : has_slots<> {
  Recorder(std::string* log, char name) : log(log), name(name) {}

  void OnFrame(uint32_t, const std::string& bytes) {
    *log += name;
    last_bytes = &bytes;
    if (action) action();
  }
  void OnFrameUpper(uint32_t, const std::string&) { *log += static_cast<char>(name - 'a' + 'A'); }
  void OnMessage(int& result, uint32_t code, const void* body, uint32_t length) {
    result = static_cast<int>(code + length);
    last_body = body;
  }

  std::string* log;
  char name;
  const std::string* last_bytes = nullptr;
  const void* last_body = nullptr;
  std::function<void()> action;
};

TEST(SigslotEmitTest, CallsSlotsInConnectionOrderAndPassesReferencesThrough) {
  MessageSignal message;
  const char body[] = "ping";
  int result = -1;
  message.emit(result, 7, body, sizeof(body));
  EXPECT_EQ(result, -1) << "no slot: the preset result stays";
  std::string log;
  Recorder a(&log, 'a'), b(&log, 'b'), c(&log, 'c');
  message.connect(&a, &Recorder::OnMessage);
  message(result, 7, body, sizeof(body));
  EXPECT_EQ(result, 12);
  EXPECT_EQ(a.last_body, body);

  FrameSignal signal;
  signal.connect(&b, &Recorder::OnFrame);
  signal.connect(&a, &Recorder::OnFrame);
  signal.connect(&c, &Recorder::OnFrame);
  signal.connect(&a, &Recorder::OnFrameUpper);
  const std::string frame = "bytes";
  signal.emit(3, frame);
  EXPECT_EQ(log, "bacA");
  EXPECT_EQ(a.last_bytes, &frame);
}

TEST(SigslotDisconnectTest, SameOwnerTwiceLosesOnlyFirstLinkAndDiesCleanly) {
  std::string log;
  FrameSignal signal;
  Recorder keep(&log, 'k'), stranger(&log, 's');
  auto a = std::make_unique<Recorder>(&log, 'a');
  signal.connect(a.get(), &Recorder::OnFrame);
  signal.connect(&keep, &Recorder::OnFrame);
  signal.connect(a.get(), &Recorder::OnFrameUpper);
  signal.disconnect(&stranger);
  signal.emit(0, "");
  EXPECT_EQ(log, "akA");

  signal.disconnect(a.get());
  EXPECT_TRUE(signal.connected(a.get()));
  signal.emit(0, "");
  EXPECT_EQ(log, "akAkA");

  // The owner must still drop its remaining link when it dies; ASan flags any call after that.
  a.reset();
  signal.emit(0, "");
  EXPECT_EQ(log, "akAkAk");
}

TEST(SigslotReentrancyTest, SlotDisconnectsOrDestroysOwnersDuringEmission) {
  std::string log;
  FrameSignal signal;
  Recorder a(&log, 'a'), b(&log, 'b'), c(&log, 'c'), d(&log, 'd');
  auto e = std::make_unique<Recorder>(&log, 'e');
  a.action = [&] { signal.disconnect(&a); };
  b.action = [&] { signal.disconnect(&c); };
  d.action = [&] { e.reset(); };
  for (Recorder* r : {&a, &b, &c, &d, e.get()}) signal.connect(r, &Recorder::OnFrame);
  signal.emit(0, "");
  EXPECT_EQ(log, "abd");
  signal.emit(0, "");
  EXPECT_EQ(log, "abdbd");
}

TEST(SigslotReentrancyTest, ConnectOrDisconnectAllDuringEmission) {
  std::string log;
  FrameSignal signal;
  Recorder a(&log, 'a'), b(&log, 'b'), z(&log, 'z'), y(&log, 'y');
  bool a_fired = false, z_fired = false;
  a.action = [&] {
    if (!std::exchange(a_fired, true)) signal.connect(&z, &Recorder::OnFrame);
  };
  z.action = [&] {
    if (!std::exchange(z_fired, true)) signal.connect(&y, &Recorder::OnFrame);
  };
  signal.connect(&a, &Recorder::OnFrame);
  signal.connect(&b, &Recorder::OnFrame);
  // z joins behind b and runs; y joins behind z, the last slot, so it waits for the next emission.
  signal.emit(0, "");
  EXPECT_EQ(log, "abz");
  signal.emit(0, "");
  EXPECT_EQ(log, "abzabzy");

  b.action = [&] { signal.disconnect_all(); };
  signal.emit(0, "");
  EXPECT_EQ(log, "abzabzyab");
  EXPECT_TRUE(signal.is_empty());
}

TEST(SigslotLifetimeTest, DestroyedSignalIsForgottenByItsOwners) {
  std::string log;
  FrameSignal survivor;
  auto owner = std::make_unique<Recorder>(&log, 'a');
  auto doomed = std::make_unique<FrameSignal>();
  doomed->connect(owner.get(), &Recorder::OnFrame);
  survivor.connect(owner.get(), &Recorder::OnFrame);
  doomed.reset();
  survivor.emit(0, "");
  EXPECT_EQ(log, "a");
  owner.reset();  // Must not reach the freed signal.
  survivor.emit(0, "");
  EXPECT_EQ(log, "a");
}

TEST(SigslotLifetimeTest, CopiesDuplicateConnectionsOntoTheCopy) {
  std::string log;
  FrameSignal signal;
  auto original = std::make_unique<Recorder>(&log, 'a');
  signal.connect(original.get(), &Recorder::OnFrame);
  auto copy = std::make_unique<Recorder>(*original);
  copy->name = 'c';  // Shows which object the duplicated link calls.
  auto signal_copy = std::make_unique<FrameSignal>(signal);
  auto emit_both = [&] {
    signal.emit(0, "");
    signal_copy->emit(0, "");
  };
  emit_both();
  EXPECT_EQ(log, "acac");
  original.reset();
  emit_both();
  EXPECT_EQ(log, "acaccc");
  copy.reset();
  emit_both();
  EXPECT_EQ(log, "acaccc");
  EXPECT_TRUE(signal_copy->is_empty());
}

// Counts lock attempts that found the mutex taken, so a test knows a thread really waits.
class ContentionProbe {
 public:
  void lock() {
    if (!mutex_.try_lock()) {
      ++contended_;
      mutex_.lock();
    }
  }
  void unlock() { mutex_.unlock(); }
  int contended() const { return contended_; }

 private:
  std::recursive_mutex mutex_;
  std::atomic<int> contended_{0};
};

TEST(SigslotThreadTest, DisconnectFromAnotherThreadWaitsForRunningSlot) {
  signal_with_thread_policy<ContentionProbe, uint32_t, const std::string&> signal;
  std::string log;
  Recorder slot(&log, 's');
  std::promise<void> entered, release;
  std::atomic<bool> finished{false}, finished_on_return{false};
  slot.action = [&, released = release.get_future().share()] {
    entered.set_value();
    EXPECT_EQ(released.wait_for(kDeadline), std::future_status::ready);
    finished = true;
  };
  signal.connect(&slot, &Recorder::OnFrame);
  std::thread emitter([&] { signal.emit(1, "frame"); });
  EXPECT_EQ(entered.get_future().wait_for(kDeadline), std::future_status::ready);

  std::thread disconnector([&] {
    signal.disconnect(&slot);
    finished_on_return = finished.load();
  });
  // Let the slot finish only once the disconnecting thread is blocked on the signal.
  EXPECT_TRUE(testing_util::WaitUntil([&] { return signal.contended() > 0; }, kDeadline));
  release.set_value();
  emitter.join();
  disconnector.join();

  EXPECT_TRUE(finished_on_return);
  signal.emit(2, "frame");
  EXPECT_EQ(log, "s");
}

struct Counter : has_slots<> {
  // Emissions run on other threads: leave them before any member is torn down.
  ~Counter() override { disconnect_all(); }
  void OnFrame(uint32_t, const std::string&) { ++calls; }
  std::atomic<int> calls{0};
};

TEST(SigslotThreadTest, ConcurrentEmitConnectDisconnectAndDestroy) {
  constexpr int kEmits = 2000, kRounds = 300;
  FrameSignal frames, other;
  Counter steady, flicker;
  frames.connect(&steady, &Counter::OnFrame);

  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      const std::string bytes(64, 'x');
      for (int i = 0; i < kEmits; ++i) {
        frames.emit(i, bytes);
        other(i, bytes);
      }
    });
  }
  // Short-lived owners die while the emitters run; a long-lived one flickers on and off.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto owner = std::make_unique<Counter>();
        frames.connect(owner.get(), &Counter::OnFrame);
        frames.connect(owner.get(), &Counter::OnFrame);
        other.connect(owner.get(), &Counter::OnFrame);
        other.connect(&flicker, &Counter::OnFrame);
        frames.disconnect(owner.get());
        other.disconnect(&flicker);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(steady.calls, 2 * kEmits);
  EXPECT_TRUE(other.is_empty());
}

}  // namespace
}  // namespace NORV::sHelper::sigslot
