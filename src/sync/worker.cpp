#include "sync/worker.h"

#include "ntp/clock.h"
#include "ntp/probe.h"

WORKER g_probeWorker;
WORKER g_refreshWorker;
WORKER g_periodicWorker;
unsigned g_probePasses = 2;

// Waits for a worker's thread to end. A worker's job may be inside a
// SendMessage to a window of this very thread, so sent messages keep being
// handled while waiting; otherwise the two threads would wait on each other.
static void WaitForThreadEnd(HANDLE thread) {
  if (!thread) return;
  for (;;) {
    const DWORD r = MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE);
    if (r != WAIT_OBJECT_0 + 1) return;   // ended, or the handle is unusable
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

static void Wake(WORKER* worker) {
  HANDLE wake = worker->wake;
  if (wake) SetEvent(wake);
}

// Ends the previous thread, whatever it was doing, before any field is written:
// a record is never restarted while its old thread still reads it.
static void EndPrevious(WORKER* worker) {
  worker->stop = 1;
  Wake(worker);
  WaitForThreadEnd(worker->thread);
  if (worker->thread) CloseHandle(worker->thread);
  worker->thread = nullptr;
  worker->threadId = 0;
}

static HANDLE Launch(WORKER* worker) {
  // Left to the end of the process, like the table lock: a thread told to stop
  // at shutdown may still wait on it.
  if (!worker->wake) worker->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  worker->retime = 0;
  worker->result = 0;
  worker->stop = 0;
  DWORD id = 0;
  worker->thread = CreateThread(nullptr, 0, WorkerLoop, worker, 0, &id);
  worker->threadId = worker->thread ? id : 0;
  return worker->thread;
}

HANDLE StartWorker(WORKER* worker, WORKERJOB job, void* argument, DWORD periodMs) {
  EndPrevious(worker);
  worker->job = job;
  worker->argument = argument;
  worker->periodMs = periodMs;
  worker->firstDelayMs = 0;
  return Launch(worker);
}

HANDLE ResumeWorker(WORKER* worker) {
  EndPrevious(worker);
  worker->firstDelayMs = worker->periodMs;
  return Launch(worker);
}

void StopWorker(WORKER* worker) { EndPrevious(worker); }

void PrepareWorker(WORKER* worker, WORKERJOB job, void* argument, DWORD periodMs) {
  worker->job = job;
  worker->argument = argument;
  worker->periodMs = periodMs;
}

void PauseWorker(WORKER* worker) {
  worker->stop = 1;
  Wake(worker);
}

int WorkerActive(const WORKER* worker) {
  return worker->thread && !worker->stop && WaitForSingleObject(worker->thread, 0) == WAIT_TIMEOUT;
}

void AskWorkerToEnd(WORKER* worker) {
  worker->periodMs = 0;
  worker->result = 0;
  worker->stop = 1;
  Wake(worker);
}

void RetimeWorker(WORKER* worker, DWORD periodMs) {
  worker->periodMs = periodMs;
  worker->retime = 1;
  Wake(worker);
}

// Sleeps on the wake event until `due` (counter milliseconds) or a stop
// request; a retime request ends the sleep too, though not before `least`.
static void WaitUntil(WORKER* worker, uint64_t least, uint64_t due) {
  for (;;) {
    if (worker->stop) return;
    const uint64_t now = GetCounterMs();
    const uint64_t until = worker->retime && least < due ? least : due;
    if (now >= until) return;
    const uint64_t left = until - now;
    if (worker->wake)
      WaitForSingleObject(worker->wake, left > 0x7FFFFFFF ? 0x7FFFFFFF : (DWORD)left);
    else
      Sleep(left > WORKER_PAUSE_MS ? WORKER_PAUSE_MS : (DWORD)left);
  }
}

DWORD WINAPI WorkerLoop(void* parameter) {
  WORKER* worker = (WORKER*)parameter;
  if (!worker->job) return 0;
  int32_t value = 0;
  if (worker->firstDelayMs) {
    const uint64_t now = GetCounterMs();
    WaitUntil(worker, now, now + worker->firstDelayMs);
  }
  for (;;) {
    const uint64_t t0 = GetCounterMs();
    worker->retime = 0;   // a request made while the job runs asks for one more run
    if (!worker->stop) value = worker->job(worker->argument);
    if (worker->periodMs == 0 || worker->stop) break;
    // At least the least pause, so a job longer than its period still yields
    // between runs; then the rest of the period, cut short by a retime request.
    // One sleep covers both: a waiting worker wakes once a period.
    const uint64_t least = GetCounterMs() + WORKER_PAUSE_MS;
    const uint64_t due = t0 + worker->periodMs;
    WaitUntil(worker, least, due > least ? due : least);
    if (worker->periodMs == 0 || worker->stop) break;
  }
  worker->result = value;
  return 0;
}

int32_t ProbeJob(void* passes) { return ProbeServers((const unsigned*)passes); }
