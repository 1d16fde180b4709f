// The real main window, made in the test process the way the program makes it
// (no server is asked: the probe worker never starts here), and taken down again.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "app/appstate.h"
#include "ntp/serverrow.h"
#include "sync/worker.h"
#include "text/serverlists.h"
#include "ui/layout.h"
#include "ui/window.h"

inline void Pump() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

inline void MakeTestMainWindow() {
  INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFFFFFFFFu};
  InitCommonControlsEx(&controls);
  InitTableLock();
  CreateBrushes();
  MakeFonts();
  FillMainDescriptor(GetModuleHandleW(nullptr));
  LoadServerLists();
  ResetServerTable();
  SetSyncDefaults(&g_app);
  CreateMainWindow(&g_mainDesc);
  Pump();
}

inline void EndTestMainWindow() {
  if (MainWindow()) DestroyWindow(MainWindow());
  Pump();
  StopWorker(&g_refreshWorker);
  DeleteBrushes();
  DeleteFonts();
}
