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
// second command finds it taken at once) and by every hidden-mode attempt; the
// view holds it for the moment it takes to bring the workers in line with the
// window, and an attempt waits that moment out.
#define GATE_HIDDEN 1
#define GATE_MANUAL 2
#define GATE_VIEW 3
static volatile LONG g_attemptGate;

// The window as the workers see it, written by the interface thread. Until the
// window says otherwise, the workers run as for a visible one.
static volatile LONG g_viewShown = 1;
static volatile LONG g_viewLive = 1;
static volatile LONG g_viewChanged;   // a change the workers have not followed yet
static volatile LONG g_probeHeld;     // the automatic loop: no rounds between its retries
// Shows counted, and the count as it was when the last round began and when the
// last complete round began: a round is due, and the samples at hand are older
// than the window's return, until a round that began after the last show.
static volatile LONG g_shows;
static volatile LONG g_roundBegun;
static volatile LONG g_roundAnswered;

// The holder of the gate may be waiting for a worker that sends to this
// thread's windows: sent messages are handled meanwhile.
static void WaitBriefly() {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_SENDMESSAGE);
  MSG msg;
  PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

static int TakeAttemptGate(LONG kind) {
  for (;;) {
    const LONG held = InterlockedCompareExchange(&g_attemptGate, kind, 0);
    if (held == 0) return 1;
    if (held != GATE_VIEW) return 0;
    WaitBriefly();
  }
}
static void FollowView();
static void ReleaseAttemptGate() {
  InterlockedExchange(&g_attemptGate, 0);
  FollowView();
}
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

int QuickSamplesStale() { return g_roundAnswered != g_shows; }
static int RoundDue() { return g_roundBegun != g_shows; }

static void LogNtsReasons();

// The cut of the background round in flight, null between rounds; under the
// table lock, so that a cutter never sets a signal its round has closed.
static CUTSIGNAL* g_backgroundCut;

// The probe worker's job: a background round, noted for the show it follows.
static int32_t BackgroundRound(void* passes) {
  const LONG shows = g_shows;
  g_roundBegun = shows;
  CUTSIGNAL cut;
  OpenCutSignal(&cut);
  LockTable();
  g_backgroundCut = &cut;
  UnlockTable();
  // A stop asked before the round could be found is a cut as well.
  if (g_probeWorker.stop) SetCut(&cut);
  const int32_t answered = ProbeRound(*(const unsigned*)passes, &cut, 0);
  LockTable();
  g_backgroundCut = nullptr;
  UnlockTable();
  if (!IsCut(&cut)) g_roundAnswered = shows;
  CloseCutSignal(&cut);
  LogNtsReasons();
  return answered;
}

// Stops the probe worker without waiting for the silent servers and stalled
// key exchanges of its round in flight: whoever calls this asks every server
// again itself. The stop comes first, so a round that begins meanwhile finds
// it and cuts itself.
static void CutAndStopProbing() {
  PauseWorker(&g_probeWorker);
  LockTable();
  if (g_backgroundCut) SetCut(g_backgroundCut);
  UnlockTable();
  StopWorker(&g_probeWorker);
}

static DWORD WINAPI PrepareNetworkThread(void*) {
  PrepareNetwork();
  return 0;
}

void StartBackgroundProbing() {
  const LONG shown = g_app.runMode == 0 ? 1 : 0;
  g_viewShown = shown;
  g_viewLive = 0;   // the display refresh starts with the window
  if (shown) {
    StartWorker(&g_probeWorker, BackgroundRound, &g_probePasses, PROBE_PERIOD_MS);
    return;
  }
  PrepareWorker(&g_probeWorker, BackgroundRound, &g_probePasses, PROBE_PERIOD_MS);
  // The first attempt's round would pay for the socket set-up after the window
  // is made; done meanwhile, as the start-up round used to.
  HANDLE thread = CreateThread(nullptr, 0, PrepareNetworkThread, nullptr, 0, nullptr);
  if (thread) CloseHandle(thread);
}

// The restarts after an attempt, both workers stopped, with the gate held.
static void ResumeDisplay() {
  if (g_viewLive) StartDisplayRefresh();
}
static void ResumeProbing() {
  if (!g_viewShown || g_probeHeld) return;
  if (RoundDue()) {
    g_roundBegun = g_shows;
    StartWorker(&g_probeWorker, g_probeWorker.job, g_probeWorker.argument, g_probeWorker.periodMs);
  } else {
    ResumeWorker(&g_probeWorker);
  }
}

// Gate held: the workers as the window now asks. A hidden window's probing ends
// after the round in progress, not waited for.
static void SettleWorkers() {
  if (!g_viewLive)
    StopWorker(&g_refreshWorker);
  else if (!WorkerActive(&g_refreshWorker))
    StartDisplayRefresh();
  if (!g_viewShown || g_probeHeld) {
    PauseWorker(&g_probeWorker);
  } else if (RoundDue() || !WorkerActive(&g_probeWorker)) {
    // What is left of a round begun before the show need not wait for its
    // silent servers: a fresh round follows at once.
    CutAndStopProbing();
    ResumeProbing();
  }
}

// Whoever finds the gate free follows a change of the window; a holder that
// lets go looks again, so no change is left behind.
static void FollowView() {
  while (g_viewChanged && InterlockedCompareExchange(&g_attemptGate, GATE_VIEW, 0) == 0) {
    InterlockedExchange(&g_viewChanged, 0);
    SettleWorkers();
    InterlockedExchange(&g_attemptGate, 0);
  }
}

void SetViewState(int shown, int live) {
  const LONG s = shown ? 1 : 0, l = shown && live ? 1 : 0;
  if (s == g_viewShown && l == g_viewLive) return;
  if (s && !g_viewShown) InterlockedIncrement(&g_shows);
  // The display refresh worker is stopped while the window is not live: by the
  // change that made it so, or by the attempt that runs.
  if (l && !g_viewLive) FullRefresh();
  g_viewShown = s;
  g_viewLive = l;
  InterlockedExchange(&g_viewChanged, 1);
  FollowView();
}

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

// "#<row> <host>: <reason>" for each NTS row whose reason changed, each on a
// line of its own; called only where the log stands at the start of a line.
static void LogNtsReasons() {
  int row, reason;
  while (TakeNtsReason(&row, &reason)) {
    wch number[24], host[HOST_CHARS], line[TEXT_CHARS + HOST_CHARS];
    FormatUnsigned(number, 24, (unsigned)row);
    LockTable();
    WCopy(host, HOST_CHARS, g_workTable[row].host);
    UnlockTable();
    JoinText(line, TEXT_CHARS + HOST_CHARS, L"#", number, L" ", host, L": ",
             Str(NTSREASON_FIRST_STRING - 1 + reason), (const wch*)nullptr);
    Log(line, 1);
  }
}

static void LogStamp() {
  wch stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
}

// An attempt's round and clock setting, with the line's stamp; `pressed` for the sync button, whose
// round asks NTS hosts that back off. Where no trusted answer is at hand when
// the attempt starts (the first one after start-up cuts the round that would
// have given it one), the stamp comes from the attempt's own round, ahead of
// the notes of the servers the clock setting tries.
static int StampRoundAndSetClock(SYNCOUTCOME* outcome, int pressed) {
  wch stamp[TEXT_CHARS];
  SyncStamp(stamp, TEXT_CHARS);
  Log(stamp, 0);
  const unsigned passes = SYNC_PROBE_PASSES;
  const LONG shows = g_shows;
  g_roundBegun = shows;
  ProbeRound(passes, nullptr, pressed);
  g_roundAnswered = shows;
  if (!stamp[0]) LogStamp();
  return SetClockFromBest(outcome);
}

// A hidden-mode attempt with the gate held.
static int32_t HiddenAttempt() {
  if (g_attemptCounter == 0) g_syncView.clearLog();
  g_attemptCounter = (g_attemptCounter + 1) % LOG_CLEAR_EVERY;
  // The background round in progress need not wait for its silent servers:
  // this attempt asks every server again.
  CutAndStopProbing();
  StopWorker(&g_refreshWorker);
  const int code = StampRoundAndSetClock(nullptr, 0);
  Log(OutcomeMessage(code), 1);
  LogNtsReasons();
  ResumeProbing();
  ResumeDisplay();
  if (g_app.runMode == 0) g_syncView.syncButtons(1);
  return code >= 0 ? 1 : 0;
}

static int32_t GatedHiddenAttempt() {
  if (!TakeAttemptGate(GATE_HIDDEN)) return 0;
  const int32_t ok = HiddenAttempt();
  ReleaseAttemptGate();
  return ok;
}

int32_t SyncAttempt(void*) { return GatedHiddenAttempt(); }

// The gate was taken by StartManualSync.
int ManualSync() {
  g_syncView.lock();
  CutAndStopProbing();
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
  // Samples older than the window's return from the tray are not the quick
  // scheme's: until a round has come back since, the attempt makes one.
  if (g_syncView.schemeItem() != 0 || QuickSamplesStale()) {
    code = StampRoundAndSetClock(&outcome, 1);
  } else {
    LogStamp();
    code = SetClockFromBest(&outcome);
  }
  ResumeDisplay();
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
  LogNtsReasons();
  ResumeProbing();
  g_syncView.unlock();
  ReleaseAttemptGate();
  return code >= 0 ? 1 : 0;
}

DWORD WINAPI AutoSyncLoop(void*) {
  g_syncView.automaticControls();
  const uint32_t t0 = (uint32_t)GetCounterMs();
  g_app.runMode = 2;
  // Each attempt makes its own round: none between the retries, even while
  // the window is shown.
  g_probeHeld = 1;
  for (;;) {
    if (GatedHiddenAttempt()) break;
    Sleep(AUTO_RETRY_PAUSE_MS);
    const uint64_t elapsed = (uint32_t)((uint32_t)GetCounterMs() - t0);
    if (g_app.autoSyncLimit != 0 && elapsed >= g_app.autoSyncLimit) break;
    if (g_app.runMode != 2) break;
  }
  if (g_app.runMode == 2) {
    g_probeHeld = 0;
    g_syncView.close();
    return 0;
  }
  // Left for manual mode: the probing takes up again as the window asks; an
  // attempt begun meanwhile sees to it when it ends.
  g_probeHeld = 0;
  InterlockedExchange(&g_viewChanged, 1);
  FollowView();
  return 0;
}
