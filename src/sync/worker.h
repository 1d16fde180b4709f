// Periodic workers: one thread per record runs its job, then waits out the rest
// of the period, until asked to stop. The probe, display refresh and periodic
// synchronisation workers all use this facility.
//
// Waiting costs nothing: the loop sleeps on the record's wake event for the time
// left, and a stop or retime request sets that event. A record is only ever
// (re)started by one owner at a time (the interface thread at start-up, then the
// synchronisation attempts); requests may come from any thread.
#pragma once
#include <windows.h>
#include <stdint.h>

typedef int32_t (*WORKERJOB)(void* argument);

struct WORKER {
  volatile LONG stop;          // set to ask the thread to end
  DWORD threadId;
  HANDLE thread;               // null when there is none
  volatile int32_t result;     // the last job run's value, stored when the thread ends
  volatile DWORD periodMs;     // start to start; 0 runs the job once
  WORKERJOB job;
  void* argument;
  HANDLE wake;                 // auto-reset; made by the first start, kept for the process
  volatile LONG retime;        // a new period was asked for: run again as soon as allowed
  DWORD firstDelayMs;          // the wait before the first run of the thread being started
};

#define PROBE_PERIOD_MS 30000
#define REFRESH_PERIOD_MS 200
#define WORKER_PAUSE_MS 20   // the least pause between two runs

extern WORKER g_probeWorker;
extern WORKER g_refreshWorker;
extern WORKER g_periodicWorker;
extern unsigned g_probePasses;   // the probe worker's argument: two passes

// Ends the record's previous thread (stop request, then a wait that keeps
// handling sent messages), writes job, argument and period, and starts a new
// thread whose first run is at once. The new handle, or null when the thread
// could not be created (the worker then does not run).
HANDLE StartWorker(WORKER* worker, WORKERJOB job, void* argument, DWORD periodMs);
// The same with the record's own job, argument and period, the first run one
// period from now: a worker paused for a moment resumes its rhythm.
HANDLE ResumeWorker(WORKER* worker);
// Asks the thread to end and waits until it has (handling sent messages).
void StopWorker(WORKER* worker);
DWORD WINAPI WorkerLoop(void* worker);

// Job, argument and period for a later ResumeWorker or StartWorker, without a
// thread: a worker that is not to run yet. Only while the record has no thread.
void PrepareWorker(WORKER* worker, WORKERJOB job, void* argument, DWORD periodMs);

// Asks the thread to end after its current job, keeping job and period for a
// later restart. Any thread; does not wait.
void PauseWorker(WORKER* worker);

// 1 while the record's thread lives and has not been asked to end.
int WorkerActive(const WORKER* worker);

// Stop request that survives a later restart of the flag: the period and the
// last result are cleared too, so the thread ends after its current job. Any
// thread; does not wait.
void AskWorkerToEnd(WORKER* worker);

// A new period without waiting for the thread: a running job finishes, then the
// next run starts at once (after the least pause) and the new period counts from
// there. With no thread the period is kept for the next start. Any thread.
void RetimeWorker(WORKER* worker, DWORD periodMs);

// The probe worker's job: a probe round of g_probePasses passes.
int32_t ProbeJob(void* passes);
