// The live display: the clock label and the results rows, five times a second,
// each written only when its shown second changes; and, in manual mode, which
// of the two sync buttons is shown.
#pragma once
#include <stdint.h>

// One run (the display refresh worker's job; the argument is unused).
int32_t RefreshDisplay(void* unused);

// Every cell, the clock label and the buttons written anew, whatever was shown
// before: a window coming back from the tray is up to date before it is seen.
// Only while the display refresh worker is stopped (it shares the remembered
// seconds and the list's remembered texts).
void FullRefresh();
