#include "ui/tray.h"

#include <shellapi.h>

#include "app/appstate.h"
#include "text/memblock.h"
#include "text/strings.h"
#include "ui/commands.h"
#include "ui/window.h"

void TrayIcon(HWND window, int add) {
  NOTIFYICONDATAW data;
  ZeroMemory(&data, sizeof data);
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = TRAY_ICON_ID;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAYICON;
  data.hIcon = g_mainDesc.smallIcon;
  lstrcpynW(data.szTip, PROGRAM_TITLE, sizeof data.szTip / sizeof data.szTip[0]);
  Shell_NotifyIconW(add ? NIM_ADD : NIM_DELETE, &data);
}

void RestoreFromTray(HWND window) {
  if (IsWindowVisible(window)) return;
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

// The saved states: the manual synchronisation thread alone touches them,
// between DisableControls and RestoreControls.
struct CONTROLSTATE {
  HWND window;
  int32_t enabled;
};
static CONTROLSTATE* g_savedStates;
static uint32_t g_savedCount;
static uint32_t g_savedRoom;   // records the table has room for

static int IsLabel(HWND window) {
  wchar_t name[16];
  if (!GetClassNameW(window, name, 16)) return 0;
  return lstrcmpW(name, L"Static") == 0;
}

static BOOL CALLBACK DisableOne(HWND window, LPARAM) {
  if (IsLabel(window)) return TRUE;
  EnumChildWindows(window, DisableOne, 0);
  // Without room to remember its state a control is left as it is, so that the
  // restore cannot miss it.
  if (g_savedCount >= g_savedRoom) return TRUE;
  g_savedStates[g_savedCount].window = window;
  g_savedStates[g_savedCount].enabled = IsWindowEnabled(window) ? 1 : 0;
  EnableWindow(window, FALSE);
  ++g_savedCount;
  CONTROLSTATE* grown = (CONTROLSTATE*)ResizeBlock(g_savedStates, (g_savedCount + 1) * sizeof(CONTROLSTATE));
  if (grown) {
    g_savedStates = grown;
    g_savedRoom = g_savedCount + 1;
  }
  return TRUE;
}

static BOOL CALLBACK RestoreOne(HWND window, LPARAM) {
  if (IsLabel(window)) return TRUE;
  for (uint32_t i = 0; i < g_savedCount; ++i) {
    if (g_savedStates[i].window == window) {
      EnableWindow(window, g_savedStates[i].enabled ? TRUE : FALSE);
      EnumChildWindows(window, RestoreOne, 0);
      return TRUE;
    }
  }
  return TRUE;
}

void DisableControls() {
  g_savedCount = 0;
  ReleaseBlock(&g_savedStates);
  g_savedStates = (CONTROLSTATE*)NewBlock(sizeof(CONTROLSTATE));
  g_savedRoom = g_savedStates ? 1 : 0;
  SetCloseCommand(0);
  EnumChildWindows(MainWindow(), DisableOne, 0);
}

void RestoreControls() {
  EnumChildWindows(MainWindow(), RestoreOne, 0);
  SetCloseCommand(1);
  ReleaseBlock(&g_savedStates);
  g_savedCount = g_savedRoom = 0;
}
