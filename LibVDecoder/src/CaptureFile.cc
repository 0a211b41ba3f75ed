// Capture folders are looked up once, and their presence is tested for every frame.
#include "CaptureFile.h"

#include <filesystem>
#include <fstream>
#include <mutex>

#include "file/path.h"

namespace {

namespace fs = std::filesystem;
using NORV::sFileManager::CombineWithDirectory;
using NORV::sFileManager::GetExeFilePath;
using NORV::sFileManager::ToNarrow;

struct CaptureDirs {
  std::string plain;
  std::string length_prefixed;
};

std::mutex g_dirs_mu;
std::string g_base_for_testing;

CaptureDirs Dirs() {
  static const CaptureDirs real{
      ToNarrow(CombineWithDirectory(GetExeFilePath(), L"raw-avfile/")),
      ToNarrow(CombineWithDirectory(GetExeFilePath(), L"raw-lenavfile/"))};
  std::lock_guard<std::mutex> lock(g_dirs_mu);
  if (g_base_for_testing.empty()) return real;
  return {g_base_for_testing + "/raw-avfile/", g_base_for_testing + "/raw-lenavfile/"};
}

bool IsDirectory(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_directory(path, ec);
}

}  // namespace

void SetCaptureBaseForTesting(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_dirs_mu);
  g_base_for_testing = folder;
}

void WriteCaptureFile(const uint8_t* data, int length, const std::wstring& name) {
  CaptureDirs dirs = Dirs();
  bool plain = IsDirectory(dirs.plain);
  bool prefixed = IsDirectory(dirs.length_prefixed);
  if (data == nullptr || length < 0 || (!plain && !prefixed)) return;
  std::string path = (plain ? dirs.plain : dirs.length_prefixed) + ToNarrow(name);
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::app);
  if (!out) return;
  if (prefixed) {
    const uint8_t len[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    out.write(reinterpret_cast<const char*>(len), 4);
  }
  out.write(reinterpret_cast<const char*>(data), length);
}
