// A test's own X client, standing for a host application or another program's window.
// Include gtest and the project's headers first: Xlib's None and Bool macros would break them.
#pragma once

#include "platform/window.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace testing_util {

inline HWND H(Window w) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(w)); }
inline Window W(HWND h) { return static_cast<Window>(reinterpret_cast<uintptr_t>(h)); }

class XClient {
 public:
  XClient() : display_(XOpenDisplay(nullptr)) {}
  ~XClient() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  XClient(const XClient&) = delete;
  XClient& operator=(const XClient&) = delete;
  Display* display() const { return display_; }
  Atom Intern(const char* name) { return XInternAtom(display_, name, False); }

  // A 320x240 window on the root; an empty class pair, an empty title or a zero pid set none.
  Window Create(const std::string& instance, const std::string& class_name,
                const std::string& title, bool mapped, long pid = 0) {
    Window w = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 320, 240, 0, 0, 0);
    if (!instance.empty() || !class_name.empty()) {
      XClassHint hint{const_cast<char*>(instance.c_str()), const_cast<char*>(class_name.c_str())};
      XSetClassHint(display_, w, &hint);
    }
    if (!title.empty()) SetTitle(w, Intern("_NET_WM_NAME"), Intern("UTF8_STRING"), title);
    if (pid != 0)
      XChangeProperty(display_, w, Intern("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&pid), 1);
    if (mapped) XMapWindow(display_, w);
    XSync(display_, False);
    return w;
  }
  // Sets `property` (_NET_WM_NAME, or the old WM_NAME) to `title` of the given type.
  void SetTitle(Window w, Atom property, Atom type, const std::string& title) {
    XChangeProperty(display_, w, property, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
    XSync(display_, False);
  }

  Window Parent(Window w) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display_, w, &root, &parent, &children, &count);
    if (children != nullptr) XFree(children);
    return parent;
  }
  XWindowAttributes Attributes(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(display_, w, &a);
    return a;
  }
  // The next ClientMessage to this client within `timeout`. A zero timeout still sees every
  // event the server sent before this call (XSync is a round trip).
  bool NextClientMessage(XClientMessageEvent* out,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    XSync(display_, False);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == ClientMessage) {
          *out = event.xclient;
          return true;
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{ConnectionNumber(display_), POLLIN, 0};
      poll(&p, 1, static_cast<int>(left.count()));
    }
  }

 private:
  Display* display_;
};

}  // namespace testing_util
