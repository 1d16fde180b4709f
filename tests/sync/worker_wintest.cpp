// The worker facility: polling, periods, stop requests, and the waits on the
// interface thread while a worker writes to one of its windows. Time bounds are
// generous: only a hang or a run that never happens fails them.
#include <windows.h>
#include <gtest/gtest.h>

#include "emulation_win.h"
#include "ntp/clock.h"
#include "sync/worker.h"

namespace {

struct JOBLOG {
  volatile LONG runs;
  volatile LONG inside;      // 1 while a run is in progress
  uint64_t startMs[64];
  DWORD sleepMs;
  int32_t value;
  HWND target;               // sent WM_APP on every run when set
  HANDLE sending;            // set just before that send
};

int32_t LoggedJob(void* p) {
  JOBLOG* log = (JOBLOG*)p;
  const LONG n = InterlockedIncrement(&log->runs);
  if (n <= 64) log->startMs[n - 1] = GetCounterMs();
  log->inside = 1;
  if (log->target) {
    SetEvent(log->sending);
    SendMessageW(log->target, WM_APP, 0, 0);
  }
  if (log->sleepMs) Sleep(log->sleepMs);
  log->inside = 0;
  return log->value + n;
}

WORKER Worker(JOBLOG* log, DWORD periodMs) {
  WORKER w = {};
  w.job = LoggedJob;
  w.argument = log;
  w.periodMs = periodMs;
  return w;
}

uint64_t Since(uint64_t t0) { return GetCounterMs() - t0; }

HANDLE Start(WORKER* w) { return StartWorker(w, w->job, w->argument, w->periodMs); }

// Waits until the job has run `runs` times; false after `limitMs`.
bool WaitForRuns(const JOBLOG& log, LONG runs, uint64_t limitMs) {
  const uint64_t t0 = GetCounterMs();
  while (log.runs < runs && Since(t0) < limitMs) Sleep(2);
  return log.runs >= runs;
}

// A window of the test thread that answers WM_APP only once the test lets it:
// the worker stays inside SendMessage until the test thread handles sent messages.
LRESULT CALLBACK TargetProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_APP) return 1;
  return DefWindowProcW(w, m, wp, lp);
}

HWND MakeTarget() {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = TargetProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QlWorkerTarget";
  RegisterClassW(&wc);
  return CreateWindowExW(0, L"QlWorkerTarget", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
}

}  // namespace

TEST(Worker, StoppingOneNeverStartedReturnsAtOnce) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  WORKER w = Worker(&log, 100);
  const uint64_t t0 = GetCounterMs();
  StopWorker(&w);
  EXPECT_LT(Since(t0), 1000u * slack);
  EXPECT_EQ(log.runs, 0);
  EXPECT_EQ(w.thread, nullptr);
}

TEST(Worker, PeriodZeroRunsOnceAndKeepsTheResult) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.value = 40;
  WORKER w = Worker(&log, 0);
  ASSERT_NE(Start(&w), nullptr);
  ASSERT_EQ(WaitForSingleObject(w.thread, 10000 * slack), WAIT_OBJECT_0);
  EXPECT_EQ(log.runs, 1);
  EXPECT_EQ(w.result, 41);
  StopWorker(&w);
  EXPECT_EQ(w.thread, nullptr);
}

TEST(Worker, AJobLongerThanItsPeriodRunsBackToBack) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.sleepMs = 150;
  WORKER w = Worker(&log, 50);
  ASSERT_NE(Start(&w), nullptr);
  Sleep(1200 * slack);
  StopWorker(&w);
  ASSERT_GE(log.runs, 4);
  for (LONG i = 1; i < log.runs && i < 64; ++i) {
    const uint64_t gap = log.startMs[i] - log.startMs[i - 1];
    EXPECT_GE(gap, 150u) << "run " << i;
    EXPECT_LT(gap, 150u + 400u * slack) << "run " << i;   // one 20 ms tick, not a further period
  }
}

TEST(Worker, PeriodRunsFromStartToStart) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.sleepMs = 100;
  WORKER w = Worker(&log, 300);
  ASSERT_NE(Start(&w), nullptr);
  Sleep(1000 * slack);
  StopWorker(&w);
  ASSERT_GE(log.runs, 2);
  for (LONG i = 1; i < log.runs && i < 64; ++i) {
    const uint64_t gap = log.startMs[i] - log.startMs[i - 1];
    EXPECT_GE(gap, 300u);
    EXPECT_LT(gap, 300u + 250u * slack);
  }
}

TEST(Worker, StopDuringAJobWaitsForItAndKeepsItsResult) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.sleepMs = 400;
  log.value = 100;
  WORKER w = Worker(&log, 60000);
  ASSERT_NE(Start(&w), nullptr);
  const uint64_t t0 = GetCounterMs();
  while (!log.inside && Since(t0) < 5000) Sleep(5);
  ASSERT_EQ(log.inside, 1);
  StopWorker(&w);
  EXPECT_EQ(log.inside, 0);   // the run was not interrupted
  EXPECT_EQ(log.runs, 1);
  EXPECT_EQ(w.result, 101);
  EXPECT_LT(Since(t0), 5000u * slack);
}

TEST(Worker, AskedToEndItFinishesItsJobWhateverHappensToStop) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.sleepMs = 200;
  WORKER w = Worker(&log, 50);
  ASSERT_NE(Start(&w), nullptr);
  const uint64_t t0 = GetCounterMs();
  while (!log.inside && Since(t0) < 5000) Sleep(5);
  AskWorkerToEnd(&w);
  w.stop = 0;   // a later restart clears the flag: the cleared period still ends the thread
  ASSERT_EQ(WaitForSingleObject(w.thread, 10000 * slack), WAIT_OBJECT_0);
  EXPECT_EQ(log.runs, 1);
  StopWorker(&w);
}

// The interface thread waits for a worker that is inside a SendMessage to one
// of its windows: both waits must keep handling sent messages.
TEST(Worker, WaitsOnTheWindowThreadHandleSentMessages) {
  const unsigned slack = TimingSlack();
  HWND target = MakeTarget();
  ASSERT_NE(target, nullptr);
  JOBLOG log = {};
  log.target = target;
  log.sending = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  WORKER w = Worker(&log, 60000);

  ASSERT_NE(Start(&w), nullptr);
  ASSERT_EQ(WaitForSingleObject(log.sending, 10000), WAIT_OBJECT_0);
  Sleep(50);   // the worker is now blocked in SendMessage to this thread
  uint64_t t0 = GetCounterMs();
  StopWorker(&w);
  EXPECT_LT(Since(t0), 10000u * slack);
  EXPECT_EQ(w.thread, nullptr);
  EXPECT_EQ(log.runs, 1);

  // Restart after a stop request that cleared the period: StartWorker waits for
  // the old thread, which is again inside its SendMessage.
  ASSERT_NE(Start(&w), nullptr);
  ASSERT_EQ(WaitForSingleObject(log.sending, 10000), WAIT_OBJECT_0);
  Sleep(50);
  AskWorkerToEnd(&w);
  t0 = GetCounterMs();
  ASSERT_NE(Start(&w), nullptr);
  EXPECT_LT(Since(t0), 10000u * slack);
  ASSERT_EQ(WaitForSingleObject(log.sending, 10000), WAIT_OBJECT_0);   // the new thread runs
  Sleep(50);
  StopWorker(&w);
  EXPECT_EQ(log.runs, 3);

  CloseHandle(log.sending);
  DestroyWindow(target);
}

// A minute's wait is cut short by a stop request, not sat out.
TEST(Worker, AStopWhileWaitingEndsTheThreadAtOnce) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  WORKER w = Worker(&log, 60000);
  ASSERT_NE(Start(&w), nullptr);
  ASSERT_TRUE(WaitForRuns(log, 1, 5000));
  Sleep(100);
  const uint64_t t0 = GetCounterMs();
  StopWorker(&w);
  EXPECT_LT(Since(t0), 2000u * slack);
  EXPECT_EQ(log.runs, 1);
}

// Restarting a record whose thread waits out a long period neither hangs nor
// leaves the old thread running beside the new one.
TEST(Worker, StartingAgainEndsThePreviousThreadFirst) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  WORKER w = Worker(&log, 60000);
  ASSERT_NE(Start(&w), nullptr);
  ASSERT_TRUE(WaitForRuns(log, 1, 5000));
  HANDLE old = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), w.thread, GetCurrentProcess(), &old, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  const uint64_t t0 = GetCounterMs();
  ASSERT_NE(StartWorker(&w, LoggedJob, &log, 60000), nullptr);
  EXPECT_LT(Since(t0), 2000u * slack);
  EXPECT_EQ(WaitForSingleObject(old, 0), WAIT_OBJECT_0) << "the old thread still runs";
  ASSERT_TRUE(WaitForRuns(log, 2, 5000));
  Sleep(200);
  EXPECT_EQ(log.runs, 2);
  StopWorker(&w);
  CloseHandle(old);
}

TEST(Worker, ARetimeWhileWaitingRunsAgainAtOnceThenKeepsTheNewPeriod) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  WORKER w = Worker(&log, 60000);
  ASSERT_NE(Start(&w), nullptr);
  ASSERT_TRUE(WaitForRuns(log, 1, 5000));
  const uint64_t asked = GetCounterMs();
  RetimeWorker(&w, 300);
  ASSERT_TRUE(WaitForRuns(log, 4, 5000));
  StopWorker(&w);
  EXPECT_LT(log.startMs[1] - asked, 1000u * slack);
  for (int i = 2; i < 4; ++i) {
    const uint64_t gap = log.startMs[i] - log.startMs[i - 1];
    EXPECT_GE(gap, 300u) << "run " << i;
    EXPECT_LT(gap, 300u + 250u * slack) << "run " << i;
  }
}

// The job is not interrupted: the new period takes effect with one more run
// right after it, as a stop and restart would have given.
TEST(Worker, ARetimeDuringAJobRunsOnceMoreAfterIt) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  log.sleepMs = 300;
  WORKER w = Worker(&log, 60000);
  ASSERT_NE(Start(&w), nullptr);
  const uint64_t t0 = GetCounterMs();
  while (!log.inside && Since(t0) < 5000) Sleep(2);
  RetimeWorker(&w, 60000);
  EXPECT_EQ(log.runs, 1);
  ASSERT_TRUE(WaitForRuns(log, 2, 5000));
  const uint64_t gap = log.startMs[1] - log.startMs[0];
  EXPECT_GE(gap, 300u + WORKER_PAUSE_MS - 5);
  EXPECT_LT(gap, 300u + 700u * slack);
  StopWorker(&w);
  EXPECT_EQ(log.runs, 2);
}

// Paused (no thread), a new period is only kept; resuming waits one period
// before the first run.
TEST(Worker, ResumedItWaitsOnePeriodOfTheLatestLength) {
  const unsigned slack = TimingSlack();
  JOBLOG log = {};
  WORKER w = Worker(&log, 60000);
  RetimeWorker(&w, 400);
  EXPECT_EQ(w.thread, nullptr);
  const uint64_t t0 = GetCounterMs();
  ASSERT_NE(ResumeWorker(&w), nullptr);
  Sleep(200);
  EXPECT_EQ(log.runs, 0) << "ran before its period was up";
  ASSERT_TRUE(WaitForRuns(log, 1, 5000));
  EXPECT_GE(log.startMs[0] - t0, 400u - 5);
  EXPECT_LT(log.startMs[0] - t0, 400u + 400u * slack);
  StopWorker(&w);
}
