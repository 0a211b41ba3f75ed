// Win32-shaped scalar types that the platform interfaces speak in.
#pragma once

#include <cstdint>

#include "pellion/pellion_types.h"

namespace platform {

using DWORD = uint32_t;
using WPARAM = uint64_t;
using LPARAM = int64_t;
using HWND = ::HWND;

}  // namespace platform
