#include "ui/syncview.h"

#include <stdint.h>

#include "sync/view.h"
#include "text/strings.h"
#include "ui/base.h"

namespace {

void Log(const wch* text, int lineEnd) { AppendLog(Ctl(CTL_LOG), text, lineEnd); }
void ClearLog() { SetWindowTextW(Ctl(CTL_LOG), L""); }
void ClockLabel(const wch* text) { SetWindowTextW(Ctl(CTL_CLOCK_LABEL), text); }

int SchemeItem() { return (int)SendMessageW(Ctl(CTL_SCHEME), CB_GETCURSEL, 0, 0); }

void AutomaticControls() {
  EnableWindow(Ctl(CTL_INTERVAL), FALSE);
  EnableWindow(Ctl(CTL_SCHEME), FALSE);
  SendMessageW(Ctl(CTL_SCHEME), CB_SETCURSEL, 1, 0);
}

// Posted, not sent: the window closes on its own thread once the attempt thread has let go.
void Close() { PostMessageW(MainWindow(), WM_CLOSE, 0, 0); }

}  // namespace

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

void PlugSyncView(void (*cell)(int, int, const wch*), void (*showCells)(), void (*clearRow)(int),
                  void (*forgetCells)()) {
  SYNCVIEW view;
  view.log = Log;
  view.clearLog = ClearLog;
  view.clearLogIfAsked = ClearLogIfAsked;
  view.syncButtons = ShowSyncButton;
  view.clockLabel = ClockLabel;
  view.cell = cell;
  view.showCells = showCells;
  view.clearRow = clearRow;
  view.lock = DisableControls;
  view.unlock = RestoreControls;
  view.schemeItem = SchemeItem;
  view.automaticControls = AutomaticControls;
  view.close = Close;
  view.forgetCells = forgetCells;
  g_syncView = view;
}
