// AdbConnector: connects adb to the phone over the network before mirroring starts, and judges
// from adb's output whether the connection stands.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class CancelToken;
}

class AdbConnector {
 public:
#ifdef _WIN32
  static constexpr const char* kCommandFormat = "scrcpy\\adb.exe connect %s:%d";
#else
  static constexpr const char* kCommandFormat = "scrcpy/adb connect %s:%d";
#endif
  static constexpr int kAdbPort = 5555;
  static constexpr const char* kSuccessText = "connected to ";
  // Generous: adb answers within seconds, or hangs for good.
  static constexpr int64_t kDefaultTimeoutMs = 30000;

  // `exe_path` stands for the host executable's path (empty: the real one); adb is looked for
  // in a "scrcpy" folder beside it. A set `cancel` (optional; it must outlive the connector)
  // kills a running adb as the limit does.
  explicit AdbConnector(int64_t timeout_ms = kDefaultTimeoutMs, std::wstring exe_path = {},
                        platform::CancelToken* cancel = nullptr);
  virtual ~AdbConnector();

  // Caller's thread; blocks until adb is done, at most timeout_ms. A hanging adb is killed with
  // everything it started in its group, and counts as not connected.
  bool Connect(const std::string& address);

  // The success text anywhere in the output, letter case aside.
  static bool IsConnected(std::string_view output);

 private:
  const int64_t timeout_ms_;
  const std::wstring exe_path_;
  platform::CancelToken* const cancel_;
};
