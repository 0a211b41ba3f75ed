// A Windows stand-in for the programs the plug-in starts. What it does follows its own name:
//   adb.exe connect ADDRESS   prints "connected to ADDRESS" (ADDRESS "fail:..." prints a refusal)
//   scrcpy.exe, mirror-tool*  shows a window of class "SDL_app" titled "Vex_KVT300" until closed
//                             or killed
//   anything else             --print TEXT (to stdout and stderr), --exit CODE, --sleep-ms N,
//                             --window CLASS TITLE
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) PostQuitMessage(0);
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

int ShowWindowUntilClosed(const wchar_t* class_name, const wchar_t* title) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = class_name;
  if (RegisterClassExW(&wc) == 0) return 3;
  HWND hwnd = CreateWindowExW(0, class_name, title, WS_OVERLAPPEDWINDOW, 0, 0, 320, 240, nullptr,
                              nullptr, wc.hInstance, nullptr);
  if (hwnd == nullptr) return 4;
  ShowWindow(hwnd, SW_SHOW);
  std::printf("window %p\n", static_cast<void*>(hwnd));
  std::fflush(stdout);
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

std::wstring Wide(const char* s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n - 1 : 0), L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s, -1, w.data(), n);
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string name(self, n);
  name = name.substr(name.find_last_of("\\/") + 1);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  if (name == "adb.exe") {
    if (argc == 3 && std::string(argv[1]) == "connect") {
      if (std::string(argv[2]).rfind("fail:", 0) == 0)
        std::printf("cannot connect to %s: refused\n", argv[2]);
      else
        std::printf("connected to %s\n", argv[2]);
      return 0;
    }
    return 1;
  }
  if (name == "scrcpy.exe" || name.rfind("mirror-tool", 0) == 0)
    return ShowWindowUntilClosed(L"SDL_app", L"Vex_KVT300");

  int code = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--print" && i + 1 < argc) {
      std::printf("%s\n", argv[++i]);
      std::fprintf(stderr, "%s\n", argv[i]);
      std::fflush(stdout);
    } else if (a == "--exit" && i + 1 < argc) {
      code = std::atoi(argv[++i]);
    } else if (a == "--sleep-ms" && i + 1 < argc) {
      Sleep(static_cast<DWORD>(std::atoi(argv[++i])));
    } else if (a == "--window" && i + 2 < argc) {
      std::wstring class_name = Wide(argv[i + 1]), title = Wide(argv[i + 2]);
      i += 2;
      return ShowWindowUntilClosed(class_name.c_str(), title.c_str());
    } else {
      return 2;
    }
  }
  return code;
}
