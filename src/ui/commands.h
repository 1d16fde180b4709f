// What the controls do: the main window's WM_COMMAND handler (the results list
// passes on the commands of the two controls inside it), the first fill of
// the computer label and the list, and the small status and button operations
// the commands and the synchronisation modes share. Interface thread only,
// except where a function says otherwise.
#pragma once
#include <windows.h>

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam);

// Computer label, an emptied list with the names of rows 0..8 and an empty row 9,
// and the column titles.
void InitialFill();

// The status line.
void SetStatus(const wchar_t* text);
void ShowManualStatus();
// cycleMinutes from the interval selector, then the periodic status text.
void ShowPeriodicStatus();
// Shows the sync button (flag set) or the disabled stand-in; either thread.
void ShowSyncButton(int flag);
// Deletes scheme item 2; item 0 is selected when item 2 was.
void RemovePeriodicItem();
// Empties the log box when the clear check box is ticked; either thread.
void ClearLogIfAsked();
int IsTicked(HWND checkBox);
// The selected item's text, or the edit field's text when no item (or an empty
// one) is selected; at most 127 characters.
void SelectorText(HWND selector, wchar_t* out /* 128 */);

// Inserts "定期同步时间模式" as scheme item 2.
void InsertPeriodicItem();
