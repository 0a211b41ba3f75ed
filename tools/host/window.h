// pellion-host's window: an SDL2 texture in NV12, resized to each picture's size. It also
// hosts the phone-screen mirror, and sees the plug-in's window messages.
#pragma once

// SDL's X11 headers define Success and others as macros: include this after CLI11.
#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>

#include "picture_sink.h"

namespace pellion_tools {

class Window : public PictureSink {
 public:
  Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;
  ~Window() override;
  bool Open();
  // The X11 id of the window, as a host hands it to the mirror.
  unsigned long X11Id();
  bool Take(const pellion::FrameHeader& h, const std::vector<uint8_t>& nv12) override;
  // False once the user closed the window.
  bool Pump() override;
  // Hands X events to the event loop too, so that the plug-in's window messages are seen.
  void WatchWindowMessages() { SDL_EventState(SDL_SYSWMEVENT, SDL_ENABLE); }
  struct MirrorEvents {
    bool quit = false;
    bool toggle = false;  // the M key
    bool ended = false;   // the plug-in's end notice
  };
  // Waits at most timeout_ms for events and sorts them out.
  MirrorEvents PumpMirror(uint32_t end_message, int timeout_ms);

 private:
  bool Fail(const char* what);
  bool IsEndNotice(const SDL_SysWMmsg& msg, uint32_t end_message);
  static Atom InternWindowMessageAtom(Display* display);

  Atom message_atom_ = 0;
  SDL_Window* window_ = nullptr;
  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  int w_ = 0, h_ = 0;
};

}  // namespace pellion_tools
