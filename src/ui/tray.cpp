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

void SetCloseCommand(int enabled) {
  HMENU menu = GetSystemMenu(MainWindow(), FALSE);
  if (menu) EnableMenuItem(menu, SC_CLOSE, MF_BYCOMMAND | (enabled ? MF_ENABLED : (MF_GRAYED | MF_DISABLED)));
}

// The saved states, in a fixed table: the manual synchronisation thread alone
// touches them, between DisableControls and RestoreControls, and takes no block
// from the register, which the interface thread may be using at that moment.
struct CONTROLSTATE {
  HWND window;
  int32_t enabled;
};
#define SAVED_STATES 64   // the controls, their inner edit and list windows, with room to spare
static CONTROLSTATE g_savedStates[SAVED_STATES];
static uint32_t g_savedCount;

static int IsLabel(HWND window) {
  wchar_t name[16];
  if (!GetClassNameW(window, name, 16)) return 0;
  return lstrcmpW(name, L"Static") == 0;
}

static BOOL CALLBACK RememberOne(HWND window, LPARAM) {
  if (IsLabel(window)) return TRUE;
  // Without room to remember its state a control is left as it is, so that the
  // restore cannot miss it.
  if (g_savedCount >= SAVED_STATES) return TRUE;
  g_savedStates[g_savedCount].window = window;
  g_savedStates[g_savedCount].enabled = IsWindowEnabled(window) ? 1 : 0;
  ++g_savedCount;
  return TRUE;
}

// Every state is read before any control is disabled: a combo box disables its
// own edit field with it, which would otherwise be remembered as disabled.
void DisableControls() {
  g_savedCount = 0;
  SetCloseCommand(0);
  EnumChildWindows(MainWindow(), RememberOne, 0);
  for (uint32_t i = 0; i < g_savedCount; ++i) EnableWindow(g_savedStates[i].window, FALSE);
}

// Parents come before their children in the table, so a child's own state is
// set after its parent has passed its state on to it.
void RestoreControls() {
  for (uint32_t i = 0; i < g_savedCount; ++i)
    EnableWindow(g_savedStates[i].window, g_savedStates[i].enabled ? TRUE : FALSE);
  SetCloseCommand(1);
  g_savedCount = 0;
}
