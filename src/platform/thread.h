// Thread identity and naming.
#pragma once

#include <string_view>

#include "platform/types.h"

namespace platform {

// The kernel's id of the calling thread (never 0).
DWORD GetCurrentThreadId();

// Names the calling thread for debuggers and /proc (cut to the 15 bytes Linux allows).
void SetCurrentThreadName(std::string_view name);

// The cores this process may run on (its affinity), at least 1.
int UsableCores();

}  // namespace platform
