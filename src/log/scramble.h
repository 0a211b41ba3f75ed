// The scramble of log files: each byte is XORed with 0x5A, except line ends and the two bytes
// that would become line ends ('P' and 'W'), which stay as they are. The map is its own
// inverse and works byte by byte, so lines survive, any part of a file can be read alone, and
// `tail -f` works on a scrambled file.
#pragma once

#include <cstddef>
#include <string>

namespace NORV::sLog {

inline constexpr unsigned char kScrambleKey = 0x5A;

inline char ScrambleByte(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u == '\n' || u == '\r' || u == ('\n' ^ kScrambleKey) || u == ('\r' ^ kScrambleKey)) return c;
  return static_cast<char>(u ^ kScrambleKey);
}

// Scrambling twice gives the text back.
inline void ScrambleInPlace(char* data, size_t size) {
  for (size_t i = 0; i < size; ++i) data[i] = ScrambleByte(data[i]);
}

inline std::string Scrambled(std::string text) {
  ScrambleInPlace(text.data(), text.size());
  return text;
}

// Every log file starts with this text; its scrambled form marks a scrambled file.
inline constexpr const char* kLogFileHeaderStart = "Log file created at: ";

}  // namespace NORV::sLog
