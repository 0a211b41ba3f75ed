// Command lines whose program lives in a folder beside the module or the host executable.
#pragma once

#include <string>

#include "file/path.h"

namespace adb_command {

// `command` split at its first blank: the program made absolute beside `base_path` (empty when
// `base_path` has no folder), and the rest of the line from the blank on. The caller quotes the
// program by the rules of whatever reads the line.
inline std::string ProgramBeside(const std::wstring& base_path, const std::string& command,
                                 std::string* rest) {
  size_t blank = command.find(' ');
  *rest = blank == std::string::npos ? std::string() : command.substr(blank);
  return NORV::sFileManager::ToNarrow(NORV::sFileManager::CombineWithDirectory(
      base_path, NORV::sFileManager::ToWide(command.substr(0, blank))));
}

}  // namespace adb_command
