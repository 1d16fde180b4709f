// The logon task that starts the program elevated: one per build, registered
// in the Task Scheduler's root folder beside the build's Run value and deleted
// with it. A failure is reported through g_autostartLog as one line of the log
// box (string 145).
#pragma once
#include <windows.h>

#include "text/wch.h"

// Each build has a task of its own, as it has a Run value of its own (the
// i386 build's lies in the 32-bit registry view): unticking a box in one build
// leaves the other build's autostart alone.
#ifdef _WIN64
#define AUTOSTART_TASK_NAME L"Quorlin_x64U"
#else
#define AUTOSTART_TASK_NAME L"Quorlin_x86U"
#endif
// The task that both builds once shared; deleted whenever the autostart changes,
// so that an earlier installation's task does not start the program as well.
#define AUTOSTART_OLD_TASK_NAME L"Quorlin"

// Receives a whole line (CR LF included). By default it forwards to the log
// box through the engine's log hook; tests plug in a recorder.
extern void (*g_autostartLog)(const wch* line);

// Registers (or replaces) the task `name` in the root folder with the given
// definition. S_OK on success, S_FALSE when this system has no Task Scheduler
// 2.0 (nothing is registered and nothing reported: the Run value starts the
// program there), else the failing call's HRESULT, which is also logged.
HRESULT RegisterAutostartTask(const wchar_t* name, const wchar_t* xml);

// Deletes the task `name`; a task that does not exist is no failure (S_FALSE).
// Other failures are logged and returned.
HRESULT DeleteAutostartTask(const wchar_t* name);
