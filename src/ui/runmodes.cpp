#include "ui/runmodes.h"

#include "app/appstate.h"
#include "ntp/probe.h"
#include "sync/modes.h"
#include "sync/texts.h"
#include "text/settings.h"
#include "ui/base.h"
#include "ui/layout.h"

// The sync button back in manual mode, unless an attempt runs: that attempt's
// own end shows it.
static void ShowButtonForManualMode() {
  if (!AttemptRunning()) ShowSyncButton(AnyServerAnswered() ? 1 : 0);
}

void StartRunMode(HWND window) {
  // The display refresh runs only for a window that is shown: manual mode's.
  SetViewState(g_app.runMode == 0, g_app.runMode == 0);

  if ((g_app.runMode == 1 || g_app.cycleChecked) && SendMessageW(Ctl(CTL_SCHEME), CB_GETCOUNT, 0, 0) == 2)
    InsertPeriodicItem();
  if (g_app.cycleMinutes < 10) g_app.cycleMinutes = 10;
  if (g_app.cycleMinutes > 90) g_app.cycleMinutes = 90;

  EnableWindow(Ctl(CTL_SYNC2), FALSE);
  ShowSyncButton(0);
  PlaceMainWindow(window, g_app.runMode == 0, 0);

  wchar_t status[TEXT_CHARS];
  StatusManual(status, TEXT_CHARS);
  if (g_app.runMode == 1 || g_app.runMode == 2) {
    TrayIcon(window, 1);
    if (g_app.runMode == 1) {
      SendMessageW(Ctl(CTL_SCHEME), CB_SETCURSEL, 2, 0);
      EnableWindow(Ctl(CTL_SCHEME), FALSE);
      SendMessageW(Ctl(CTL_INTERVAL), CB_SETCURSEL, (WPARAM)(g_app.cycleMinutes / 10 - 1), 0);
      StatusPeriodic(status, TEXT_CHARS, g_app.cycleMinutes);
      StartPeriodicSync(g_app.cycleMinutes);
    } else {
      const uint64_t item = g_app.autoSyncLimit / 10;
      SendMessageW(Ctl(CTL_SECONDS), CB_SETCURSEL, item > 9 ? (WPARAM)-1 : (WPARAM)item, 0);
      StatusAutomatic(status, TEXT_CHARS, g_app.autoSyncLimit);
      g_app.autoSyncLimit = SecondsToMs(g_app.autoSyncLimit);
      StartAutomaticSync();
    }
  }
  SendMessageW(Ctl(CTL_AUTO), BM_SETCHECK, g_app.autoChecked ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageW(Ctl(CTL_PERIODIC), BM_SETCHECK, g_app.cycleChecked ? BST_CHECKED : BST_UNCHECKED, 0);
  EnableWindow(Ctl(CTL_SECONDS), g_app.autoChecked ? TRUE : FALSE);
  EnableWindow(Ctl(CTL_INTERVAL), g_app.cycleChecked ? TRUE : FALSE);
  SetStatus(status);
}

void SyncCommand(HWND window) {
  // In a hidden mode the button stands hidden; a click that still arrives (a
  // posted command, a stale button) must not start an attempt beside the mode's.
  if (g_app.runMode != 0 || AttemptRunning()) return;
  if (SendMessageW(Ctl(CTL_SCHEME), CB_GETCURSEL, 0, 0) == 2)
    StartPeriodicFromWindow(window);
  else
    StartManualSync();
}

void StartPeriodicFromWindow(HWND window) {
  ShowPeriodicStatus();   // takes cycleMinutes from the interval selector
  ShowWindow(window, SW_HIDE);
  SetViewState(0, 0);
  TrayIcon(window, 1);
  g_app.runMode = 1;
  EnableWindow(Ctl(CTL_SCHEME), FALSE);
  StartPeriodicSync(g_app.cycleMinutes);
  ShowSyncButton(0);
}

void ChangePeriod() {
  if (g_app.runMode != 1) return;
  ShowPeriodicStatus();   // takes cycleMinutes from the interval selector
  RetimePeriodicSync(g_app.cycleMinutes);
}

void LeavePeriodicMode() {
  if (g_app.runMode == 1) ShowButtonForManualMode();
  ShowManualStatus();
  EndPeriodicSync();
  EnableWindow(Ctl(CTL_INTERVAL), FALSE);
  EnableWindow(Ctl(CTL_SCHEME), TRUE);
  DeleteAutostartEntry();
  RemovePeriodicItem();
  g_app.runMode = 0;
}

void LeavePeriodicForAutomatic() {
  ShowManualStatus();
  EndPeriodicSync();
}

void CancelAutomaticMode() {
  ShowManualStatus();
  ShowButtonForManualMode();
  g_app.runMode = 0;
}
