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
thread_local const MetaUdpServer::FrameTimes* t_emitting = nullptr;

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
  // delivery thread uses the reassembly buffer.
  bool observed = transport_.AddObserver(
      [this](const std::string& ip, int p, const std::string& data) { OnRead(ip, p, data); }, this);
  // Listening without the observer would take datagrams and deliver none.
  if (!observed) LOGE << "receiver observer not added, not listening on port " << port;
  int bound = observed ? transport_.Start("0.0.0.0", port, 2) : 0;
  running_ = bound != 0;
  if (running_) listen_port_ = bound;
  LOGI << "running_=" << NORV::sLog::Bool(running_);
  return running_;
}

void MetaUdpServer::StopListen() {
  if (running_.exchange(false)) transport_.Stop();
}

void MetaUdpServer::OnRead(const std::string&, int, const std::string& data) {
  if (!rate_started_) {
    rate_started_ = true;
    last_rate_tick_ = platform::ClockMs();
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
  if (!buffer_.insert(header, bytes + StreamPacketHeader::kSize,
                      header.packlen - StreamPacketHeader::kSize))
    return;
  buffer_.GetFrame(frame_);
  if (frame_.empty()) return;

  uint32_t now = platform::ClockMs();
  ++full_frames_;
  if (now - last_rate_tick_ >= 3000) {
    LOGI << full_frames_ / 3 << "(fullpacks/s)";
    last_rate_tick_ = now;
    full_frames_ = 0;
  }
  const FrameTimes times{buffer_.completed_index(), buffer_.completed_first_us(),
                         platform::NowMicros()};
  const FrameTimes* outer = std::exchange(t_emitting, &times);
  sig_vframe_.emit(buffer_.completed_index(), frame_);
  t_emitting = outer;
}

bool MetaUdpServer::EmittingFrameTimes(FrameTimes* times) {
  if (t_emitting == nullptr) return false;
  *times = *t_emitting;
  return true;
}
