// Sections as named file mappings backed by the paging file. They carry the low-integrity
// label, so that a sandboxed renderer can open them. Their size is fixed when first created.
#include "platform/shared_memory.h"
#include "platform/win_util.h"

namespace platform {
namespace {

// The size a view of the whole section has: the section's size rounded up to pages.
size_t QuerySize(HANDLE mapping) {
  void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) return 0;
  MEMORY_BASIC_INFORMATION info{};
  size_t size = VirtualQuery(view, &info, sizeof(info)) != 0 ? info.RegionSize : 0;
  UnmapViewOfFile(view);
  return size;
}

}  // namespace

bool SharedSection::Create(const std::string& name, size_t size) {
  Close();
  win::SecurityAttributes low_integrity(L"S:(ML;;NW;;;LW)");
  HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, low_integrity.get(), PAGE_READWRITE,
                                static_cast<::DWORD>(static_cast<uint64_t>(size) >> 32),
                                static_cast<::DWORD>(size), win::Wide(name).c_str());
  if (h == nullptr) {
    error_ = win::ErrnoFromWin32(GetLastError());
    return false;
  }
  // An existing section keeps the size it was made with; every write is bounded by it.
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  fd_ = win::FromHandle(h);
  size_ = existed ? QuerySize(h) : size;
  error_ = 0;
  return true;
}

bool SharedSection::Open(const std::string& name, bool writable) {
  Close();
  HANDLE h = OpenFileMappingW(writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, FALSE,
                              win::Wide(name).c_str());
  if (h == nullptr) {
    error_ = win::ErrnoFromWin32(GetLastError());
    return false;
  }
  fd_ = win::FromHandle(h);
  size_ = QuerySize(h);
  error_ = 0;
  return true;
}

void SharedSection::Close() {
  if (fd_ >= 0) CloseHandle(win::ToHandle(fd_));
  fd_ = -1;
  size_ = 0;
}

size_t SharedSection::size() const { return fd_ >= 0 ? size_ : 0; }

// A section goes with its last handle.
bool SharedSection::Unlink(const std::string&) { return true; }

bool SectionMapping::Map(const SharedSection& section, bool writable) {
  Unmap();
  if (!section.valid()) {
    error_ = EBADF;
    return false;
  }
  size_t size = section.size();
  if (size == 0) {
    error_ = EINVAL;
    return false;
  }
  void* p = MapViewOfFile(win::ToHandle(section.fd()),
                          writable ? FILE_MAP_READ | FILE_MAP_WRITE : FILE_MAP_READ, 0, 0, 0);
  if (p == nullptr) {
    error_ = win::ErrnoFromWin32(GetLastError());
    return false;
  }
  data_ = p;
  size_ = size;
  error_ = 0;
  return true;
}

void SectionMapping::Prefault() {
  if (data_ == nullptr) return;
  // The prefetch brings the pages into memory; the reads map them into this view.
  WIN32_MEMORY_RANGE_ENTRY range{data_, size_};
  PrefetchVirtualMemory(GetCurrentProcess(), 1, &range, 0);
  const volatile uint8_t* p = static_cast<const uint8_t*>(data_);
  for (size_t off = 0; off < size_; off += 4096) (void)p[off];
}

void SectionMapping::Unmap() {
  if (data_ != nullptr) UnmapViewOfFile(data_);
  data_ = nullptr;
  size_ = 0;
}

}  // namespace platform
