// Module and executable paths, and the module's version strings from its version resource,
// handed back as the same key/value block the Linux build keeps in a section of its own.
#include <errno.h>

#include <vector>

#include "platform/module.h"
#include "platform/win_util.h"

namespace platform {
namespace {

std::string ModulePath(HMODULE module) {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    ::DWORD n = GetModuleFileNameW(module, buf.data(), static_cast<::DWORD>(buf.size()));
    if (n == 0) return {};
    if (n < buf.size()) return win::Utf8(std::wstring_view(buf.data(), n));
    buf.resize(buf.size() * 2);
  }
}

// The keys the module's resource carries (src/Pellion.rc).
constexpr const wchar_t* kVersionKeys[] = {L"CompanyName",    L"ProductName",   L"OriginalFilename",
                                           L"ProductVersion", L"FileVersion",   L"FileDescription",
                                           L"InternalName",   L"LegalCopyright"};

}  // namespace

std::string ModuleFilePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&ModuleFilePath), &module))
    return ExeFilePath();
  return ModulePath(module);
}

std::string ExeFilePath() { return ModulePath(nullptr); }

void PinModule() {
  // A FreeLibrary would otherwise run our static destructors under the loader lock, joining
  // threads that need that lock to end.
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&PinModule), &module);
}

int ReadFileSection(const std::string& path, const char*, std::string* out) {
  out->clear();
  std::wstring wpath = win::Wide(path);
  ::DWORD ignored = 0;
  ::DWORD size = GetFileVersionInfoSizeW(wpath.c_str(), &ignored);
  if (size == 0) {
    ::DWORD err = GetLastError();
    // A readable file without a version resource has an empty block.
    if (err == ERROR_RESOURCE_DATA_NOT_FOUND || err == ERROR_RESOURCE_TYPE_NOT_FOUND ||
        err == ERROR_RESOURCE_NAME_NOT_FOUND)
      return 0;
    return win::ErrnoFromWin32(err);
  }
  std::vector<char> data(size);
  if (!GetFileVersionInfoW(wpath.c_str(), 0, size, data.data()))
    return win::ErrnoFromWin32(GetLastError());
  struct Translation {
    WORD language;
    WORD code_page;
  };
  Translation* translation = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation))
    return 0;
  for (const wchar_t* key : kVersionKeys) {
    wchar_t query[96];
    swprintf(query, 96, L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
             translation->code_page, key);
    wchar_t* value = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(data.data(), query, reinterpret_cast<void**>(&value), &chars) ||
        value == nullptr)
      continue;
    // The count includes the terminating NUL when there is one.
    std::wstring_view text(value, chars);
    if (!text.empty() && text.back() == L'\0') text.remove_suffix(1);
    *out += win::Utf8(key);
    out->push_back('\0');
    *out += win::Utf8(text);
    out->push_back('\0');
  }
  return 0;
}

}  // namespace platform
