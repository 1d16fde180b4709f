// Periodic workers: one thread per record runs its job, then waits out the rest
// of the period, until asked to stop. The probe, display refresh and periodic
// synchronisation workers all use this facility.
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
};

#define PROBE_PERIOD_MS 30000
#define REFRESH_PERIOD_MS 200
#define WORKER_POLL_MS 50   // waiting for a thread to end
#define WORKER_TICK_MS 20   // waiting inside the loop

extern WORKER g_probeWorker;
extern WORKER g_refreshWorker;
extern WORKER g_periodicWorker;
extern unsigned g_probePasses;   // the probe worker's argument: two passes

// Waits for the previous thread to end, then starts a new one. The new handle,
// or null when the thread could not be created.
HANDLE StartWorker(WORKER* worker);
// Asks the thread to end and waits until it has.
void StopWorker(WORKER* worker);
DWORD WINAPI WorkerLoop(void* worker);

// Stop request that survives a later restart of the flag: the period and the
// last result are cleared too, so the thread ends after its current job.
void AskWorkerToEnd(WORKER* worker);

// The probe worker's job: a probe round of g_probePasses passes.
int32_t ProbeJob(void* passes);
