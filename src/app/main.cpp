// The process: start-up in its fixed order, the message loop, and shutdown.
#include <windows.h>
#include <commctrl.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "app/instance.h"
#include "ntp/clock.h"
#include "ntp/serverrow.h"
#include "sync/modes.h"
#include "text/serverlists.h"
#include "ui/layout.h"
#include "ui/window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  BuildCommandLine(&g_cmdLine, nullptr);

  ZeroMemory(&g_app, sizeof g_app);
  ZeroMemory(&g_mainDesc, sizeof g_mainDesc);
  INITCOMMONCONTROLSEX controls = {sizeof controls, 0xFFFFFFFFu};
  InitCommonControlsEx(&controls);
  InitTableLock();
  CreateBrushes();
  MakeFonts();
  FillMainDescriptor(instance);
  g_app.clockModule = BindPreciseClock();
  const int first = CheckSingleInstance(!AsksForHiddenMode(&g_cmdLine));
  LoadServerLists();
  GetCounterTime();   // caches the counter frequency before any worker runs

  if (first) {
    ResetServerTable();
    SetSyncDefaults(&g_app);
    ReadAutostartEntry();
    ParseCommandLine();

    StartBackgroundProbing();

    if (CreateMainWindow(&g_mainDesc)) {
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }

  DeleteBrushes();
  DeleteFonts();
  if (g_app.clockModule) FreeLibrary(g_app.clockModule);
  g_app.clockModule = nullptr;
  // The table lock stays: workers told to stop may still be inside a probe
  // round and take it; it goes with the process.
  ReleaseSingleInstance();
  FreeCommandLine(&g_cmdLine);
  return 0;
}
