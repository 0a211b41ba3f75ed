// Windows on Win32: HWND is the system's own handle, so every call is the Win32 call of the same
// name, with the X11 backend's results (false, 0, "" or none for a window that is gone).
#include "platform/win_util.h"

#include <algorithm>

#include "platform/window.h"

namespace platform {

namespace {

BOOL CALLBACK AddWindow(HWND hwnd, LPARAM windows) {
  // No exception may unwind through user32.
  try {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(hwnd);
    return TRUE;
  } catch (...) {
    return FALSE;
  }
}

// Titles are short; this only bounds the growing buffer.
constexpr size_t kLongestTitle = 1 << 16;

}  // namespace

bool HaveDisplay() { return true; }

std::vector<HWND> EnumTopLevelWindows() {
  std::vector<HWND> windows;
  // EnumWindows goes in Z order, topmost first.
  if (!EnumWindows(AddWindow, reinterpret_cast<LPARAM>(&windows))) windows.clear();
  return windows;
}

std::string GetWindowTitle(HWND hwnd) {
  if (hwnd == nullptr) return {};
  // InternalGetWindowText reads the stored title. GetWindowTextW would send WM_GETTEXT to a
  // window of our own process, and wait for ever for a host thread that is blocked on us.
  std::wstring text(256, L'\0');
  for (;;) {
    int n = InternalGetWindowText(hwnd, text.data(), static_cast<int>(text.size()));
    if (n <= 0) return {};
    if (static_cast<size_t>(n) + 1 < text.size() || text.size() >= kLongestTitle) {
      text.resize(static_cast<size_t>(n));
      return win::Utf8(text);
    }
    text.resize(text.size() * 2);
  }
}

bool GetWindowClass(HWND hwnd, std::string* instance, std::string* class_name) {
  if (hwnd == nullptr) return false;
  // Class names are at most 256 characters.
  wchar_t name[257];
  int n = GetClassNameW(hwnd, name, 257);
  if (n <= 0) return false;
  // Windows has one class name; both strings of WM_CLASS stand for it.
  std::string text = win::Utf8(std::wstring_view(name, static_cast<size_t>(n)));
  if (instance != nullptr) *instance = text;
  if (class_name != nullptr) *class_name = text;
  return true;
}

DWORD GetWindowProcessId(HWND hwnd) {
  if (hwnd == nullptr) return 0;
  ::DWORD pid = 0;
  if (GetWindowThreadProcessId(hwnd, &pid) == 0) return 0;
  return pid;
}

bool IsWindow(HWND hwnd) { return hwnd != nullptr && ::IsWindow(hwnd) != FALSE; }

namespace {

bool SetStyles(HWND hwnd, LONG_PTR style, LONG_PTR ex_style) {
  ::SetLastError(ERROR_SUCCESS);
  if (SetWindowLongPtrW(hwnd, GWL_STYLE, style) == 0 && ::GetLastError() != ERROR_SUCCESS)
    return false;
  ::SetLastError(ERROR_SUCCESS);
  if (SetWindowLongPtrW(hwnd, GWL_EXSTYLE, ex_style) == 0 && ::GetLastError() != ERROR_SUCCESS)
    return false;
  // The frame is drawn from the styles only when told they changed.
  return SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                      SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE |
                          SWP_NOOWNERZORDER) != FALSE;
}

}  // namespace

bool RemoveWindowDecorations(HWND hwnd, WindowDecorations* previous) {
  if (hwnd == nullptr) return false;
  // A window always has some style: 0 is a failure.
  LONG_PTR style = GetWindowLongPtrW(hwnd, GWL_STYLE);
  if (style == 0) return false;
  ::SetLastError(ERROR_SUCCESS);
  LONG_PTR ex_style = GetWindowLongPtrW(hwnd, GWL_EXSTYLE);
  if (ex_style == 0 && ::GetLastError() != ERROR_SUCCESS) return false;
  if (previous != nullptr) {
    previous->present = true;
    previous->values = {static_cast<long long>(style), static_cast<long long>(ex_style)};
  }

  // No frame, and a child's style before SetParent, as that call asks for.
  style &= ~static_cast<LONG_PTR>(WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX |
                                  WS_MAXIMIZEBOX | WS_POPUP);
  style |= WS_CHILD;
  ex_style &= ~static_cast<LONG_PTR>(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE |
                                     WS_EX_STATICEDGE);
  return SetStyles(hwnd, style, ex_style);
}

bool RestoreWindowDecorations(HWND hwnd, const WindowDecorations& previous) {
  if (hwnd == nullptr || !previous.present || previous.values.size() != 2) return false;
  return SetStyles(hwnd, static_cast<LONG_PTR>(previous.values[0]),
                   static_cast<LONG_PTR>(previous.values[1]));
}

bool SetParent(HWND child, HWND parent) {
  if (child == nullptr || parent == nullptr) return false;
  // The result is the former parent, which may be none: only the last error tells a failure.
  ::SetLastError(ERROR_SUCCESS);
  if (::SetParent(child, parent) == nullptr && ::GetLastError() != ERROR_SUCCESS) return false;
  return SetWindowPos(child, nullptr, 0, 0, 0, 0,
                      SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER) != FALSE;
}

bool MoveWindow(HWND hwnd, int x, int y, int width, int height, bool repaint) {
  if (hwnd == nullptr) return false;
  // Windows takes an empty size, not a negative one.
  return ::MoveWindow(hwnd, x, y, std::max(width, 0), std::max(height, 0), repaint) != FALSE;
}

bool ShowWindow(HWND hwnd, int command) {
  if (hwnd == nullptr || !::IsWindow(hwnd)) return false;
  // Its result is whether the window was visible before, not whether the call worked.
  ::ShowWindow(hwnd, command == kSwHide ? SW_HIDE : command);
  return true;
}

bool GetClientSize(HWND hwnd, int* width, int* height) {
  if (hwnd == nullptr) return false;
  RECT rect{};
  if (!GetClientRect(hwnd, &rect)) return false;
  if (width != nullptr) *width = rect.right - rect.left;
  if (height != nullptr) *height = rect.bottom - rect.top;
  return true;
}

bool UpdateWindow(HWND hwnd) { return hwnd != nullptr && ::UpdateWindow(hwnd) != FALSE; }

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
  if (hwnd == nullptr) return false;
  return PostMessageW(hwnd, message, static_cast<::WPARAM>(wParam),
                      static_cast<::LPARAM>(lParam)) != FALSE;
}

}  // namespace platform
