// CAutoEvent and CMenualEvent on the platform's unnamed and named events.
#include "subsystem/AutoEvent.h"

#include <errno.h>

#include "log/log.h"

namespace NORV::sSubSystem {

CAutoEvent::CAutoEvent(const std::string& name, bool initial_state, bool create, bool manual_reset)
    : name_(name) {
  if (name.empty()) {
    unnamed_ = std::make_unique<platform::Event>(manual_reset, initial_state);
    if (!unnamed_->valid()) error_ = errno;
    return;
  }
  if (manual_reset) {
    LOGE << "named manual-reset event not supported: " << name;
    error_ = EINVAL;
    return;
  }
  named_ = std::make_unique<platform::NamedSemaphore>(name, create, initial_state);
  error_ = named_->error();
}

bool CAutoEvent::IsValid() const {
  return (unnamed_ && unnamed_->valid()) || (named_ && named_->valid());
}

bool CAutoEvent::Set() {
  if (unnamed_) return unnamed_->Set();
  return named_ && named_->Set();
}

bool CAutoEvent::Reset() {
  if (unnamed_) return unnamed_->Reset();
  return named_ && named_->Reset();
}

uint32_t CAutoEvent::Wait(int64_t milliseconds) {
  if (unnamed_) return unnamed_->Wait(milliseconds);
  if (named_) return named_->Wait(milliseconds);
  return platform::kWaitFailed;
}

void CAutoEvent::Close() {
  unnamed_.reset();
  named_.reset();
}

}  // namespace NORV::sSubSystem
