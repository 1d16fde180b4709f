// The three ways the program synchronises: manual (the sync button), periodic
// (every cycleMinutes, hidden in the tray) and automatic (retry every two
// seconds until success or the deadline, then exit), and the switches between
// them that the controls trigger.
#pragma once
#include <windows.h>
#include <stdint.h>

#include "text/wch.h"

#define AUTO_RETRY_PAUSE_MS 2000
#define LOG_CLEAR_EVERY 10   // hidden-mode attempts between two clearings of the log box

// The end of window creation: starts the display refresh and the run mode.
void StartRunMode(HWND window);

// The time of day of the first trusted answered row, 10 ms ahead; empty when
// there is none.
void SyncStamp(wch* out, unsigned long cap);

// One hidden-mode attempt (a worker job; the argument is unused): 1 on success.
int32_t SyncAttempt(void* unused);
// One manual attempt, on a thread of its own: 1 on success.
int ManualSync();
DWORD WINAPI AutoSyncLoop(void* unused);

void StartPeriodicFromWindow(HWND window);
void ChangePeriod();
void LeavePeriodicMode();
void CancelAutomaticMode();

// Seconds to milliseconds; a product beyond 64 bits becomes the largest value.
uint64_t SecondsToMs(uint64_t seconds);

// The log line's end for a hidden-mode attempt's outcome code.
const wch* OutcomeMessage(int code);
