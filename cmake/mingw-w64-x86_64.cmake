# Cross-building Pellion.dll with Debian's mingw-w64. The posix-threads compilers: the
# win32-threads ones of GCC 12 have no std::thread, std::mutex or std::condition_variable.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# The FFmpeg and glog that scripts/win-deps.sh built; nothing of the build machine's own.
if(NOT PELLION_WIN_SYSROOT AND DEFINED ENV{PELLION_WIN_SYSROOT})
  set(PELLION_WIN_SYSROOT "$ENV{PELLION_WIN_SYSROOT}")
endif()
set(PELLION_WIN_SYSROOT "${PELLION_WIN_SYSROOT}" CACHE PATH "Sysroot from scripts/win-deps.sh")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${PELLION_WIN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(PELLION_WIN_SYSROOT)
  set(ENV{PKG_CONFIG_LIBDIR} "${PELLION_WIN_SYSROOT}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Binaries need no MinGW runtime DLL beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
