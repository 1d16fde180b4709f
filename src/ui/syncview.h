// The window's side of the synchronisation view: fills the view record with
// the controls' operations once they exist, among them the locking of the
// controls while a manual synchronisation runs.
#pragma once
#include "text/wch.h"

// The results list's four operations come from the caller, which owns the list.
void PlugSyncView(void (*cell)(int row, int column, const wch* text), void (*showCells)(), void (*clearRow)(int row),
                  void (*forgetCells)());

// Disables every non-label control and the close command, remembering each
// control's state; RestoreControls gives each its state back. Called by the
// manual synchronisation thread.
void DisableControls();
void RestoreControls();
void SetCloseCommand(int enabled);
