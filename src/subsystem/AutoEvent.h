// The SDK's event objects: unnamed ones on eventfd (pollable together with a pidfd), named
// ones shared with other processes. Wait returns 0 when signalled and 258 on time-out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/named_event.h"

namespace NORV::sSubSystem {

class CAutoEvent {
 public:
  // An unnamed event is made in any case. A named one is created (create=true) or opened
  // (create=false, fails when nobody created it).
  explicit CAutoEvent(const std::string& name = "", bool initial_state = false, bool create = true)
      : CAutoEvent(name, initial_state, create, false) {}
  virtual ~CAutoEvent() { Close(); }
  CAutoEvent(const CAutoEvent&) = delete;
  CAutoEvent& operator=(const CAutoEvent&) = delete;

  // False when the event could not be created or opened (see error()).
  bool IsValid() const;
  // errno of a failed creation or opening; EINVAL for the unsupported named manual-reset event.
  int error() const { return error_; }
  const std::string& name() const { return name_; }

  // Any thread.
  bool Set();
  bool Reset();
  uint32_t Wait(int64_t milliseconds);
  void Close();
  // Readable while set; -1 for named events, which no poll can wait on.
  int fd() const { return unnamed_ ? unnamed_->fd() : -1; }
  // Consumes the signal after a poll on fd() said it is set (auto-reset only).
  bool TryConsume() { return unnamed_ && unnamed_->TryConsume(); }

 protected:
  CAutoEvent(const std::string& name, bool initial_state, bool create, bool manual_reset);

 private:
  std::string name_;
  std::unique_ptr<platform::Event> unnamed_;
  std::unique_ptr<platform::NamedSemaphore> named_;
  int error_ = 0;
};

// Manual-reset: stays set until Reset. Only unnamed ones exist: a semaphore cannot stay set, so
// a named manual-reset event is refused (IsValid false, error EINVAL).
class CMenualEvent : public CAutoEvent {
 public:
  CMenualEvent() : CAutoEvent("", false, true, true) {}
  explicit CMenualEvent(const std::string& name, bool initial_state = false, bool create = true)
      : CAutoEvent(name, initial_state, create, true) {}
};

}  // namespace NORV::sSubSystem
