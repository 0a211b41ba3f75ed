// Path helpers of the SDK: this module's and the executable's paths, and joining a relative
// name to a path's folder. Wide strings, as the callers speak them.
#pragma once

#include <string>
#include <string_view>

namespace NORV::sFileManager {

std::wstring GetModuleFilePath();
std::wstring GetExeFilePath();

// The folder of `path` (cut at its last separator; '\' counts as '/') joined with `relative`.
// Empty when `path` is empty or has no separator, so callers fail instead of writing at the root.
std::wstring CombineWithDirectory(const std::wstring& path, const std::wstring& relative);

// The file name of `path` without its last extension: "/x/Pellion.so" -> "Pellion". A '.' in a
// folder name does not count; a name without '.' is taken whole.
std::string ModuleBaseName(std::string_view path);

// The program-data root: $NORV_PROGRAMDATA, else ${XDG_STATE_HOME:-$HOME/.local/state}
// (Windows: %ProgramData%).
std::string ProgramDataRoot();

// UTF-8 <-> wide strings (UTF-32 on Linux, UTF-16 on Windows). What is not a character
// (broken or overlong sequences, lone surrogates, values past U+10FFFF) becomes U+FFFD.
std::wstring ToWide(std::string_view utf8);
std::string ToNarrow(std::wstring_view wide);

}  // namespace NORV::sFileManager
