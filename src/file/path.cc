// Path helpers: UTF-8 <-> wide conversion, folder joins, module and program-data locations.
#include "file/path.h"

#include <cstdlib>

#include "platform/module.h"

namespace NORV::sFileManager {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::string ToNarrow(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<char32_t>(text[i]);
    // UTF-16 (Windows): a high surrogate followed by a low one is one character.
    if (sizeof(wchar_t) == 2 && c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) {
      auto low = static_cast<char32_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring ToWide(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80           ? 1
                    : (lead >> 5) == 0x6  ? 2
                    : (lead >> 4) == 0xE  ? 3
                    : (lead >> 3) == 0x1E ? 4
                                          : 0;
    char32_t c = length == 1   ? lead
                 : length == 2 ? lead & 0x1F
                 : length == 3 ? lead & 0x0F
                               : lead & 0x07;
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters.
    static constexpr char32_t kMinimum[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (c < kMinimum[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)))
      valid = false;
    if (!valid) c = kReplacement;
    if (sizeof(wchar_t) == 2 && c >= 0x10000) {
      out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<wchar_t>(c);
    }
    i += valid ? length : 1;
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
