#include "ui/window.h"

#include <commctrl.h>

#include "app/appstate.h"
#include "app/instance.h"
#include "ntp/enginehooks.h"
#include "res/resource.h"
#include "sync/modes.h"
#include "sync/view.h"
#include "text/strings.h"
#include "ui/commands.h"
#include "ui/controls.h"
#include "ui/layout.h"
#include "ui/msgfilter.h"
#include "ui/resultlist.h"
#include "ui/runmodes.h"
#include "ui/syncview.h"
#include "ui/tray.h"

// The small icon also serves the tray; the scaled-down load keeps it sharp. The
// toolchain's import library lacks the function, so it is looked up in the
// common-controls library the manifest binds; a plain 32 x 32 load stands in
// where it is missing.
static HICON LoadSmallIcon(HINSTANCE instance) {
  typedef HRESULT(WINAPI * SCALEDOWN)(HINSTANCE, PCWSTR, int, int, HICON*);
  HMODULE commonControls = GetModuleHandleW(L"comctl32.dll");
  SCALEDOWN scaleDown = commonControls ? (SCALEDOWN)(void*)GetProcAddress(commonControls, "LoadIconWithScaleDown")
                                       : nullptr;
  HICON icon = nullptr;
  if (scaleDown && FAILED(scaleDown(instance, MAKEINTRESOURCEW(IDI_APP), 32, 32, &icon))) icon = nullptr;
  if (!icon) icon = (HICON)LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, 32, 32, 0);
  return icon;
}

void FillMainDescriptor(HINSTANCE instance) {
  WINDOWDESC* d = &g_mainDesc;
  d->instance = instance;
  d->parent = GetDesktopWindow();
  lstrcpynW(d->className, MAIN_CLASS_NAME, 128);
  lstrcpynW(d->text, PROGRAM_TITLE VERSION_TAG, 512);
  d->style = WS_OVERLAPPEDWINDOW;
  d->extendedStyle = 0;
  d->icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP));
  d->smallIcon = LoadSmallIcon(instance);
  d->font = g_app.fonts[0];
  d->sizeA = CLIENT_UNITS_W * g_layout.unit;
  d->sizeB = CLIENT_UNITS_H * g_layout.unit;
  d->background = g_app.brushes[BRUSH_WINDOW];
  d->procedure = MainWindowProc;
}

int RegisterMainClass(const WINDOWDESC* desc) {
  WNDCLASSEXW wc;
  ZeroMemory(&wc, sizeof wc);
  wc.cbSize = sizeof wc;
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = desc->procedure;
  wc.hInstance = desc->instance;
  wc.hIcon = desc->icon;
  wc.hIconSm = desc->smallIcon;
  wc.hbrBackground = desc->background;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = desc->className;
  if (RegisterClassExW(&wc)) return 1;
  return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

HWND CreateMainWindow(WINDOWDESC* desc) {
  if (!RegisterMainClass(desc)) return nullptr;
  const RECT& r = desc->rectangle;
  HWND window = CreateWindowExW(desc->extendedStyle, desc->className, desc->text, desc->style, r.left, r.top,
                                r.right - r.left, r.bottom - r.top, desc->parent, nullptr, desc->instance, desc);
  if (window) SendMessageW(window, WM_SETFONT, (WPARAM)desc->font, TRUE);
  return window;
}

static void OnNcCreate(HWND window) {
  LoadInterfaceStrings();   // the controls take their texts from it
  PublishInstanceWindow(window);
  ShowWindow(window, SW_HIDE);
  g_mainDesc.handle = window;
  RECT client = {0, 0, g_mainDesc.sizeA, g_mainDesc.sizeB};
  RECT outer = OuterSize(window, client);
  g_mainDesc.sizeA = outer.right - outer.left;
  g_mainDesc.sizeB = outer.bottom - outer.top;
  g_mainDesc.rectangle = CentredRect(g_mainDesc.sizeA, g_mainDesc.sizeB);
  MoveToRect(window, g_mainDesc.rectangle, TRUE);
}

static void OnCreate(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
  style &= ~(LONG_PTR)WS_THICKFRAME;
  SetWindowLongPtrW(window, GWL_STYLE, style);
  style &= ~(LONG_PTR)WS_MAXIMIZEBOX;
  SetWindowLongPtrW(window, GWL_STYLE, style);
  const int w = client.right - client.left, h = client.bottom - client.top;
  CreateControlsBeforeList(window, w);
  CreateResultList(window, w);
  CreateControlsAfterList(window, w, h);
  PlugEngineHooks();
  PlugSyncView(StageResultCell, ShowResultCells, ClearResultRow, ForgetResultCells);
  AllowShellMessages(window);
  StartRunMode(window);
}

static void OnDestroy(HWND window) {
  // Told to stop, not waited for: a worker may be inside a probe round. What
  // an attempt still writes goes nowhere once the controls are gone.
  AskWorkersToEnd();
  UnplugSyncView();
  TrayIcon(window, 0);
  PostQuitMessage(0);
}

static LRESULT OnNotify(const NMHDR* header) {
  if (header && header->hwndFrom == Ctl(CTL_RESULT_LIST) && header->code == (UINT)NM_CUSTOMDRAW)
    return DrawResultCell((NMLVCUSTOMDRAW*)header);
  return 0;
}

// Explorer sends this to every top-level window when it has (re)started its
// taskbar; a hidden window's tray icon went with the old one.
static UINT TaskbarCreatedMessage() {
  static UINT message;
  if (!message) message = RegisterWindowMessageW(L"TaskbarCreated");
  return message;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != 0 && message == TaskbarCreatedMessage()) {
    if (!IsWindowVisible(window)) TrayIcon(window, 1);
    return 0;
  }
  switch (message) {
    case WM_NCCREATE:
      OnNcCreate(window);
      break;
    case WM_GETMINMAXINFO: {
      MINMAXINFO* info = (MINMAXINFO*)lParam;
      info->ptMinTrackSize.x = g_mainDesc.sizeA;
      info->ptMinTrackSize.y = g_mainDesc.sizeB;
      break;
    }
    case WM_CREATE:
      OnCreate(window);
      break;
    case WM_SIZE:
      // Minimised or restored while shown (the taskbar, another program): the
      // display refresh pauses or takes up again. A hidden window has told the
      // workers itself.
      if (IsWindowVisible(window)) SetViewState(1, wParam != SIZE_MINIMIZED);
      break;
    case WM_COMMAND:
      OnCommand(window, wParam, lParam);
      break;
    case WM_SYSCOMMAND:
      return OnSysCommand(window, wParam, lParam);
    case WM_NOTIFY:
      return OnNotify((const NMHDR*)lParam);
    case WM_CTLCOLORSTATIC:
      return (LRESULT)StaticColours((HDC)wParam, (HWND)lParam);
    case WM_CLOSE:
      // Also a close asked for from outside waits for a manual attempt's end.
      if (!ManualAttemptRunning()) DestroyWindow(window);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;   // the session may end; nothing is destroyed until it does
    case WM_ENDSESSION:
      if (wParam) DestroyWindow(window);   // FALSE: another program cancelled the log-off
      return 0;
    case WM_DESTROY:
      OnDestroy(window);
      break;
    case WM_TRAYICON:
      if (lParam == WM_LBUTTONDOWN) RestoreFromTray(window);
      break;
    case WM_HANDOFF:
      RestoreFromTray(window);
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

static void LogHook(const wch* text) { AppendLog(Ctl(CTL_LOG), text, 0); }
static void ClearRowHook(int row) { ClearResultRow(row); }
static const wch* CandidateNoteHook() { return Str(117); }

void PlugEngineHooks() {
  g_engineHooks.appendLog = LogHook;
  g_engineHooks.clearResultRow = ClearRowHook;
  g_engineHooks.candidateNote = CandidateNoteHook;
}
