// Paths of this module and of the process's executable, and the module's version block.
#pragma once

#include <string>

namespace platform {

// Full path of the binary (module or executable) that holds this code, resolved with realpath.
std::string ModuleFilePath();
// Full path of the process's executable.
std::string ExeFilePath();

// Reads the contents of the ELF section `section` of the file at `path`. Returns 0 and fills
// `out` (empty when the file has no such section), or an errno value when the file cannot be
// read or is not ELF.
int ReadFileSection(const std::string& path, const char* section, std::string* out);

}  // namespace platform
