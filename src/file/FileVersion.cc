// Reads a module's version block back from its file.
#include "file/FileVersion.h"

#include "log/log.h"
#include "platform/module.h"

namespace NORV::sFileManager::sFileHelper {

std::string File::GetFileVerInfo(const std::string& path, const std::string& key) {
  if (path.empty() || key.empty()) {
    LOGE << "param failed!";
    return {};
  }
  std::string block;
  if (int err = platform::ReadFileSection(path, kVersionSection, &block); err != 0) {
    LOGE << "GetFileVersionInfoA failed! err:" << err;
    return {};
  }
  if (block.empty()) {
    LOGE << "dwDataSize:" << 0;
    return {};
  }
  // Pairs of NUL-terminated strings; a truncated pair ends the walk.
  for (size_t pos = 0; pos < block.size();) {
    size_t key_end = block.find('\0', pos);
    if (key_end == std::string::npos) break;
    size_t value_end = block.find('\0', key_end + 1);
    if (value_end == std::string::npos) break;
    if (block.compare(pos, key_end - pos, key) == 0)
      return block.substr(key_end + 1, value_end - key_end - 1);
    pos = value_end + 1;
  }
  LOGE << "VerQueryValueA failed! err:" << 1813;  // the resource-not-found code
  return {};
}

}  // namespace NORV::sFileManager::sFileHelper
