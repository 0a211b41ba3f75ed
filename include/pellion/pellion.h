// The host's view of the Pellion plug-in: the export, the interface the host drives, and the
// sender interface the host supplies. Hosts include this header only.
#pragma once

#include <cstdint>

#include "pellion/pellion_types.h"

// The host's TCP sender. The plug-in calls only slot 0, SendMsg, and calls it on its decoder
// thread: the object must accept calls from another thread and stay valid from SetTcpOper until
// the channel is stopped or another pointer is set. The result is only logged.
class ITcpOper {
 public:
  virtual int32_t SendMsg(uint32_t code, const void* body, uint32_t length) = 0;

 protected:
  ~ITcpOper() = default;  // not virtual: a destructor would take table slots
};

// The only message the plug-in sends: ask the video sender for a key frame (no body).
inline constexpr uint32_t REQUEST_CODE_FOR_I_FRAME = 0;

// The plug-in object, in table-slot order. The host never deletes it.
class IAVStreamInterface {
 public:
  // Slot 0: starts the video channel; 1 when it runs (also when it already ran), 0 on failure.
  virtual int32_t StartChan() = 0;
  // Slot 1: stops the channel, waiting at most 3 s.
  virtual void StopChan() = 0;
  // Slot 2: the sender for key-frame requests (may be null). Set it while the channel is
  // stopped.
  virtual void SetTcpOper(ITcpOper* oper) = 0;
  // Slot 3: starts the phone-screen mirror inside `parent`; `parent_msg` (at least 0x400) is
  // posted to `parent` when the mirroring tool ends. Returns the mirror's window, or null.
  virtual HWND StartScrcpy(HWND parent, uint32_t parent_msg) = 0;
  // Slot 4: stops the mirror.
  virtual void StopScrcpy() = 0;
  // Slot 5: shows or hides the mirror's window.
  virtual void ShowScrcpy(bool visible) = 0;

 protected:
  ~IAVStreamInterface() = default;  // not virtual: a destructor would take table slots
};

// The module's only export. Every call returns the same object; null only when building it
// failed (a later call tries again).
extern "C" IAVStreamInterface* CreatePlugInterface();
using CreatePlugInterfaceFunction = IAVStreamInterface* (*)();
inline constexpr const char* kCreatePlugInterfaceName = "CreatePlugInterface";
