// What the controls do: the main window's WM_COMMAND handler, which also takes
// the commands of the two controls inside the results list (the list passes
// them on to its parent). Interface thread only.
#pragma once
#include <windows.h>

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam);

// The selected item's text, or the edit field's text when no item (or an empty
// one) is selected; at most 127 characters.
void SelectorText(HWND selector, wchar_t* out /* 128 */);
