// Top-level windows of other programs, and what embedding one in a host window takes. On Linux
// an HWND is an X window id, reached through a Display of the plug-in's own.
//
// Every call may come from any thread; they are serialised on that Display. It is opened from
// $DISPLAY on first need, and again after its server went away. X errors on it (a stale or
// foreign window) make the call fail; they never reach Xlib's default handler, which would end
// the host. Without a display every call fails: false, 0, an empty string or an empty list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// The atom name of the window message's ClientMessage (see pellion_types.h).
inline constexpr char kWindowMessageAtom[] = "NORV_WINDOW_MESSAGE";

inline constexpr int kSwHide = 0;
inline constexpr int kSwShow = 5;

// True when the plug-in's display is open or could be opened now.
bool HaveDisplay();

// The top-level windows, topmost first, mapped or not. Under a window manager each is the client
// window (the one carrying WM_STATE), not the manager's frame.
std::vector<HWND> EnumTopLevelWindows();

// _NET_WM_NAME, else WM_NAME; UTF-8. Empty when the window has none or is gone.
std::string GetWindowTitle(HWND hwnd);
// Both strings of WM_CLASS (instance name, class name). False when the window has none or is gone.
bool GetWindowClass(HWND hwnd, std::string* instance, std::string* class_name);
// _NET_WM_PID, or 0.
DWORD GetWindowProcessId(HWND hwnd);
// The window exists.
bool IsWindow(HWND hwnd);

// What RemoveWindowDecorations replaced: on X11 the _MOTIF_WM_HINTS items, or none (`present`
// false); on Windows the style and the extended style.
struct WindowDecorations {
  bool present = false;
  std::vector<long long> values;
};
// Asks the window manager for no decorations (_MOTIF_WM_HINTS); Windows: drops the frame styles
// and sets WS_CHILD. `previous` (optional) gets what was there before.
bool RemoveWindowDecorations(HWND hwnd, WindowDecorations* previous = nullptr);
// Writes back what RemoveWindowDecorations replaced.
bool RestoreWindowDecorations(HWND hwnd, const WindowDecorations& previous);
// Makes `parent` the parent of `child`, at 0,0 of it.
bool SetParent(HWND child, HWND parent);
// X takes no empty size, so a width or height below 1 becomes 1.
bool MoveWindow(HWND hwnd, int x, int y, int width, int height, bool repaint);
// kSwHide unmaps; any other command maps. True when the request went through.
bool ShowWindow(HWND hwnd, int command);
// Size of the window's inside.
bool GetClientSize(HWND hwnd, int* width, int* height);
// Pushes pending requests to the server and waits until it has handled them.
bool UpdateWindow(HWND hwnd);

// Sends the window message to the client that created `hwnd`: a ClientMessage of type
// kWindowMessageAtom, format 32, l[0] = message, l[1] = wParam, l[2] = lParam. Each carries its
// low 32 bits; a receiver's Xlib sign-extends them into its longs.
bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam);

}  // namespace platform
