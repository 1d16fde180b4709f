// The main window: its descriptor, class, creation steps and message routing,
// and the descriptors of the twenty controls it carries.
#pragma once
#include <windows.h>

#include "app/ids.h"

// One window or control. For a control, rectangle is its place in the parent's
// client area as passed to creation.
struct WINDOWDESC {
  HWND handle;
  HWND parent;
  RECT rectangle;
  wchar_t text[512];
  WNDPROC previousProcedure;
  WNDPROC procedure;
  HINSTANCE instance;
  wchar_t className[128];
  DWORD style;
  DWORD extendedStyle;
  HICON icon;
  HICON smallIcon;
  HFONT font;
  int sizeA;   // main window: minimum tracking width
  int sizeB;   // main window: minimum tracking height; list and header: row height
  HBRUSH background;
};

// The controls in creation order; the list header comes last (the list makes it).
enum CONTROLID {
  CTL_COMPUTER_LABEL, CTL_QUERY_SELECTOR, CTL_QUERY_LABEL, CTL_CLOCK_LABEL, CTL_RESULT_LIST,
  CTL_CLOSE, CTL_SYNC, CTL_SYNC2, CTL_OTHER_SERVER, CTL_SAVE, CTL_CLEAR, CTL_SCHEME, CTL_GROUP,
  CTL_STATUS, CTL_AUTO, CTL_PERIODIC, CTL_SECONDS, CTL_INTERVAL, CTL_LOG, CTL_HEADER, CTL_COUNT
};

extern WINDOWDESC g_mainDesc;
extern WINDOWDESC g_controls[CTL_COUNT];

inline HWND Ctl(int id) { return g_controls[id].handle; }
inline HWND MainWindow() { return g_mainDesc.handle; }

// Start-up values of the main window descriptor (title, class, style, icons,
// minimum size, background, procedure).
void FillMainDescriptor(HINSTANCE instance);

// 1 when the class is registered (or already was).
int RegisterMainClass(const WINDOWDESC* desc);
HWND CreateMainWindow(WINDOWDESC* desc);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The engine's hooks on the log box and the result list.
void PlugEngineHooks();
