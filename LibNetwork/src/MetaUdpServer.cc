// The stream packet receiver: checks, parsing, reassembly and the frame signal.
#include "MetaUdpServer.h"

#include <mutex>
#include <utility>

#include "log/log.h"
#include "log/rate_limit.h"
#include "platform/clock.h"

namespace {

// File-scope, hence made when the module loads and destroyed after the channel object (whose
// holder is a function-local static made later): the channel stops while this still exists.
std::shared_ptr<MetaUdpServer> g_instance;
std::once_flag g_once;
// The frame a receiver is emitting on this thread; null outside an emission. Per thread, so a
// slot reads it without a lock and nothing else ever sees it.

}  // namespace

MetaUdpServer::MetaUdpServer() = default;

MetaUdpServer::MetaUdpServer(NORV::sNetwork::NorvNetUDT::Options options) : transport_(options) {}

MetaUdpServer::~MetaUdpServer() {
  transport_.Stop();
  sig_vframe_.disconnect_all();
}

std::shared_ptr<MetaUdpServer> MetaUdpServer::GetInstance() {
  std::call_once(g_once, [] { g_instance = std::make_shared<MetaUdpServer>(); });
  return g_instance;
}

bool MetaUdpServer::StartListen(int port) {
  // Keyed by this object: however often listening restarts, one OnRead is registered, so one
  // delivery thread uses the reassembly buffers. It returns once the last run's datagrams are
  // delivered.
  bool observed = transport_.AddObserver(
      [this](const std::string& ip, int p, const std::string& data) { OnRead(ip, p, data); }, this);
  // A new run begins with no current source: a restarted channel is not bound to its last
  // sender. OnRead sees the new generation before the first datagram of this run.
  generation_.fetch_add(1, std::memory_order_release);
  // Listening without the observer would take datagrams and deliver none.
  if (!observed) LOGE << "receiver observer not added, not listening on port " << port;
  int bound = observed ? transport_.Start("0.0.0.0", port, 2) : 0;
  // Not listening: no delivery thread waits for datagrams that cannot come.
  if (observed && bound == 0) transport_.RemoveObserver(this);
  running_ = bound != 0;
  if (running_) listen_port_ = bound;
  LOGI << "running_=" << NORV::sLog::Bool(running_);
  return running_;
}

void MetaUdpServer::StopListen() {
  if (running_.exchange(false)) transport_.Stop();
}

void MetaUdpServer::OnRead(const std::string& ip, int port, const std::string& data) {
  const uint32_t now = platform::ClockMs();
  if (const uint64_t g = generation_.load(std::memory_order_acquire); g != seen_generation_) {
    seen_generation_ = g;
    sources_.Reset();
  }
  if (!rate_started_) {
    rate_started_ = true;
    last_rate_tick_ = now;
  }
  if (data.size() < 10) {
    LOGE_LIMITED << "pack is too small len:" << data.size();
    return;
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  StreamPacketHeader header;
  StreamPacketHeader::Parse(bytes, data.size(), &header);
  if (!header.vstream) {
    LOGE_LIMITED << "pack is not vframe";
    return;
  }
  // The payload runs from offset 8 to packlen, which must lie inside the datagram.
  if (header.packlen < StreamPacketHeader::kSize || header.packlen > data.size()) {
    LOGE_LIMITED << "pack length " << header.packlen << " outside datagram of " << data.size();
    return;
  }
  CountPacket(now);
  StreamSources::Source& source = sources_.Of(ip, port, now);
  const bool current = &source == sources_.current();
  if (!current) ++other_datagrams_;
  if (!source.buffer.insert(header, bytes + StreamPacketHeader::kSize,
                            header.packlen - StreamPacketHeader::kSize))
    return;
  source.buffer.GetFrame(frame_);
  if (frame_.empty()) return;
  switch (sources_.OnComplete(source, source.buffer.completed_index(), frame_, now)) {
    case StreamSources::Verdict::kHandOn:
      break;
    case StreamSources::Verdict::kBecameCurrent:
      LOGI_LIMITED << "stream source " << source.Name() << " is current, none was before";
      break;
    case StreamSources::Verdict::kTookOver:
      LOGI_LIMITED << "stream source " << source.Name() << " takes over from "
                   << sources_.previous_name() << ", silent for over "
                   << StreamSources::kTakeOverAfterMs << " ms";
      break;
    case StreamSources::Verdict::kWithheld:
      ++withheld_frames_;
      return;
  }
  Emit(source.buffer, now);
}

void MetaUdpServer::CountPacket(uint32_t now) {
  ++packs_;
  if (now - last_packs_tick_ < 3000) return;
  LOGI << packs_ / 3 << "(packs/s)";
  uint64_t duplicates = 0;
  if (const StreamSources::Source* c = sources_.current(); c != nullptr)
    duplicates = c->buffer.duplicates();
  if (other_datagrams_ != 0 || duplicates != reported_duplicates_) {
    LOGI << "datagrams of other sources " << other_datagrams_ << ", their frames withheld "
         << withheld_frames_ << ", duplicate frames dropped " << duplicates - reported_duplicates_
         << " in the last 3 s";
  }
  reported_duplicates_ = duplicates;
  other_datagrams_ = 0;
  withheld_frames_ = 0;
  packs_ = 0;
  last_packs_tick_ = now;
}

void MetaUdpServer::Emit(const VFrameBuffer& buffer, uint32_t now) {
  ++full_frames_;
  if (now - last_rate_tick_ >= 3000) {
    LOGI << full_frames_ / 3 << "(fullpacks/s)";
    last_rate_tick_ = now;
    full_frames_ = 0;
  }
  const FrameTimes times{buffer.completed_index(), buffer.completed_first_us(),
                         platform::NowMicros()};
  const FrameTimes* outer = std::exchange(emitting_, &times);
  sig_vframe_.emit(buffer.completed_index(), frame_);
  emitting_ = outer;
}

std::optional<MetaUdpServer::FrameTimes> MetaUdpServer::EmittingFrameTimes(
    uint32_t frame_index) const {
  if (emitting_ == nullptr || emitting_->frame_index != frame_index) return std::nullopt;
  return *emitting_;
}
