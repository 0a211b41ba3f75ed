// Windows on X11: one Display of our own behind a mutex, with error handlers that keep X errors
// on it from ever reaching Xlib's defaults and pass everyone else's on.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>

#include "platform/window.h"

namespace platform {

namespace {

// Read by the process-wide handlers, which also run on host threads for the host's displays.
std::atomic<Display*> g_display{nullptr};
std::atomic<int> g_trapped_error{0};
std::atomic<bool> g_display_broken{false};
XErrorHandler g_previous_error_handler = nullptr;
XIOErrorHandler g_previous_io_handler = nullptr;

int OnXError(Display* display, XErrorEvent* event) {
  if (display == g_display.load()) {
    g_trapped_error.store(event->error_code != 0 ? event->error_code : BadImplementation);
    return 0;
  }
  return g_previous_error_handler != nullptr ? g_previous_error_handler(display, event) : 0;
}

int OnXIOError(Display* display) {
  if (display == g_display.load()) {
    // The server went away. Returning leads to our exit handler below, which lets the call fail
    // instead of ending the process; the next call opens a new display.
    g_display_broken.store(true);
    return 0;
  }
  return g_previous_io_handler != nullptr ? g_previous_io_handler(display) : 0;
}

void OnXIOErrorExit(Display*, void*) {}

enum AtomIndex { kNetWmName, kUtf8String, kNetWmPid, kMotifWmHints, kWindowMessage, kAtomCount };
const char* const kAtomNames[kAtomCount] = {"_NET_WM_NAME", "UTF8_STRING", "_NET_WM_PID",
                                            "_MOTIF_WM_HINTS", kWindowMessageAtom};

// The connection's far end has closed: hang-up or end of file, with nothing left to read.
bool ServerHungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
  char byte;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

class Connection {
 public:
  static Connection& Get() {
    // Never destroyed: Xlib holds pointers to our handlers until the process ends.
    static Connection* connection = new Connection;
    return *connection;
  }

  std::mutex& mu() { return mu_; }

  // Under mu(). The open display, or nullptr when there is none to be had.
  Display* AcquireLocked() {
    // A server that went away while we were idle is noticed here, before Xlib runs into it and
    // takes its I/O-error path.
    if (display_ != nullptr && ServerHungUp(ConnectionNumber(display_)))
      g_display_broken.store(true);
    if (display_ != nullptr && g_display_broken.load()) {
      // Closing a display whose connection broke would only raise more I/O errors: it is left.
      display_ = nullptr;
      g_display.store(nullptr);
      g_display_broken.store(false);
    }
    if (display_ == nullptr) Open();
    return display_;
  }

  Atom atom(AtomIndex index) const { return atoms_[index]; }

 private:
  void Open() {
    std::call_once(handlers_once_, [] {
      XInitThreads();
      g_previous_error_handler = XSetErrorHandler(OnXError);
      g_previous_io_handler = XSetIOErrorHandler(OnXIOError);
    });
    const char* name = getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return;
    Display* display = XOpenDisplay(name);
    if (display == nullptr) return;
    XSetIOErrorExitHandler(display, OnXIOErrorExit, nullptr);
    g_display.store(display);
    if (XInternAtoms(display, const_cast<char**>(kAtomNames), kAtomCount, False, atoms_) == 0) {
      g_display.store(nullptr);
      XCloseDisplay(display);
      return;
    }
    display_ = display;
  }

  std::mutex mu_;
  std::once_flag handlers_once_;
  Display* display_ = nullptr;
  Atom atoms_[kAtomCount] = {};
};

// One call on our display: holds the lock and watches for errors.
class Session {
 public:
  Session() : lock_(Connection::Get().mu()), display_(Connection::Get().AcquireLocked()) {
    g_trapped_error.store(0);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  explicit operator bool() const { return display_ != nullptr; }
  Display* display() const { return display_; }
  Atom atom(AtomIndex index) const { return Connection::Get().atom(index); }

  // True when nothing failed since the session began or the last Reset.
  bool Ok() const { return g_trapped_error.load() == 0 && !g_display_broken.load(); }
  void Reset() { g_trapped_error.store(0); }
  // Waits for the server to handle every request so far, so that their errors have arrived.
  bool Sync() {
    XSync(display_, False);
    return Ok();
  }

 private:
  std::lock_guard<std::mutex> lock_;
  Display* display_;
};

Window ToWindow(HWND hwnd) { return static_cast<Window>(reinterpret_cast<uintptr_t>(hwnd)); }
HWND ToHwnd(Window window) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(window)); }

// A property's raw value, its type and format. False when the window or property is missing.
struct Property {
  Atom type = None;
  int format = 0;
  std::string bytes;                 // format 8
  std::vector<unsigned long> items;  // format 16 and 32 (Xlib hands these out as longs)
};

bool ReadProperty(Session& s, Window window, Atom name, Property* out) {
  if (name == None) return false;
  Atom type = None;
  int format = 0;
  unsigned long count = 0, bytes_after = 0;
  unsigned char* data = nullptr;
  s.Reset();
  int rc = XGetWindowProperty(s.display(), window, name, 0, 4096, False, AnyPropertyType, &type,
                              &format, &count, &bytes_after, &data);
  bool ok = rc == Success && s.Ok() && type != None;
  if (ok) {
    out->type = type;
    out->format = format;
    if (format == 8) {
      out->bytes.assign(reinterpret_cast<char*>(data), count);
    } else if (format == 16) {
      auto* values = reinterpret_cast<unsigned short*>(data);
      out->items.assign(values, values + count);
    } else if (format == 32) {
      auto* values = reinterpret_cast<unsigned long*>(data);
      out->items.assign(values, values + count);
    }
  }
  if (data != nullptr) XFree(data);
  return ok;
}

std::string Latin1ToUtf8(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Under a window manager the client is the window carrying WM_STATE inside the frame; without
// one the top-level window is the client itself.
Window FindClient(Session& s, Window top, Atom wm_state) {
  if (wm_state == None) return top;
  std::deque<std::pair<Window, int>> queue{{top, 0}};
  while (!queue.empty()) {
    auto [window, depth] = queue.front();
    queue.pop_front();
    Property state;
    if (ReadProperty(s, window, wm_state, &state)) return window;
    // Frames nest the client a level or two deep; deeper searches only cost round trips.
    if (depth >= 3) continue;
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    s.Reset();
    if (XQueryTree(s.display(), window, &root, &parent, &children, &count) != 0 && s.Ok()) {
      for (unsigned int i = 0; i < count; ++i) queue.push_back({children[i], depth + 1});
    }
    if (children != nullptr) XFree(children);
  }
  return top;
}

}  // namespace

bool HaveDisplay() {
  Session s;
  return static_cast<bool>(s);
}

std::vector<HWND> EnumTopLevelWindows() {
  std::vector<HWND> result;
  Session s;
  if (!s) return result;
  Window root = 0, parent = 0;
  Window* children = nullptr;
  unsigned int count = 0;
  if (XQueryTree(s.display(), DefaultRootWindow(s.display()), &root, &parent, &children, &count) ==
          0 ||
      !s.Ok()) {
    if (children != nullptr) XFree(children);
    return result;
  }
  // WM_STATE exists only once a window manager (or a client asking for it) has made the atom.
  Atom wm_state = XInternAtom(s.display(), "WM_STATE", True);
  // XQueryTree lists bottom to top.
  for (unsigned int i = count; i-- > 0;)
    result.push_back(ToHwnd(FindClient(s, children[i], wm_state)));
  if (children != nullptr) XFree(children);
  return result;
}

std::string GetWindowTitle(HWND hwnd) {
  Window window = ToWindow(hwnd);
  if (window == 0) return {};
  Session s;
  if (!s) return {};
  Property name;
  if (ReadProperty(s, window, s.atom(kNetWmName), &name) && name.format == 8 && !name.bytes.empty())
    return name.bytes;
  name = Property{};
  if (!ReadProperty(s, window, XA_WM_NAME, &name) || name.format != 8) return {};
  return name.type == XA_STRING ? Latin1ToUtf8(name.bytes) : name.bytes;
}

bool GetWindowClass(HWND hwnd, std::string* instance, std::string* class_name) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  Property wm_class;
  if (!ReadProperty(s, window, XA_WM_CLASS, &wm_class) || wm_class.format != 8) return false;
  // Two zero-terminated strings: the instance name, then the class name.
  const std::string& bytes = wm_class.bytes;
  size_t end = bytes.find('\0');
  if (instance != nullptr) *instance = bytes.substr(0, end);
  if (class_name != nullptr) {
    class_name->clear();
    if (end != std::string::npos) {
      std::string rest = bytes.substr(end + 1);
      *class_name = rest.substr(0, rest.find('\0'));
    }
  }
  return true;
}

DWORD GetWindowProcessId(HWND hwnd) {
  Window window = ToWindow(hwnd);
  if (window == 0) return 0;
  Session s;
  if (!s) return 0;
  Property pid;
  if (!ReadProperty(s, window, s.atom(kNetWmPid), &pid) || pid.format != 32 || pid.items.empty())
    return 0;
  return static_cast<DWORD>(pid.items[0]);
}

bool IsWindow(HWND hwnd) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  XWindowAttributes attributes;
  return XGetWindowAttributes(s.display(), window, &attributes) != 0 && s.Ok();
}

bool RemoveWindowDecorations(HWND hwnd, WindowDecorations* previous) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  if (previous != nullptr) {
    Property old;
    *previous = WindowDecorations();
    if (ReadProperty(s, window, s.atom(kMotifWmHints), &old) && old.format == 32) {
      previous->present = true;
      previous->values.assign(old.items.begin(), old.items.end());
    }
    s.Reset();  // a missing property is no failure
  }
  // flags = MWM_HINTS_DECORATIONS, then functions, decorations (none), input mode, status.
  long hints[5] = {2, 0, 0, 0, 0};
  XChangeProperty(s.display(), window, s.atom(kMotifWmHints), s.atom(kMotifWmHints), 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(hints), 5);
  return s.Sync();
}

bool RestoreWindowDecorations(HWND hwnd, const WindowDecorations& previous) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  if (!previous.present) {
    XDeleteProperty(s.display(), window, s.atom(kMotifWmHints));
  } else {
    std::vector<long> items(previous.values.begin(), previous.values.end());
    XChangeProperty(s.display(), window, s.atom(kMotifWmHints), s.atom(kMotifWmHints), 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(items.data()),
                    static_cast<int>(items.size()));
  }
  return s.Sync();
}

bool SetParent(HWND child, HWND parent) {
  Window child_window = ToWindow(child);
  Window parent_window = ToWindow(parent);
  if (child_window == 0 || parent_window == 0) return false;
  Session s;
  if (!s) return false;
  XReparentWindow(s.display(), child_window, parent_window, 0, 0);
  return s.Sync();
}

bool MoveWindow(HWND hwnd, int x, int y, int width, int height, bool /*repaint*/) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  XMoveResizeWindow(s.display(), window, x, y, static_cast<unsigned>(std::max(width, 1)),
                    static_cast<unsigned>(std::max(height, 1)));
  return s.Sync();
}

bool ShowWindow(HWND hwnd, int command) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  if (command == kSwHide)
    XUnmapWindow(s.display(), window);
  else
    XMapWindow(s.display(), window);
  return s.Sync();
}

bool GetClientSize(HWND hwnd, int* width, int* height) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  XWindowAttributes attributes;
  if (XGetWindowAttributes(s.display(), window, &attributes) == 0 || !s.Ok()) return false;
  if (width != nullptr) *width = attributes.width;
  if (height != nullptr) *height = attributes.height;
  return true;
}

bool UpdateWindow(HWND hwnd) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  XWindowAttributes attributes;
  // The attribute query is a round trip, so it also waits for everything sent before.
  return XGetWindowAttributes(s.display(), window, &attributes) != 0 && s.Ok();
}

bool PostMessage(HWND hwnd, uint32_t message, WPARAM wParam, LPARAM lParam) {
  Window window = ToWindow(hwnd);
  if (window == 0) return false;
  Session s;
  if (!s) return false;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.display = s.display();
  event.xclient.window = window;
  event.xclient.message_type = s.atom(kWindowMessage);
  event.xclient.format = 32;
  // The wire has 32 bits per item; cutting here makes that explicit.
  event.xclient.data.l[0] = static_cast<long>(message);
  event.xclient.data.l[1] = static_cast<long>(static_cast<uint32_t>(wParam));
  event.xclient.data.l[2] = static_cast<long>(static_cast<uint32_t>(lParam));
  // No event mask: the event goes to the client that created the window.
  if (XSendEvent(s.display(), window, False, NoEventMask, &event) == 0) return false;
  return s.Sync();
}

}  // namespace platform
