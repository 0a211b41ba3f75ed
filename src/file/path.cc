// Path helpers: UTF-8 <-> wide conversion, folder joins, module and program-data locations.
#include "file/path.h"

#include <cstdlib>

#include "platform/module.h"

namespace NORV::sFileManager {

std::wstring ToWide(std::string_view utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    char32_t cp = 0xFFFD;
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > utf8.size()) {
      ++i;
    } else {
      cp = len == 1 ? c : c & (0x7F >> len);
      bool ok = true;
      for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(utf8[i + k]);
        if ((cc & 0xC0) != 0x80) ok = false;
        cp = (cp << 6) | (cc & 0x3F);
      }
      if (!ok) cp = 0xFFFD;
      i += ok ? len : 1;
    }
    if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
      // UTF-16 (Windows): a surrogate pair.
      out.push_back(static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
  }
  return out;
}

std::string ToNarrow(std::wstring_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (size_t i = 0; i < wide.size(); ++i) {
    char32_t cp = static_cast<char32_t>(wide[i]);
    if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp < 0xE000) {
      char32_t low = i + 1 < wide.size() ? static_cast<char32_t>(wide[i + 1]) : 0;
      if (cp < 0xDC00 && low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    }
    if (cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::wstring GetModuleFilePath() { return ToWide(platform::ModuleFilePath()); }

std::wstring GetExeFilePath() { return ToWide(platform::ExeFilePath()); }

std::wstring CombineWithDirectory(const std::wstring& path, const std::wstring& relative) {
  size_t cut = path.find_last_of(L"/\\");
  if (path.empty() || cut == std::wstring::npos) return {};
#ifdef _WIN32
  return path.substr(0, cut) + L"\\" + relative;
#else
  return path.substr(0, cut) + L"/" + relative;
#endif
}

std::string ModuleBaseName(std::string_view path) {
  size_t sep = path.find_last_of("/\\");
  std::string_view name = sep == std::string_view::npos ? path : path.substr(sep + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

namespace {

// An environment variable as UTF-8; empty when unset. Windows' narrow environment is in the
// code page, so the wide one is read there.
std::string Env(const char* name) {
#ifdef _WIN32
  const wchar_t* value = _wgetenv(ToWide(name).c_str());
  return value != nullptr ? ToNarrow(value) : std::string();
#else
  const char* value = std::getenv(name);
  return value != nullptr ? value : std::string();
#endif
}

}  // namespace

std::string ProgramDataRoot() {
  if (std::string root = Env("NORV_PROGRAMDATA"); !root.empty()) return root;
#ifdef _WIN32
  std::string data = Env("ProgramData");
  return !data.empty() ? data : "C:\\ProgramData";
#else
  if (std::string state = Env("XDG_STATE_HOME"); !state.empty()) return state;
  return Env("HOME") + "/.local/state";
#endif
}

}  // namespace NORV::sFileManager
