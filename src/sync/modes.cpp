#include "sync/modes.h"

#include "app/appstate.h"
#include "ntp/clock.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/setclock.h"
#include "ntp/sntp.h"
#include "sync/refresh.h"
#include "sync/texts.h"
#include "sync/view.h"
#include "sync/worker.h"
#include "text/strings.h"

#define ID_PRIVILEGE_FAILED 118
#define ID_SUCCESS 119
#define ID_FAILED 120
#define ID_NO_SERVER 121
#define ID_DELAY 106
#define ID_ZSCORE 143

// Counts SyncAttempt runs modulo LOG_CLEAR_EVERY; the gate lets one attempt at a time touch it.
static uint32_t g_attemptCounter;
// Which attempt runs, 0 for none. Taken before a manual thread exists (so a
// second command finds it taken at once) and by every hidden-mode attempt.
#define GATE_HIDDEN 1
#define GATE_MANUAL 2
static volatile LONG g_attemptGate;

static int TakeAttemptGate(LONG kind) { return InterlockedCompareExchange(&g_attemptGate, kind, 0) == 0; }
static void ReleaseAttemptGate() { InterlockedExchange(&g_attemptGate, 0); }
int AttemptRunning() { return g_attemptGate != 0; }
int ManualAttemptRunning() { return g_attemptGate == GATE_MANUAL; }

uint64_t SecondsToMs(uint64_t seconds) {
  return seconds > UINT64_MAX / 1000 ? UINT64_MAX : seconds * 1000;
}

const wch* OutcomeMessage(int code) {
  if (code >= 0) return Str(ID_SUCCESS);
  if (code == SYNC_SET_FAILED) return Str(ID_FAILED);
  if (code == SYNC_NO_PRIVILEGE) return Str(ID_PRIVILEGE_FAILED);
  return Str(ID_NO_SERVER);
}

static DWORD PeriodMsOf(uint64_t minutes) {
  const uint64_t ms = minutes * 60000;
  return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : (DWORD)ms;
}

void StartDisplayRefresh() { StartWorker(&g_refreshWorker, RefreshDisplay, nullptr, REFRESH_PERIOD_MS); }

void StartPeriodicSync(uint64_t minutes) { StartWorker(&g_periodicWorker, SyncAttempt, nullptr, PeriodMsOf(minutes)); }

void RetimePeriodicSync(uint64_t minutes) { RetimeWorker(&g_periodicWorker, PeriodMsOf(minutes)); }

void EndPeriodicSync() { AskWorkerToEnd(&g_periodicWorker); }

void SetProbeInterval(DWORD periodMs) { RetimeWorker(&g_probeWorker, periodMs); }

void AskWorkersToEnd() {
  AskWorkerToEnd(&g_periodicWorker);
  AskWorkerToEnd(&g_probeWorker);
  AskWorkerToEnd(&g_refreshWorker);
}

void StartAutomaticSync() {
  HANDLE thread = CreateThread(nullptr, 0, AutoSyncLoop, nullptr, 0, nullptr);
  if (thread) CloseHandle(thread);
}

static DWORD WINAPI ManualSyncThread(void*) { return (DWORD)ManualSync(); }

int StartManualSync() {
  if (!TakeAttemptGate(GATE_MANUAL)) return 0;
  HANDLE thread = CreateThread(nullptr, 0, ManualSyncThread, nullptr, 0, nullptr);
  if (!thread) {
    ReleaseAttemptGate();
    return 0;
  }
  CloseHandle(thread);
  return 1;
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

static void Log(const wch* text, int lineEnd) { g_syncView.log(text, lineEnd); }

static void LogStamp() {
  wch stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
}

// ProbeAndSetClock with the line's stamp. Where no trusted answer is at hand
// when the attempt starts (the first one after start-up cuts the round that
// would have given it one), the stamp comes from the attempt's own round,
// ahead of the notes of the servers the clock setting tries.
static int StampProbeAndSetClock(SYNCOUTCOME* outcome) {
  wch stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
  const unsigned passes = SYNC_PROBE_PASSES;
  ProbeServers(&passes);
  if (!stamp[0]) LogStamp();
  return SetClockFromBest(outcome);
}

// A hidden-mode attempt with the gate held. The automatic loop keeps the probe
// worker paused between its retries: each attempt makes its own round.
static int32_t HiddenAttempt(int resumeProbe) {
  if (g_attemptCounter == 0) g_syncView.clearLog();
  g_attemptCounter = (g_attemptCounter + 1) % LOG_CLEAR_EVERY;
  // The background round in progress need not wait for its silent servers:
  // this attempt asks every server again.
  CutPasses(1);
  StopWorker(&g_probeWorker);
  CutPasses(0);
  StopWorker(&g_refreshWorker);
  const int code = StampProbeAndSetClock(nullptr);
  Log(OutcomeMessage(code), 1);
  if (resumeProbe) ResumeWorker(&g_probeWorker);
  StartDisplayRefresh();
  if (g_app.runMode == 0) g_syncView.syncButtons(1);
  return code >= 0 ? 1 : 0;
}

static int32_t GatedHiddenAttempt(int resumeProbe) {
  if (!TakeAttemptGate(GATE_HIDDEN)) return 0;
  const int32_t ok = HiddenAttempt(resumeProbe);
  ReleaseAttemptGate();
  return ok;
}

int32_t SyncAttempt(void*) { return GatedHiddenAttempt(1); }

// The gate was taken by StartManualSync.
int ManualSync() {
  g_syncView.lock();
  StopWorker(&g_probeWorker);
  StopWorker(&g_refreshWorker);
  if (!g_app.logClearedOnce) {
    g_syncView.clearLog();
    g_app.logClearedOnce = 1;
  }
  g_syncView.clearLogIfAsked();
  Log(L"", 1);
  if (g_app.otherServerChanged) {
    g_app.otherServerChanged = 0;
    ProbeOtherServer(4);
  }
  SYNCOUTCOME outcome = {0, 0.0};
  int code;
  if (g_syncView.schemeItem() != 0) {
    code = StampProbeAndSetClock(&outcome);
  } else {
    LogStamp();
    code = SetClockFromBest(&outcome);
  }
  StartDisplayRefresh();
  if (code >= 0) {
    Log(Str(ID_SUCCESS), 1);
    wch delay[24], score[TEXT_CHARS], line[TEXT_CHARS];
    FormatUnsigned(delay, 24, outcome.delayMs);
    FormatDecimal3(score, TEXT_CHARS, outcome.zScore);
    JoinText(line, TEXT_CHARS, L"         ", Str(ID_DELAY), L" = ", delay, L"; ", Str(ID_ZSCORE), L" = ", score,
             (const wch*)nullptr);
    Log(line, 1);
  } else {
    Log(L" ", 0);
    Log(Str(ID_FAILED), 1);
  }
  ResumeWorker(&g_probeWorker);
  g_syncView.unlock();
  ReleaseAttemptGate();
  return code >= 0 ? 1 : 0;
}

DWORD WINAPI AutoSyncLoop(void*) {
  g_syncView.automaticControls();
  const uint32_t t0 = (uint32_t)GetCounterMs();
  g_app.runMode = 2;
  for (;;) {
    if (GatedHiddenAttempt(0)) break;
    Sleep(AUTO_RETRY_PAUSE_MS);
    const uint64_t elapsed = (uint32_t)((uint32_t)GetCounterMs() - t0);
    if (g_app.autoSyncLimit != 0 && elapsed >= g_app.autoSyncLimit) break;
    if (g_app.runMode != 2) break;
  }
  if (g_app.runMode == 2) {
    g_syncView.close();
    return 0;
  }
  // Left for manual mode: the probe worker takes up its rounds again, unless a
  // manual attempt has begun meanwhile (that one resumes it when it ends).
  if (TakeAttemptGate(GATE_HIDDEN)) {
    ResumeWorker(&g_probeWorker);
    ReleaseAttemptGate();
  }
  return 0;
}
