// Paths of this module and of the process's executable, and the module's version block.
#pragma once

#include <string>

namespace platform {

// Full path of the binary (module or executable) that holds this code, resolved with realpath.
std::string ModuleFilePath();
// Full path of the process's executable.
std::string ExeFilePath();

// Keeps the module that holds this code loaded until the process ends: its threads and the
// objects glog and the window system keep would otherwise outlive an unload. Linux: the module
// is linked with -z nodelete, so there is nothing to do.
void PinModule();

// Reads the contents of the ELF section `section` of the file at `path`. Returns 0 and fills
// `out` (empty when the file has no such section), or an errno value when the file cannot be
// read or is not ELF.
int ReadFileSection(const std::string& path, const char* section, std::string* out);

}  // namespace platform
