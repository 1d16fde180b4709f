// The logon task that starts the program elevated: registered in the Task
// Scheduler's root folder beside the Run value, deleted with it. A failure is
// reported through g_autostartLog as one line of the log box.
#pragma once
#include <windows.h>

#include "text/wch.h"

// Receives a whole line (CR LF included). By default it forwards to the log
// box through the engine's log hook; tests plug in a recorder.
extern void (*g_autostartLog)(const wch* line);

// Registers (or replaces) the task "Quorlin" in the root folder with the given
// definition. S_OK on success, S_FALSE when this system has no Task Scheduler
// 2.0 (nothing is registered and nothing reported: the Run value starts the
// program there), else the failing call's HRESULT, which is also logged.
HRESULT RegisterAutostartTask(const wchar_t* xml);

// Deletes the task "Quorlin"; a task that does not exist is no failure
// (S_FALSE). Other failures are logged and returned.
HRESULT DeleteAutostartTask();
