// The controls' side of the run modes: what the window shows and enables when a
// mode starts at window creation and when the user switches between modes. The
// attempts and workers behind them are the synchronisation module's.
// Interface thread only.
#pragma once
#include <windows.h>

// The end of window creation: starts the display refresh and the run mode.
void StartRunMode(HWND window);

// The sync button: a manual attempt, or periodic mode when scheme item 2 is
// selected. Nothing happens in a hidden mode or while an attempt runs.
void SyncCommand(HWND window);

void StartPeriodicFromWindow(HWND window);
// A new choice in the interval selector (the autostart entry is rewritten first).
void ChangePeriod();
void LeavePeriodicMode();
void CancelAutomaticMode();
// The auto check box ticked while periodic mode runs: no further periodic attempt.
void LeavePeriodicForAutomatic();
