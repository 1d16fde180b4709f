// ctlwin: minwin with the furniture of Quorlin's main window, the second
// yardstick of bench/autosync. It makes what any program with that window must
// make, and nothing of Quorlin's own work: no servers, no workers, no clock.
//
//   ctlwin.exe /close    creates the window hidden, with Quorlin's child windows
//                        (four labels, five drop-down lists, one of them
//                        editable, a list view of six columns and eleven rows,
//                        three buttons, four check boxes, a group box and a
//                        multi-line edit box, in the interface font), adds a tray
//                        icon, posts itself WM_CLOSE and exits through the
//                        ordinary destroy and quit path, removing the icon
//                        (it reads no command line: /close only keeps both
//                        yardsticks started alike)
//
// The exit code is 0 on a normal close, 1 if the window could not be made.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include "yardstick.h"

namespace {

const UINT kTrayMessage = WM_APP + 7;

void TrayIcon(HWND window, DWORD what) {
  NOTIFYICONDATAW data = {};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = 1;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = kTrayMessage;
  data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));   // IDI_APPLICATION
  lstrcpynW(data.szTip, L"ctlwin", 64);
  Shell_NotifyIconW(what, &data);
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h) {
  HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  if (child) SendMessageW(child, WM_SETFONT, (WPARAM)GetStockObject(DEFAULT_GUI_FONT), TRUE);
  return child;
}

HWND Selector(HWND parent, DWORD kind, int x, int y, int items) {
  HWND box = Child(parent, L"ComboBox", nullptr, kind | WS_VSCROLL | WS_TABSTOP, x, y, 80, 200);
  for (int i = 0; i < items; ++i) {
    wchar_t text[16];
    wsprintfW(text, L"%d 秒", (i + 1) * 10);
    SendMessageW(box, CB_INSERTSTRING, (WPARAM)i, (LPARAM)text);
  }
  SendMessageW(box, CB_SETCURSEL, 0, 0);
  return box;
}

void MakeChildren(HWND window) {
  Child(window, L"Static", L"计算机", SS_LEFT, 8, 8, 160, 16);
  Child(window, L"Static", L"查询间隔", SS_RIGHT, 300, 8, 100, 16);
  Child(window, L"Static", L"00:00:00", SS_CENTER, 180, 4, 120, 28);
  Selector(window, CBS_DROPDOWNLIST, 410, 4, 9);

  HWND list = Child(window, WC_LISTVIEWW, nullptr, LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL | WS_BORDER, 4, 40,
                    600, 260);
  ListView_SetExtendedListViewStyle(list, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_DOUBLEBUFFER);
  SendMessageW(list, WM_SETREDRAW, FALSE, 0);
  for (int c = 0; c < 6; ++c) {
    LVCOLUMNW column = {};
    column.mask = LVCF_WIDTH | LVCF_TEXT | LVCF_FMT;
    column.fmt = LVCFMT_CENTER;
    column.cx = c == 0 ? 200 : 80;
    column.pszText = (LPWSTR)L"服务器";
    SendMessageW(list, LVM_INSERTCOLUMNW, (WPARAM)c, (LPARAM)&column);
  }
  for (int r = 0; r < 11; ++r) {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = r;
    item.pszText = (LPWSTR)L"127.0.0.1";
    SendMessageW(list, LVM_INSERTITEMW, 0, (LPARAM)&item);
  }
  SendMessageW(list, WM_SETREDRAW, TRUE, 0);
  Selector(list, CBS_DROPDOWN | CBS_AUTOHSCROLL, 200, 220, 2);
  Child(list, L"Button", L"保存", BS_AUTOCHECKBOX, 500, 220, 60, 18);

  Child(window, L"Button", L"关闭", BS_PUSHBUTTON | WS_TABSTOP, 520, 420, 80, 26);
  Child(window, L"Button", L"同步", BS_PUSHBUTTON | WS_TABSTOP, 430, 420, 80, 26);
  Child(window, L"Button", L"同步", BS_PUSHBUTTON | WS_TABSTOP, 430, 420, 80, 26);
  Child(window, L"Button", L"清除", BS_AUTOCHECKBOX, 300, 310, 80, 18);
  Selector(window, CBS_DROPDOWNLIST, 380, 310, 3);
  Child(window, L"Button", L"模式", BS_GROUPBOX, 300, 340, 300, 70);
  Child(window, L"Static", nullptr, SS_LEFT, 300, 412, 300, 16);
  Child(window, L"Button", L"自动", BS_AUTOCHECKBOX, 310, 360, 80, 18);
  Child(window, L"Button", L"周期", BS_AUTOCHECKBOX, 400, 360, 80, 18);
  Selector(window, CBS_DROPDOWNLIST, 310, 382, 10);
  Selector(window, CBS_DROPDOWNLIST, 400, 382, 9);
  Child(window, L"Edit", nullptr, ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | WS_VSCROLL | WS_BORDER, 4, 310, 290,
        140);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      MakeChildren(window);
      TrayIcon(window, NIM_ADD);
      return 0;
    case WM_DESTROY:
      TrayIcon(window, NIM_DELETE);
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  static const wchar_t kClass[] = L"QuorlinBenchCtlWin";
  INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFFFFFFFFu};
  InitCommonControlsEx(&controls);

  if (!RegisterYardstickClass(instance, kClass, WindowProc)) return 1;

  HWND window = CreateWindowExW(0, kClass, L"ctlwin", WS_OVERLAPPEDWINDOW & ~(WS_THICKFRAME | WS_MAXIMIZEBOX),
                                CW_USEDEFAULT, CW_USEDEFAULT, 636, 500, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;
  PostMessageW(window, WM_CLOSE, 0, 0);
  return RunYardstickLoop();
}
