// The base of the window module: the descriptors of the main window and its
// controls, the control table with its accessor, and the small operations on
// the controls that the commands, the run modes and the synchronisation view
// share (status line, sync buttons, check boxes, scheme items, the tray icon
// of a hidden window). It includes no other header of the module. Interface
// thread only, except where a function says otherwise.
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

#define TRAY_ICON_ID 1

// Adds (flag set) or removes the notification-area icon; results are not examined.
void TrayIcon(HWND window, int add);

// The selected item of a selector (CB_GETCURSEL), negative when none is.
LRESULT CurrentItem(HWND selector);
// Places text as item `index` of a selector (CB_INSERTSTRING).
void InsertSelectorItem(HWND selector, int index, const wchar_t* text);

// The status line.
void SetStatus(const wchar_t* text);
void ShowManualStatus();
// cycleMinutes from the interval selector, then the periodic status text.
void ShowPeriodicStatus();
// Shows the sync button (flag set) or the disabled stand-in; either thread.
void ShowSyncButton(int flag);
int IsTicked(HWND checkBox);
// Empties the log box when the clear check box is ticked; either thread.
void ClearLogIfAsked();
// Inserts "定期同步时间模式" as scheme item 2.
void InsertPeriodicItem();
// Deletes scheme item 2; item 0 is selected when item 2 was.
void RemovePeriodicItem();
