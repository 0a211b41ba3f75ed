#include "window.h"

#include <dlfcn.h>

#include <cstdio>

namespace pellion_tools {

bool Window::Open() {
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return Fail("SDL_Init");
  window_ = SDL_CreateWindow("pellion-host", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, 960,
                             540, SDL_WINDOW_RESIZABLE);
  if (window_ == nullptr) return Fail("SDL_CreateWindow");
  renderer_ = SDL_CreateRenderer(window_, -1, 0);
  if (renderer_ == nullptr) return Fail("SDL_CreateRenderer");
  return true;
}

Window::~Window() {
  if (texture_ != nullptr) SDL_DestroyTexture(texture_);
  if (renderer_ != nullptr) SDL_DestroyRenderer(renderer_);
  if (window_ != nullptr) SDL_DestroyWindow(window_);
  SDL_Quit();
}

unsigned long Window::X11Id() {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (window_ == nullptr || !SDL_GetWindowWMInfo(window_, &info) || info.subsystem != SDL_SYSWM_X11)
    return 0;
  return info.info.x11.window;
}

bool Window::Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) {
  if (texture_ == nullptr || h.width != w_ || h.height != h_) {
    if (texture_ != nullptr) SDL_DestroyTexture(texture_);
    texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_NV12, SDL_TEXTUREACCESS_STREAMING,
                                 h.width, h.height);
    w_ = h.width;
    h_ = h.height;
  }
  if (texture_ == nullptr) return true;
  const uint8_t* uv = nv12.data() + static_cast<size_t>(w_) * h_;
  SDL_UpdateNVTexture(texture_, nullptr, nv12.data(), w_, uv, 2 * ((w_ + 1) / 2));
  SDL_RenderClear(renderer_);
  SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
  SDL_RenderPresent(renderer_);
  return true;
}

Window::MirrorEvents Window::PumpMirror(uint32_t end_message, int timeout_ms) {
  MirrorEvents events;
  SDL_Event e;
  for (int got = SDL_WaitEventTimeout(&e, timeout_ms); got != 0; got = SDL_PollEvent(&e)) {
    if (e.type == SDL_QUIT) events.quit = true;
    if (e.type == SDL_KEYDOWN && e.key.keysym.sym == SDLK_m && e.key.repeat == 0)
      events.toggle = true;
    if (e.type == SDL_SYSWMEVENT && IsEndNotice(*e.syswm.msg, end_message)) events.ended = true;
  }
  return events;
}

bool Window::Pump() {
  SDL_Event e;
  while (SDL_PollEvent(&e))
    if (e.type == SDL_QUIT) return false;
  return true;
}

bool Window::Fail(const char* what) {
  std::fprintf(stderr, "pellion-host: %s: %s\n", what, SDL_GetError());
  return false;
}

// The plug-in posts its window messages as ClientMessage "NORV_WINDOW_MESSAGE" (see
// pellion_types.h); the end notice carries the host's message number and wParam 1.
bool Window::IsEndNotice(const SDL_SysWMmsg& msg, uint32_t end_message) {
  if (msg.subsystem != SDL_SYSWM_X11) return false;
  const XEvent& x = msg.msg.x11.event;
  if (x.type != ClientMessage || x.xclient.format != 32) return false;
  if (message_atom_ == 0) message_atom_ = InternWindowMessageAtom(x.xclient.display);
  return x.xclient.message_type == message_atom_ &&
         static_cast<uint32_t>(x.xclient.data.l[0]) == end_message &&
         static_cast<uint32_t>(x.xclient.data.l[1]) == 1;
}

// SDL loads Xlib itself: its XInternAtom is borrowed rather than linked a second time.
Atom Window::InternWindowMessageAtom(Display* display) {
  void* xlib = dlopen("libX11.so.6", RTLD_NOW | RTLD_NOLOAD);
  if (xlib == nullptr) return 0;
  using InternAtom = Atom (*)(Display*, const char*, int);
  auto intern = reinterpret_cast<InternAtom>(dlsym(xlib, "XInternAtom"));
  Atom atom = intern != nullptr ? intern(display, "NORV_WINDOW_MESSAGE", 0) : 0;
  dlclose(xlib);
  return atom;
}

}  // namespace pellion_tools
