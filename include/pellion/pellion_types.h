// Handle types shared by the plug-in and its host.
#pragma once

#include <cstdint>

// A window handle. On Linux it holds an X11 window id (0 = none), carried in a pointer-sized
// value so that the interface is the same on both platforms.
typedef struct HWND__* HWND;

// Window messages to a host window. On Linux the plug-in posts a message to a host window (for
// example the end notice of the mirroring window) as an X ClientMessage event sent to that
// window with no event mask, so it reaches the client that created the window:
//   message_type  the atom "NORV_WINDOW_MESSAGE"
//   format        32
//   data.l[0]     the message number
//   data.l[1]     wParam
//   data.l[2]     lParam
// Each value carries 32 bits on the wire; Xlib hands them to the receiver sign-extended in a
// long, so a receiver takes the low 32 bits.
