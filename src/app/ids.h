// The names other programs and instances see: the window class and title, the
// single-instance objects, and the private window messages. Shared by the frame,
// the single-instance handoff and the window, so none needs another's header.
#pragma once
#include <windows.h>

#define MAIN_CLASS_NAME L"Quorlin"
#define PROGRAM_TITLE L"Quorlin- 时间同步工具"   // also the mutex name and the tray tip
#ifdef _WIN64
#define VERSION_TAG L" V1.3.2025.1109 x64U"
#else
#define VERSION_TAG L" V1.3.2025.1109 x86U"
#endif

#define INSTANCE_MAPPING_NAME L"Quorlin"
#define INSTANCE_MUTEX_NAME PROGRAM_TITLE

#define WM_TRAYICON (WM_USER + 1)   // the tray icon's mouse events; the event is in lParam
#define WM_HANDOFF (WM_USER + 2)    // a second instance asks to show this window
