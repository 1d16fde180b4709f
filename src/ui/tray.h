// Showing the window hidden in the tray again, and the window's system
// commands (minimise to the tray, close with confirmation).
#pragma once
#include <windows.h>

// A hidden window is shown, restored, freed of its tray icon and brought to the front.
void RestoreFromTray(HWND window);
LRESULT OnSysCommand(HWND window, WPARAM wParam, LPARAM lParam);
// Asks before closing while periodic mode runs with its box ticked. 1: may close.
int ConfirmClose(HWND window);
