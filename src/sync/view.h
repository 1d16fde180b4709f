// What the synchronisation needs of the window, and nothing more: the window
// fills this record when it is created (tests fill it with recorders). Every
// entry may be called from a worker or attempt thread; until the window plugs
// in, each does nothing.
#pragma once
#include "text/wch.h"

struct SYNCVIEW {
  void (*log)(const wch* text, int lineEnd);   // append to the log box, CR LF when lineEnd
  void (*clearLog)();
  void (*clearLogIfAsked)();                   // only when the clear check box is ticked
  void (*syncButtons)(int showSync);           // the sync button (1) or its disabled stand-in (0)
  void (*clockLabel)(const wch* text);
  void (*cell)(int row, int column, const wch* text);   // shown at the next showCells
  void (*showCells)();                         // the cells given since the last call, at once
  void (*clearRow)(int row);
  void (*lock)();                              // controls and close command off for a manual attempt
  void (*unlock)();                            // and back to what they were
  int (*schemeItem)();                         // the scheme selector's current item
  void (*automaticControls)();                 // selectors locked on the regular scheme
  void (*close)();                             // the automatic mode is done: close the window
  void (*forgetCells)();                       // the next cells go to the list whatever it was given before
};

extern SYNCVIEW g_syncView;

// Back to the record that does nothing (tests, and a window that is gone).
void UnplugSyncView();
