// A stand-in X11 program for window tests: one top-level window with the given WM_CLASS,
// _NET_WM_NAME (and WM_NAME) and _NET_WM_PID. Options:
//   --class NAME       WM_CLASS class name (instance name: --instance, else the same)
//   --title TEXT       the title              --unmapped       create it without mapping it
//   --no-window        connect, but make no window
//   --late-ms N        make the window only after N ms
//   --exit-after-ms N  destroy the window and exit after N ms (default: run until killed)
//   --argv-file FILE   write the arguments to FILE, one a line
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

Window MakeWindow(Display* display, const std::string& instance, const std::string& class_name,
                  const std::string& title, bool mapped) {
  Window window =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 10, 10, 200, 150, 0, 0, 0);
  XClassHint hint{const_cast<char*>(instance.c_str()), const_cast<char*>(class_name.c_str())};
  XSetClassHint(display, window, &hint);
  XStoreName(display, window, title.c_str());
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False),
                  XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
  long pid = getpid();
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
  if (mapped) XMapWindow(display, window);
  XSync(display, False);
  return window;
}

}  // namespace

int main(int argc, char** argv) {
  std::string class_name = "FakeWindow", instance, title = "Fake window";
  bool make_window = true, mapped = true;
  long late_ms = 0, exit_after_ms = -1;
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (opt == "--class") {
      class_name = value, ++i;
    } else if (opt == "--instance") {
      instance = value, ++i;
    } else if (opt == "--title") {
      title = value, ++i;
    } else if (opt == "--unmapped") {
      mapped = false;
    } else if (opt == "--no-window") {
      make_window = false;
    } else if (opt == "--late-ms") {
      late_ms = atol(value), ++i;
    } else if (opt == "--exit-after-ms") {
      exit_after_ms = atol(value), ++i;
    } else if (opt == "--argv-file") {
      if (FILE* f = fopen(value, "we")) {
        for (int k = 0; k < argc; ++k) fprintf(f, "%s\n", argv[k]);
        fclose(f);
      }
      ++i;
    }
  }
  if (instance.empty()) instance = class_name;

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) {
    fprintf(stderr, "fake_window: no display\n");
    return 2;
  }
  const long start = NowMs();
  Window window = 0;
  for (;;) {
    long now = NowMs() - start;
    if (make_window && window == 0 && now >= late_ms)
      window = MakeWindow(display, instance, class_name, title, mapped);
    if (exit_after_ms >= 0 && now >= exit_after_ms) break;
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
    }
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, 10);
  }
  if (window != 0) XDestroyWindow(display, window);
  XCloseDisplay(display);
  return 0;
}
