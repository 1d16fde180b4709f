// minwin: the smallest Win32 window program of this toolchain, the yardstick the
// footprint and start-to-exit benchmarks measure Quorlin against.
//
//   minwin.exe           shows one window and stays until it is closed
//   minwin.exe /close    creates one window (hidden, as Quorlin's is in the tray
//                        modes), posts itself WM_CLOSE and exits through the
//                        ordinary destroy and quit path
//
// The exit code is 0 on a normal close, 1 if the window could not be made.
#include <windows.h>

#include "yardstick.h"

namespace {

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool HasCloseOption(const wchar_t* commandLine) {
  static const wchar_t kOption[] = L"/close";
  for (const wchar_t* p = commandLine; *p; ++p) {
    int i = 0;
    while (kOption[i] && (p[i] | 0x20) == (kOption[i] | 0x20)) ++i;
    if (!kOption[i]) return true;
  }
  return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  static const wchar_t kClass[] = L"QuorlinBenchMinWin";
  bool closeAtOnce = HasCloseOption(GetCommandLineW());

  if (!RegisterYardstickClass(instance, kClass, WindowProc)) return 1;

  HWND window = CreateWindowExW(0, kClass, L"minwin", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 424,
                                216, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  if (closeAtOnce) {
    PostMessageW(window, WM_CLOSE, 0, 0);
  } else {
    ShowWindow(window, show);
    UpdateWindow(window);
  }
  return RunYardstickLoop();
}
