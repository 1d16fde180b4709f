#include "sync/modes.h"

#include "app/appstate.h"
#include "ntp/clock.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/setclock.h"
#include "sync/refresh.h"
#include "sync/texts.h"
#include "sync/worker.h"
#include "text/settings.h"
#include "text/strings.h"
#include "ui/commands.h"
#include "ui/layout.h"
#include "ui/tray.h"
#include "ui/window.h"

#define ID_PRIVILEGE_FAILED 118
#define ID_SUCCESS 119
#define ID_FAILED 120
#define ID_NO_SERVER 121
#define ID_DELAY 106
#define ID_ZSCORE 143

// Counts SyncAttempt runs modulo LOG_CLEAR_EVERY; only one attempt runs at a time.
static uint32_t g_attemptCounter;

uint64_t SecondsToMs(uint64_t seconds) {
  return seconds > UINT64_MAX / 1000 ? UINT64_MAX : seconds * 1000;
}

const wch* OutcomeMessage(int code) {
  if (code >= 0) return Str(ID_SUCCESS);
  if (code == SYNC_SET_FAILED) return Str(ID_FAILED);
  if (code == SYNC_NO_PRIVILEGE) return Str(ID_PRIVILEGE_FAILED);
  return Str(ID_NO_SERVER);
}

static void SetStatusText(const wchar_t* text) { SetWindowTextW(Ctl(CTL_STATUS), text); }

static void ShowPeriodicStatusFor(uint64_t minutes) {
  wchar_t text[TEXT_CHARS];
  StatusPeriodic(text, TEXT_CHARS, minutes);
  SetStatusText(text);
}

static void Log(const wchar_t* text, int lineEnd) { AppendLog(Ctl(CTL_LOG), text, lineEnd); }

static void StartPeriodicWorker() {
  g_periodicWorker.job = SyncAttempt;
  g_periodicWorker.argument = nullptr;
  g_periodicWorker.periodMs = (DWORD)(g_app.cycleMinutes * 60000);
  StartWorker(&g_periodicWorker);
}

void StartRunMode(HWND window) {
  g_refreshWorker.job = RefreshDisplay;
  g_refreshWorker.argument = nullptr;
  g_refreshWorker.periodMs = REFRESH_PERIOD_MS;
  StartWorker(&g_refreshWorker);

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
      StartPeriodicWorker();
    } else {
      const uint64_t item = g_app.autoSyncLimit / 10;
      SendMessageW(Ctl(CTL_SECONDS), CB_SETCURSEL, item > 9 ? (WPARAM)-1 : (WPARAM)item, 0);
      StatusAutomatic(status, TEXT_CHARS, g_app.autoSyncLimit);
      g_app.autoSyncLimit = SecondsToMs(g_app.autoSyncLimit);
      HANDLE thread = CreateThread(nullptr, 0, AutoSyncLoop, nullptr, 0, nullptr);
      if (thread) CloseHandle(thread);
    }
  }
  SendMessageW(Ctl(CTL_AUTO), BM_SETCHECK, g_app.autoChecked ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageW(Ctl(CTL_PERIODIC), BM_SETCHECK, g_app.cycleChecked ? BST_CHECKED : BST_UNCHECKED, 0);
  EnableWindow(Ctl(CTL_SECONDS), g_app.autoChecked ? TRUE : FALSE);
  EnableWindow(Ctl(CTL_INTERVAL), g_app.cycleChecked ? TRUE : FALSE);
  SetStatusText(status);
}

void SyncStamp(wch* out, unsigned long cap) {
  if (!cap) return;
  out[0] = 0;
  for (int row = 0; row < SERVER_COUNT; ++row) {
    SERVERROW copy;
    LockTable();
    copy = g_workTable[row];
    UnlockTable();
    if (copy.delayMs == DELAY_NONE || !(copy.zScore < 1.0)) continue;
    SYSTEMTIME local;
    if (FileTimeToLocalSystemTime(EstimateServerTime(&copy) + CLOCK_LEAD_100NS, &local)) FormatTime(out, cap, &local);
    return;
  }
}

int32_t SyncAttempt(void*) {
  if (g_attemptCounter == 0) SetWindowTextW(Ctl(CTL_LOG), L"");
  g_attemptCounter = (g_attemptCounter + 1) % LOG_CLEAR_EVERY;
  StopWorker(&g_probeWorker);
  StopWorker(&g_refreshWorker);
  wchar_t stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
  const int code = ProbeAndSetClock(nullptr);
  Log(OutcomeMessage(code), 1);
  StartWorker(&g_probeWorker);
  StartWorker(&g_refreshWorker);
  if (g_app.runMode == 0) ShowSyncButton(1);
  return code >= 0 ? 1 : 0;
}

int ManualSync() {
  DisableControls();
  StopWorker(&g_probeWorker);
  StopWorker(&g_refreshWorker);
  if (!g_app.logClearedOnce) {
    SetWindowTextW(Ctl(CTL_LOG), L"");
    g_app.logClearedOnce = 1;
  }
  ClearLogIfAsked();
  Log(L"", 1);
  if (g_app.otherServerChanged) {
    g_app.otherServerChanged = 0;
    ProbeOtherServer(4);
  }
  wchar_t stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
  SYNCOUTCOME outcome = {0, 0.0};
  const int code = SendMessageW(Ctl(CTL_SCHEME), CB_GETCURSEL, 0, 0) != 0 ? ProbeAndSetClock(&outcome)
                                                                          : SetClockFromBest(&outcome);
  StartWorker(&g_refreshWorker);
  if (code >= 0) {
    Log(Str(ID_SUCCESS), 1);
    wchar_t delay[24], score[TEXT_CHARS], line[TEXT_CHARS];
    FormatUnsigned(delay, 24, outcome.delayMs);
    FormatDecimal3(score, TEXT_CHARS, outcome.zScore);
    JoinText(line, TEXT_CHARS, L"         ", Str(ID_DELAY), L" = ", delay, L"; ", Str(ID_ZSCORE), L" = ", score,
             (const wch*)nullptr);
    Log(line, 1);
  } else {
    Log(L" ", 0);
    Log(Str(ID_FAILED), 1);
  }
  StartWorker(&g_probeWorker);
  RestoreControls();
  return code >= 0 ? 1 : 0;
}

DWORD WINAPI AutoSyncLoop(void*) {
  EnableWindow(Ctl(CTL_INTERVAL), FALSE);
  EnableWindow(Ctl(CTL_SCHEME), FALSE);
  SendMessageW(Ctl(CTL_SCHEME), CB_SETCURSEL, 1, 0);
  const uint32_t t0 = (uint32_t)GetCounterMs();
  g_app.runMode = 2;
  for (;;) {
    if (SyncAttempt(nullptr)) break;
    Sleep(AUTO_RETRY_PAUSE_MS);
    const uint64_t elapsed = (uint32_t)((uint32_t)GetCounterMs() - t0);
    if (g_app.autoSyncLimit != 0 && elapsed >= g_app.autoSyncLimit) break;
    if (g_app.runMode != 2) return 0;
  }
  if (g_app.runMode == 2) PostMessageW(MainWindow(), WM_CLOSE, 0, 0);
  return 0;
}

void StartPeriodicFromWindow(HWND window) {
  ShowPeriodicStatus();   // takes cycleMinutes from the interval selector
  ShowWindow(window, SW_HIDE);
  TrayIcon(window, 1);
  g_app.runMode = 1;
  EnableWindow(Ctl(CTL_SCHEME), FALSE);
  StartPeriodicWorker();
  ShowSyncButton(0);
}

void ChangePeriod() {
  if (g_app.runMode != 1) return;
  const LRESULT item = SendMessageW(Ctl(CTL_INTERVAL), CB_GETCURSEL, 0, 0);
  g_app.cycleMinutes = (uint64_t)((item < 0 ? 0 : item) + 1) * 10;
  StopWorker(&g_periodicWorker);
  g_periodicWorker.periodMs = (DWORD)(g_app.cycleMinutes * 60000);
  StartWorker(&g_periodicWorker);
  ShowPeriodicStatusFor(g_app.cycleMinutes);
}

void LeavePeriodicMode() {
  if (g_app.runMode == 1) ShowSyncButton(AnyServerAnswered() ? 1 : 0);
  ShowManualStatus();
  AskWorkerToEnd(&g_periodicWorker);
  EnableWindow(Ctl(CTL_INTERVAL), FALSE);
  EnableWindow(Ctl(CTL_SCHEME), TRUE);
  DeleteAutostartEntry();
  RemovePeriodicItem();
  g_app.runMode = 0;
}

void CancelAutomaticMode() {
  ShowManualStatus();
  ShowSyncButton(AnyServerAnswered() ? 1 : 0);
  g_app.runMode = 0;
}
