// The attempts behind the window, driven through the view record with a
// recording view instead of the window: what runs beside what, what the view is
// asked to show, and when the probe worker runs again. No server is asked (every
// host is empty, so each exchange fails at once, but for a listener of the
// test's own on loopback); the clock is never set.
#include <winsock2.h>
#include <windows.h>
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "app/appstate.h"
#include "emulation_win.h"
#include "ntp/clock.h"
#include "ntp/nts_host.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/setclock.h"
#include "sync/modes.h"
#include "sync/refresh.h"
#include "sync/view.h"
#include "sync/worker.h"
#include "text/strings.h"

namespace {

uint64_t Since(uint64_t t0) { return GetCounterMs() - t0; }

// Everything the attempts ask of the view, in order, as text. An attempt can be
// held inside its first log call until the test lets it go on.
struct RECORDER {
  CRITICAL_SECTION lock;
  std::wstring log;
  std::vector<std::string> calls;
  HANDLE entered;   // set when an attempt thread reaches the held call
  HANDLE release;   // the test lets it go on
  volatile LONG hold;

  void Add(const char* call) {
    EnterCriticalSection(&lock);
    calls.push_back(call);
    LeaveCriticalSection(&lock);
  }
  int Count(const char* call) {
    EnterCriticalSection(&lock);
    int n = 0;
    for (const std::string& c : calls) n += c == call;
    LeaveCriticalSection(&lock);
    return n;
  }
  std::wstring Log() {
    EnterCriticalSection(&lock);
    std::wstring copy = log;
    LeaveCriticalSection(&lock);
    return copy;
  }
};
RECORDER g_rec;

void RecLog(const wch* text, int lineEnd) {
  if (InterlockedExchange(&g_rec.hold, 0)) {
    SetEvent(g_rec.entered);
    WaitForSingleObject(g_rec.release, 20000);
  }
  EnterCriticalSection(&g_rec.lock);
  g_rec.log += text ? text : L"";
  if (lineEnd) g_rec.log += L"\r\n";
  LeaveCriticalSection(&g_rec.lock);
}
void RecClearLog() { g_rec.Add("clearLog"); }
void RecClearIfAsked() {}
void RecButtons(int showSync) { g_rec.Add(showSync ? "showSync" : "showStandIn"); }
void RecClock(const wch*) { g_rec.Add("clock"); }
// The last text given to each cell (row * 10 + column).
std::map<int, std::wstring> g_cells;
void RecCell(int row, int column, const wch* text) {
  EnterCriticalSection(&g_rec.lock);
  g_cells[row * 10 + column] = text ? text : L"";
  LeaveCriticalSection(&g_rec.lock);
}
void RecClearRow(int) {}
void RecShowCells() {}
void RecLock() { g_rec.Add("lock"); }
void RecUnlock() { g_rec.Add("unlock"); }
volatile LONG g_scheme;   // 0 quick: from the measurements at hand
int RecScheme() { return g_scheme; }
void RecAutomatic() { g_rec.Add("automatic"); }
void RecClose() { g_rec.Add("close"); }
void RecForget() { g_rec.Add("forget"); }

// Stands in for the probe round so that its runs can be counted and timed.
volatile LONG g_rounds;
uint64_t g_roundStart[64];
int32_t CountedRound(void*) {
  const LONG n = InterlockedIncrement(&g_rounds);
  if (n <= 64) g_roundStart[n - 1] = GetCounterMs();
  return 0;
}

int AlwaysPrivileged() { return 1; }
BOOL WINAPI NeverSet(const SYSTEMTIME*) { return FALSE; }

class Attempts : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    InitTableLock();
    InitializeCriticalSection(&g_rec.lock);
    g_rec.entered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_rec.release = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    LoadInterfaceStrings();
    const CLOCKSETTER setter = {AlwaysPrivileged, NeverSet};
    SetClockSetter(&setter);
  }
  static void TearDownTestSuite() {
    SetClockSetter(nullptr);
    CloseHandle(g_rec.entered);
    CloseHandle(g_rec.release);
  }

  void SetUp() override {
    slack = TimingSlack();
    ResetServerTable();
    for (int i = 0; i < SERVER_COUNT; ++i) g_workTable[i].host[0] = 0;
    SetSyncDefaults(&g_app);
    g_app.logClearedOnce = 1;
    g_rec.log.clear();
    g_rec.calls.clear();
    g_cells.clear();
    ForgetNtsReasons();
    g_rec.hold = 0;
    ResetEvent(g_rec.entered);
    ResetEvent(g_rec.release);
    g_rounds = 0;
    g_scheme = 0;
    SYNCVIEW view = {RecLog, RecClearLog, RecClearIfAsked, RecButtons, RecClock, RecCell,
                     RecShowCells, RecClearRow, RecLock, RecUnlock, RecScheme, RecAutomatic, RecClose, RecForget};
    g_syncView = view;
    StartWorker(&g_probeWorker, CountedRound, nullptr, PROBE_PERIOD_MS);
    ASSERT_TRUE(WaitForRounds(1, 5000));
  }
  void TearDown() override {
    SetEvent(g_rec.release);
    WaitUntilIdle(20000);
    SetViewState(1, 1);   // the next test starts with a visible window
    StopWorker(&g_periodicWorker);
    StopWorker(&g_refreshWorker);
    StopWorker(&g_probeWorker);
    UnplugSyncView();
  }

  static unsigned slack;   // widens upper time bounds under emulation

  static bool WaitForRounds(LONG n, uint64_t limitMs) {
    const uint64_t t0 = GetCounterMs();
    while (g_rounds < n && Since(t0) < limitMs) Sleep(2);
    return g_rounds >= n;
  }
  static bool WaitUntilIdle(uint64_t limitMs) {
    const uint64_t t0 = GetCounterMs();
    while (AttemptRunning() && Since(t0) < limitMs) Sleep(5);
    return !AttemptRunning();
  }
  // The next attempt stops in its first log call; true once it is there.
  static void HoldNextAttempt() { g_rec.hold = 1; }
  static bool AttemptHeld() { return WaitForSingleObject(g_rec.entered, 10000) == WAIT_OBJECT_0; }
  static void LetAttemptGo() { SetEvent(g_rec.release); }

  static int Count(const std::wstring& text, const wch* what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

unsigned Attempts::slack = 1;

TEST_F(Attempts, TwoSyncCommandsStartOneAttempt) {
  HoldNextAttempt();
  ASSERT_EQ(StartManualSync(), 1);
  EXPECT_EQ(StartManualSync(), 0) << "a second command started an attempt beside the first";
  ASSERT_TRUE(AttemptHeld());
  EXPECT_EQ(StartManualSync(), 0);
  EXPECT_TRUE(ManualAttemptRunning());
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_EQ(g_rec.Count("lock"), 1);
  EXPECT_EQ(g_rec.Count("unlock"), 1);
  // One attempt's line: a space and the failure (no server answered).
  const std::wstring failed = L" " + std::wstring(Str(120)) + L"\r\n";
  EXPECT_EQ(Count(g_rec.Log(), failed.c_str()), 1);
  // Once it has ended, the next command runs.
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_EQ(g_rec.Count("lock"), 2);
}

TEST_F(Attempts, LeavingPeriodicModeDuringAnAttemptLetsItFinishAndShowTheButton) {
  g_app.runMode = 1;
  HoldNextAttempt();
  StartPeriodicSync(10);
  ASSERT_TRUE(AttemptHeld());
  // The periodic box unticked: the worker is told to end; the mode is manual.
  EndPeriodicSync();
  g_app.runMode = 0;
  EXPECT_TRUE(AttemptRunning());
  EXPECT_FALSE(ManualAttemptRunning());
  EXPECT_EQ(StartManualSync(), 0) << "the sync button started an attempt beside the periodic one";
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  const std::wstring log = g_rec.Log();
  EXPECT_EQ(Count(log, Str(121)), 1) << "the attempt's outcome line";
  EXPECT_GE(g_rec.Count("showSync"), 1) << "the attempt's end shows the sync button in manual mode";
  EXPECT_EQ(g_rec.Count("lock"), 0);
  ASSERT_EQ(WaitForSingleObject(g_periodicWorker.thread, 5000), WAIT_OBJECT_0) << "a further attempt is due";
  EXPECT_EQ(Count(g_rec.Log(), Str(121)), 1);
}

TEST_F(Attempts, AnIntervalChangeDuringAnAttemptIsKeptAndTheProbeWorkerResumesItsPeriod) {
  HoldNextAttempt();
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(AttemptHeld());
  EXPECT_EQ(g_probeWorker.thread, nullptr) << "a probe round may run beside the attempt";
  const uint64_t t0 = GetCounterMs();
  SetProbeInterval(500);
  EXPECT_LT(Since(t0), 1000u * slack) << "the interface thread waited";
  EXPECT_EQ(g_probeWorker.thread, nullptr) << "the interval change started the probe worker during the attempt";
  EXPECT_EQ(g_rounds, 1);
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  const uint64_t ended = GetCounterMs();
  // No round at once after the attempt: the next one a period (the new one) later.
  Sleep(250);
  EXPECT_EQ(g_rounds, 1) << "a round followed the attempt at once";
  ASSERT_TRUE(WaitForRounds(3, 5000));
  EXPECT_GE(g_roundStart[1] - ended, 500u - 50);
  EXPECT_LT(g_roundStart[1] - ended, 500u + 500u * slack);
  const uint64_t gap = g_roundStart[2] - g_roundStart[1];
  EXPECT_GE(gap, 500u);
  EXPECT_LT(gap, 500u + 300u * slack);
}

TEST_F(Attempts, AnIntervalChangeBetweenRoundsTakesEffectWithoutWaitingForARound) {
  const uint64_t t0 = GetCounterMs();
  SetProbeInterval(300);
  EXPECT_LT(Since(t0), 200u * slack);
  ASSERT_TRUE(WaitForRounds(3, 5000)) << "the new interval never took effect";
  EXPECT_LT(g_roundStart[1] - t0, 1000u * slack);
}

TEST_F(Attempts, TheAutomaticLoopRetriesWithoutProbeRoundsBetweenAndThenCloses) {
  g_app.runMode = 2;
  g_app.autoSyncLimit = 3000;   // milliseconds, as the window hands it over
  HANDLE loop = CreateThread(nullptr, 0, AutoSyncLoop, nullptr, 0, nullptr);
  ASSERT_NE(loop, nullptr);
  ASSERT_EQ(WaitForSingleObject(loop, 20000), WAIT_OBJECT_0);
  CloseHandle(loop);
  EXPECT_EQ(g_rec.Count("automatic"), 1);
  EXPECT_EQ(g_rec.Count("close"), 1);
  EXPECT_GE(Count(g_rec.Log(), Str(121)), 2) << "retried";
  EXPECT_EQ(g_rounds, 1) << "probe rounds ran between the retries";
  EXPECT_EQ(g_probeWorker.thread, nullptr);
}

TEST_F(Attempts, ACancelledAutomaticLoopEndsWithoutClosingAndResumesTheProbeWorker) {
  g_app.runMode = 2;
  g_app.autoSyncLimit = 0;   // until success
  HoldNextAttempt();
  HANDLE loop = CreateThread(nullptr, 0, AutoSyncLoop, nullptr, 0, nullptr);
  ASSERT_NE(loop, nullptr);
  ASSERT_TRUE(AttemptHeld());
  g_app.runMode = 0;   // the periodic box ticked: automatic mode cancelled
  LetAttemptGo();
  ASSERT_EQ(WaitForSingleObject(loop, 20000), WAIT_OBJECT_0);
  CloseHandle(loop);
  EXPECT_EQ(g_rec.Count("close"), 0);
  EXPECT_NE(g_probeWorker.thread, nullptr) << "the probe worker stayed paused in manual mode";
}

// ---- the window hidden, minimised and shown again -----------------------------------

TEST_F(Attempts, AHiddenWindowsAttemptLeavesBothWorkersStopped) {
  SetProbeInterval(150);   // a resumed probe worker would show within a few periods
  SetViewState(0, 0);
  EXPECT_FALSE(WorkerActive(&g_refreshWorker));
  EXPECT_FALSE(WorkerActive(&g_probeWorker)) << "the hidden window's probing goes on";
  g_app.runMode = 1;
  HoldNextAttempt();
  StartPeriodicSync(10);
  ASSERT_TRUE(AttemptHeld());
  LetAttemptGo();
  Sleep(50);
  ASSERT_TRUE(WaitUntilIdle(10000));
  const LONG rounds = g_rounds;
  Sleep(600);
  EXPECT_EQ(g_rounds, rounds) << "background rounds after a hidden attempt";
  EXPECT_FALSE(WorkerActive(&g_probeWorker));
  EXPECT_FALSE(WorkerActive(&g_refreshWorker)) << "the display refresh woke for a hidden window";
  EXPECT_EQ(Count(g_rec.Log(), Str(121)), 1) << "the attempt's outcome line";

  // Shown again: refreshed before it is seen, and a round at once, not a period later.
  const int forgotten = g_rec.Count("forget"), clocks = g_rec.Count("clock");
  const uint64_t t0 = GetCounterMs();
  SetViewState(1, 1);
  EXPECT_EQ(g_rec.Count("forget"), forgotten + 1) << "no full refresh";
  EXPECT_GE(g_rec.Count("clock"), clocks + 1) << "the clock label was not written";
  EXPECT_TRUE(WorkerActive(&g_refreshWorker));
  ASSERT_TRUE(WaitForRounds(rounds + 1, 2000)) << "no round after the show";
  EXPECT_LT(g_roundStart[rounds] - t0, 120u * slack) << "the show's round waited for the period";
  EndPeriodicSync();
}

TEST_F(Attempts, AMinimisedWindowPausesTheDisplayRefreshAlone) {
  SetProbeInterval(150);
  SetViewState(1, 0);
  EXPECT_FALSE(WorkerActive(&g_refreshWorker));
  EXPECT_TRUE(WorkerActive(&g_probeWorker));
  const LONG rounds = g_rounds;
  ASSERT_TRUE(WaitForRounds(rounds + 2, 3000)) << "the probing stopped for a minimised window";
  const int forgotten = g_rec.Count("forget");
  SetViewState(1, 1);
  EXPECT_EQ(g_rec.Count("forget"), forgotten + 1);
  EXPECT_TRUE(WorkerActive(&g_refreshWorker));
}

TEST_F(Attempts, AManualAttemptDuringWhichTheWindowIsHiddenLeavesTheProbingStopped) {
  SetProbeInterval(150);
  HoldNextAttempt();
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(AttemptHeld());
  SetViewState(1, 0);
  SetViewState(0, 0);   // minimised to the tray while the attempt runs
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  const LONG rounds = g_rounds;
  Sleep(600);
  EXPECT_EQ(g_rounds, rounds);
  EXPECT_FALSE(WorkerActive(&g_probeWorker));
  EXPECT_FALSE(WorkerActive(&g_refreshWorker));
}

// Row 0 holds a sample; a round in which nobody answers clears it, the quick
// scheme alone keeps it.
static void PlantSample() {
  LockTable();
  g_workTable[0].delayMs = 5;
  g_publishedTable[0].delayMs = 5;
  UnlockTable();
}

TEST_F(Attempts, TheQuickSchemeMakesARoundUntilTheShowsRoundHasAnswered) {
  // A regular attempt first: whatever earlier shows there were, a round has come back since.
  g_scheme = 1;
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_FALSE(QuickSamplesStale());
  g_scheme = 0;
  PlantSample();
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_EQ(g_workTable[0].delayMs, 5u) << "the quick scheme made a round of its own";

  // Shown again while the attempt has the workers: the show's round cannot run
  // before the attempt, whose samples are older than the show.
  SetViewState(0, 0);
  PlantSample();
  g_rec.log.clear();
  HoldNextAttempt();
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(AttemptHeld());
  SetViewState(1, 1);
  EXPECT_TRUE(QuickSamplesStale());
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_EQ(g_workTable[0].delayMs, DELAY_NONE) << "the quick scheme used samples from before the show";
  EXPECT_FALSE(QuickSamplesStale()) << "the attempt's own round was not counted";
  // The line reads as for the regular scheme: line break, stamp, " 失败！".
  EXPECT_EQ(g_rec.Log(), L"\r\n " + std::wstring(Str(120)) + L"\r\n");
  EXPECT_TRUE(WorkerActive(&g_probeWorker)) << "the probing did not resume after the attempt";
}

TEST_F(Attempts, AFullRefreshWritesAgainWhatWasWrittenThisSecond) {
  StopWorker(&g_refreshWorker);
  const int clocks = g_rec.Count("clock");
  FullRefresh();
  FullRefresh();
  RefreshDisplay(nullptr);
  // The last plain run falls in the same second as the second full refresh
  // unless a second boundary passed: at most one more write.
  const int written = g_rec.Count("clock") - clocks;
  EXPECT_GE(written, 2);
  EXPECT_LE(written, 3);
}

// A press of the sync button cuts the background round in flight: a key
// exchange held by a server that takes the connection and never answers does
// not hold the attempt for its deadline.
TEST_F(Attempts, ASyncPressCutsTheBackgroundRoundsStalledKeyExchange) {
  WSADATA wsa;
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
  SOCKET mute = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(INVALID_SOCKET, mute);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof at;
  ASSERT_EQ(0, bind(mute, (const sockaddr*)&at, sizeof at));
  ASSERT_EQ(0, listen(mute, 4));
  ASSERT_EQ(0, getsockname(mute, (sockaddr*)&at, &size));
  const std::wstring host = L"nts://127.0.0.1:" + std::to_wstring(ntohs(at.sin_port));
  lstrcpynW(g_workTable[0].host, host.c_str(), HOST_CHARS);
  StartBackgroundProbing();   // a shown window's first round, at once
  Sleep(1000);                // well into its key exchange
  HoldNextAttempt();
  const uint64_t pressed = GetCounterMs();
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(AttemptHeld());   // past the stop of the probe worker
  const uint64_t tookMs = Since(pressed);
  g_workTable[0].host[0] = 0;   // the attempt's own round asks nobody
  LetAttemptGo();
  ASSERT_TRUE(WaitUntilIdle(10000));
  closesocket(mute);
  WSACleanup();
  NtsHostsReset();
  printf("a press 1 s into a round with a stalled key exchange: the attempt went on after %llu ms\n",
         (unsigned long long)tookMs);
  EXPECT_LT(tookMs, 1000u) << "the press waited for the background round's key exchange";
  EXPECT_EQ(g_rec.Count("lock"), 1);
}

TEST_F(Attempts, AnNtsRowsReasonFollowsTheAttemptsLineOnALineOfItsOwnOnce) {
  g_scheme = 1;   // the attempt makes a round of its own
  lstrcpynW(g_workTable[3].host, L"nts://bad:0", HOST_CHARS);
  const std::wstring reason = L"#3 nts://bad:0: " + std::wstring(Str(147)) + L"\r\n";
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(WaitUntilIdle(10000));
  const std::wstring failed = L" " + std::wstring(Str(120)) + L"\r\n";
  EXPECT_EQ(g_rec.Log().substr(g_rec.Log().size() - failed.size() - reason.size()), failed + reason);
  // Unchanged in the next attempt: not repeated.
  ASSERT_EQ(StartManualSync(), 1);
  ASSERT_TRUE(WaitUntilIdle(10000));
  EXPECT_EQ(Count(g_rec.Log(), reason.c_str()), 1);
  EXPECT_EQ(g_rec.Log().substr(g_rec.Log().size() - failed.size()), failed);
}

TEST_F(Attempts, AnAuthenticatedRowCarriesTheMarkAndPlainRowsBesideNtsRowsShowNoScore) {
  StopWorker(&g_refreshWorker);
  StopWorker(&g_probeWorker);
  auto answer = [](int row, const wchar_t* name, bool nts, bool authenticated, double zScore) {
    SERVERROW& r = g_workTable[row];
    lstrcpynW(r.name, name, HOST_CHARS);
    r.delayMs = 5;
    r.result = 3;
    r.stratum = 3;
    r.receiveTime = GetPreciseFileTime();
    r.receiveCounter = GetCounterTime();
    r.nts = nts ? 1 : 0;
    r.authenticated = authenticated ? 1 : 0;
    r.zScore = zScore;
  };
  for (SERVERROW& r : g_workTable) r.nts = 0;
  answer(0, L"#0 plain", false, false, SCORE_NONE);
  answer(1, L"#1 nts", true, true, 0.0);
  answer(2, L"#2 failed", true, false, SCORE_NONE);
  g_workTable[2].delayMs = DELAY_NONE;
  LockTable();
  memcpy(g_publishedTable, g_workTable, sizeof g_workTable);
  UnlockTable();
  FullRefresh();
  EXPECT_EQ(g_cells[10], L"#1 nts [NTS]");
  EXPECT_NE(g_cells[15], L"");
  EXPECT_EQ(g_cells.count(0), 0u);   // a plain row's name is never rewritten
  ASSERT_EQ(g_cells.count(5), 1u);
  EXPECT_EQ(g_cells[5], L"");
  EXPECT_EQ(g_cells[20], L"#2 failed");   // the mark goes with the answer

  // Without NTS rows an unscored row's cell is left as it was.
  g_cells.clear();
  g_workTable[1].nts = g_workTable[2].nts = 0;
  LockTable();
  memcpy(g_publishedTable, g_workTable, sizeof g_workTable);
  UnlockTable();
  FullRefresh();
  EXPECT_EQ(g_cells.count(5), 0u);
  EXPECT_EQ(g_cells.count(10), 0u);
}

}  // namespace
