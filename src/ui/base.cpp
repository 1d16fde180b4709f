#include "ui/base.h"

#include <shellapi.h>

#include "app/appstate.h"
#include "sync/texts.h"
#include "text/strings.h"

WINDOWDESC g_mainDesc;
WINDOWDESC g_controls[CTL_COUNT];

LRESULT CurrentItem(HWND selector) { return SendMessageW(selector, CB_GETCURSEL, 0, 0); }

void InsertSelectorItem(HWND selector, int index, const wchar_t* text) {
  SendMessageW(selector, CB_INSERTSTRING, (WPARAM)index, (LPARAM)text);
}

void SetStatus(const wchar_t* text) { SetWindowTextW(Ctl(CTL_STATUS), text); }

void ShowManualStatus() {
  wchar_t text[TEXT_CHARS];
  StatusManual(text, TEXT_CHARS);
  SetStatus(text);
}

void ShowPeriodicStatus() {
  const LRESULT item = CurrentItem(Ctl(CTL_INTERVAL));
  g_app.cycleMinutes = (uint64_t)((item < 0 ? 0 : item) + 1) * 10;
  wchar_t text[TEXT_CHARS];
  StatusPeriodic(text, TEXT_CHARS, g_app.cycleMinutes);
  SetStatus(text);
}

// The display refresh calls this five times a second: a window that already has
// the wanted visibility is left alone, so an idle window costs no messages. The
// control's own style is asked, not IsWindowVisible: that is false for every
// child of a hidden main window, and the button would never be hidden there.
static void SetVisible(HWND control, int visible) {
  if (!control) return;
  const int shown = (GetWindowLongPtrW(control, GWL_STYLE) & WS_VISIBLE) != 0;
  if (shown == (visible != 0)) return;
  ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

void ShowSyncButton(int flag) {
  SetVisible(Ctl(CTL_SYNC), flag);
  SetVisible(Ctl(CTL_SYNC2), !flag);
}

int IsTicked(HWND checkBox) { return SendMessageW(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }

void ClearLogIfAsked() {
  if (IsTicked(Ctl(CTL_CLEAR))) SetWindowTextW(Ctl(CTL_LOG), L"");
}

void InsertPeriodicItem() { InsertSelectorItem(Ctl(CTL_SCHEME), 2, Str(137)); }

void RemovePeriodicItem() {
  HWND scheme = Ctl(CTL_SCHEME);
  const LRESULT item = CurrentItem(scheme);
  SendMessageW(scheme, CB_DELETESTRING, 2, 0);
  if (item == 2) SendMessageW(scheme, CB_SETCURSEL, 0, 0);
}

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

