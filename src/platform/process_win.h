// Windows backend only: what the spawn and the rest of the process code share.
#pragma once

#include "platform/process.h"
#include "platform/win_util.h"

namespace platform::win {

// Enters a started child in the registry, which keeps `process` until the child is reaped.
void RegisterChild(DWORD pid, UniqueHandle process, bool caller_reaps);

}  // namespace platform::win
