// The synchronisation attempts and the threads that run them: manual (the sync
// button), periodic (every cycleMinutes, hidden in the tray) and automatic (retry
// every two seconds until success or the deadline, then close). This module
// alone starts and stops the workers once the program runs, and one attempt gate
// keeps any two attempts from overlapping. It reaches the window only through
// the view record (sync/view.h).
#pragma once
#include <windows.h>
#include <stdint.h>

#include "text/wch.h"

#define AUTO_RETRY_PAUSE_MS 2000
#define LOG_CLEAR_EVERY 10   // hidden-mode attempts between two clearings of the log box

// The time of day of the first trusted answered row, 10 ms ahead; empty when
// there is none.
void SyncStamp(wch* out, unsigned long cap);

// One hidden-mode attempt (the periodic worker's job; the argument is unused):
// 1 on success; 0 on failure, and at once when another attempt runs.
int32_t SyncAttempt(void* unused);
// One manual attempt, on the thread StartManualSync made: 1 on success.
int ManualSync();
DWORD WINAPI AutoSyncLoop(void* unused);

// 1 while an attempt of any mode runs; 1 while a manual one runs (the window
// then refuses to close).
int AttemptRunning();
int ManualAttemptRunning();

// The sync button in manual mode: takes the attempt gate and starts the manual
// thread. 0, and nothing started, while another attempt runs.
int StartManualSync();
// The display refresh worker, first run at once.
void StartDisplayRefresh();
// Start-up, before the window: the probe worker's job and period. A window that
// opens visible gets its first round at once; a hidden mode starts none, as each
// of its attempts makes a round of its own.
void StartBackgroundProbing();
// What the workers know of the window (interface thread). shown: not hidden in
// the tray; live: shown and not minimised. The display refresh runs only while
// live and the background probing only while shown; the rest of a round in
// progress is not waited for. A window coming back is fully refreshed here,
// before it is seen, and a window shown again gets a probe round at once. While
// an attempt runs, the attempt applies the change when it ends.
void SetViewState(int shown, int live);
// 1 from a show until a round started after it has come back: the samples at
// hand are older than the show, so the quick scheme makes a round first.
int QuickSamplesStale();
// The periodic worker: an attempt at once, then every `minutes`.
void StartPeriodicSync(uint64_t minutes);
// A new period for the periodic worker without waiting for it: the next attempt
// follows at once (after a running one).
void RetimePeriodicSync(uint64_t minutes);
// No further periodic attempt; one in progress completes.
void EndPeriodicSync();
// The automatic thread (autoSyncLimit already in milliseconds).
void StartAutomaticSync();
// A new query interval for the probe worker, without waiting for a round. During
// an attempt it is kept and applies when the attempt resumes the probe worker.
void SetProbeInterval(DWORD periodMs);
// Window destruction: every worker told to end, none waited for.
void AskWorkersToEnd();

// Seconds to milliseconds; a product beyond 64 bits becomes the largest value.
uint64_t SecondsToMs(uint64_t seconds);

// The log line's end for a hidden-mode attempt's outcome code.
const wch* OutcomeMessage(int code);
