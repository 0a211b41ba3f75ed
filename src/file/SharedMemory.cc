#include "file/SharedMemory.h"

namespace NORV::sFileManager {

bool SharedMemory::Create(const std::string& name, size_t size) {
  return section_.Create(name, size);
}

bool SharedMemory::Open(const std::string& name, bool writable) {
  return section_.Open(name, writable);
}

}  // namespace NORV::sFileManager
