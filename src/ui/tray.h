// The notification-area icon, showing the hidden window again, the window's
// system commands (minimise to the tray, close with confirmation) and the
// locking of the controls while a manual synchronisation runs.
#pragma once
#include <windows.h>

// A hidden window is shown, restored, freed of its tray icon and brought to the front.
void RestoreFromTray(HWND window);
LRESULT OnSysCommand(HWND window, WPARAM wParam, LPARAM lParam);
// Asks before closing while periodic mode runs with its box ticked. 1: may close.
int ConfirmClose(HWND window);
// Disables every non-label control and the close command, remembering each
// control's state; RestoreControls gives each its state back. Called by the
// manual synchronisation thread.
void DisableControls();
void RestoreControls();
void SetCloseCommand(int enabled);
