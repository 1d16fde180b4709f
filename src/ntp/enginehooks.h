// The measurement engine's only way to the window: the log box and the results
// list plug in here once they exist; tests plug in recorders. A null hook does nothing.
#pragma once
#include "text/wch.h"

struct ENGINEHOOKS {
  void (*appendLog)(const wch* text);   // append to the log box, no line end
  void (*clearResultRow)(int row);      // clear a row of the results list
  const wch* (*candidateNote)();        // heads each tried server's note in the log (" %s #" form)
};

extern ENGINEHOOKS g_engineHooks;
