// Files and process facts the logging layer needs: exclusive creation, moves that never
// replace, raw writes, and who and where this process is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Creates `path` exclusively (fails if it exists) with `mode`, close-on-exec. A descriptor or
// -1 with errno set. `append_existing` opens an existing file for appending instead.
int CreateFileForLog(const std::string& path, unsigned mode, bool append_existing);
// Writes everything, looping on short writes and EINTR. False on error.
bool WriteAll(int fd, const void* data, size_t size);
void CloseFile(int fd);

// Moves a file without ever replacing an existing one (copy and unlink across file systems).
// 0 or an errno value (EEXIST when the target exists).
int MoveFileNoReplace(const std::string& from, const std::string& to);

uint32_t ProcessId();
std::string HostName();
// Wall-clock seconds at which the machine started.
int64_t BootTimeSeconds();
// Wall-clock time now, in microseconds since the epoch.
int64_t WallClockMicros();
uint32_t UserId();

// Holds a per-user, per-name marker for the life of the process; it vanishes when the process
// ends, even by a crash. False when another live process (or this one) holds it.
bool AcquireProcessMarker(const std::string& name);

}  // namespace platform
