// The SDK's shared-memory section owner and its mapped view.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/shared_memory.h"

namespace NORV::sFileManager {

class SharedMemory {
 public:
  // Creates (or opens and, when smaller, grows) the named section. False on failure, with the
  // system error in error().
  bool Create(const std::string& name, size_t size);
  bool Open(const std::string& name, bool writable);
  void Close() { section_.Close(); }
  bool IsValid() const { return section_.valid(); }
  size_t size() const { return section_.size(); }
  int error() const { return section_.error(); }
  const platform::SharedSection& section() const { return section_; }

 private:
  platform::SharedSection section_;
};

class SharedMemoryView {
 public:
  // Maps the whole section; every access must stay below size(), the section's real size.
  bool Map(const SharedMemory& memory, bool writable) {
    return mapping_.Map(memory.section(), writable);
  }
  void Unmap() { mapping_.Unmap(); }
  // Faults every page in without writing: a reader may already hold the section.
  void Prefault() { mapping_.Prefault(); }
  uint8_t* data() const { return mapping_.data(); }
  size_t size() const { return mapping_.size(); }
  int error() const { return mapping_.error(); }

 private:
  platform::SectionMapping mapping_;
};

}  // namespace NORV::sFileManager
