#include "sync/worker.h"

#include "ntp/clock.h"
#include "ntp/probe.h"

WORKER g_probeWorker;
WORKER g_refreshWorker;
WORKER g_periodicWorker;
unsigned g_probePasses = 2;

// Waits for a worker's thread to end. A worker's job may be inside a
// SendMessage to a window of this very thread, so sent messages keep being
// handled between the polls; otherwise the two threads would wait on each other.
static void WaitForThreadEnd(HANDLE thread) {
  DWORD code = 0;
  while (thread && GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
    MsgWaitForMultipleObjects(1, &thread, FALSE, WORKER_POLL_MS, QS_SENDMESSAGE);
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

static void CloseWorkerThread(WORKER* worker) {
  if (worker->thread) CloseHandle(worker->thread);
  worker->thread = nullptr;
}

HANDLE StartWorker(WORKER* worker) {
  worker->stop = 0;
  worker->result = 0;
  WaitForThreadEnd(worker->thread);
  CloseWorkerThread(worker);
  DWORD id = 0;
  worker->thread = CreateThread(nullptr, 0, WorkerLoop, worker, 0, &id);
  worker->threadId = worker->thread ? id : 0;
  return worker->thread;
}

void StopWorker(WORKER* worker) {
  worker->stop = 1;
  WaitForThreadEnd(worker->thread);
  CloseWorkerThread(worker);
}

void AskWorkerToEnd(WORKER* worker) {
  worker->periodMs = 0;
  worker->result = 0;
  worker->stop = 1;
}

DWORD WINAPI WorkerLoop(void* parameter) {
  WORKER* worker = (WORKER*)parameter;
  if (!worker->job) return 0;
  int32_t value = 0;
  for (;;) {
    const uint32_t t0 = (uint32_t)GetCounterMs();
    if (!worker->stop) value = worker->job(worker->argument);
    if (worker->periodMs == 0) break;
    // At least one tick, so a job longer than the period still yields between runs.
    do {
      Sleep(WORKER_TICK_MS);
    } while ((uint32_t)GetCounterMs() - t0 < worker->periodMs && !worker->stop);
    if (worker->periodMs == 0 || worker->stop) break;
  }
  worker->result = value;
  return 0;
}

int32_t ProbeJob(void* passes) { return ProbeServers((const unsigned*)passes); }
