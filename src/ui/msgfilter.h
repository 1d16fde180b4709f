// The messages that reach the main window from processes of lower integrity.
// The program always runs elevated and Explorer does not, so the system drops
// Explorer's messages to the window unless the window lets them through.
#pragma once
#include <windows.h>

// The system's two filter calls, looked up in user32 at run time: per window
// from Windows 7 on, per process on Vista; null where the system lacks one.
struct MESSAGEFILTER {
  BOOL(WINAPI* forWindow)(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT info);
  BOOL(WINAPI* forProcess)(UINT message, DWORD flag);
};

// Supplies the two calls; tests put a binder of recorders here.
extern MESSAGEFILTER (*g_bindMessageFilter)();

// Lets "TaskbarCreated" and the tray icon's callback through to the window, per
// window where the system can, else for the whole process. Returns how many of
// the two messages were allowed (0 on a system without a filter).
int AllowShellMessages(HWND window);
