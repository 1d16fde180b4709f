#include "ui/syncview.h"

#include "sync/view.h"
#include "text/strings.h"
#include "ui/base.h"
#include "ui/resultlist.h"
#include "ui/tray.h"

namespace {

void Log(const wch* text, int lineEnd) { AppendLog(Ctl(CTL_LOG), text, lineEnd); }
void ClearLog() { SetWindowTextW(Ctl(CTL_LOG), L""); }
void ClockLabel(const wch* text) { SetWindowTextW(Ctl(CTL_CLOCK_LABEL), text); }

void Cell(int row, int column, const wch* text) {
  if (g_listView) g_listView->StageCellText(row, column, text);
}

void ShowCells() {
  if (g_listView) g_listView->ShowStagedCells();
}

int SchemeItem() { return (int)SendMessageW(Ctl(CTL_SCHEME), CB_GETCURSEL, 0, 0); }

void AutomaticControls() {
  EnableWindow(Ctl(CTL_INTERVAL), FALSE);
  EnableWindow(Ctl(CTL_SCHEME), FALSE);
  SendMessageW(Ctl(CTL_SCHEME), CB_SETCURSEL, 1, 0);
}

// Posted, not sent: the window closes on its own thread once the attempt thread has let go.
void Close() { PostMessageW(MainWindow(), WM_CLOSE, 0, 0); }

}  // namespace

void PlugSyncView() {
  SYNCVIEW view;
  view.log = Log;
  view.clearLog = ClearLog;
  view.clearLogIfAsked = ClearLogIfAsked;
  view.syncButtons = ShowSyncButton;
  view.clockLabel = ClockLabel;
  view.cell = Cell;
  view.showCells = ShowCells;
  view.clearRow = ClearResultRow;
  view.lock = DisableControls;
  view.unlock = RestoreControls;
  view.schemeItem = SchemeItem;
  view.automaticControls = AutomaticControls;
  view.close = Close;
  g_syncView = view;
}
