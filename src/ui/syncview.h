// The window's side of the synchronisation view: fills the view record with
// the controls' operations once they exist.
#pragma once

void PlugSyncView();
