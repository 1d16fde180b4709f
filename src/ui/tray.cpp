#include "ui/tray.h"

#include "app/appstate.h"
#include "sync/modes.h"
#include "text/strings.h"
#include "ui/base.h"

void RestoreFromTray(HWND window) {
  if (IsWindowVisible(window)) {
    // A window left minimised on the taskbar comes back as well.
    if (IsIconic(window)) {
      ShowWindow(window, SW_RESTORE);
      SetForegroundWindow(window);
    }
    return;
  }
  // Up to date before it is seen; its probing and refresh take up again.
  SetViewState(1, 1);
  ShowWindow(window, SW_SHOW);
  SendMessageW(window, WM_SYSCOMMAND, SC_RESTORE, 0);
  TrayIcon(window, 0);
  SetForegroundWindow(window);
}

LRESULT OnSysCommand(HWND window, WPARAM wParam, LPARAM lParam) {
  switch (wParam & 0xFFF0) {
    case SC_MINIMIZE:
      DefWindowProcW(window, WM_SYSCOMMAND, wParam, lParam);
      ShowWindow(window, SW_HIDE);
      SetViewState(0, 0);
      TrayIcon(window, 1);
      break;
    case SC_CLOSE:
      if (ConfirmClose(window)) DefWindowProcW(window, WM_SYSCOMMAND, wParam, lParam);
      break;
    default:
      DefWindowProcW(window, WM_SYSCOMMAND, wParam, lParam);
      break;
  }
  return 0;
}

int ConfirmClose(HWND window) {
  // The attempt thread still writes to the window and the clock: closing waits
  // until it has logged its outcome.
  if (ManualAttemptRunning()) return 0;
  if (g_app.runMode != 1 || !IsTicked(Ctl(CTL_PERIODIC))) return 1;
  wchar_t text[2 * STRING_CHARS + 3];
  lstrcpynW(text, Str(140), STRING_CHARS);
  lstrcatW(text, L"\r\n");
  lstrcatW(text, Str(141));
  return MessageBoxW(window, text, Str(142), MB_YESNO) == IDYES;
}
