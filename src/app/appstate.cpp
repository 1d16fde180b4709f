#include "app/appstate.h"

APPSTATE g_app;

void SetSyncDefaults(APPSTATE* app) {
  app->runMode = 0;
  app->commandLineMode = 0;
  app->autoSyncLimit = 0;
  app->cycleMinutes = 60;
  app->autoChecked = 0;
  app->cycleChecked = 0;
  app->autostartAutoSeconds = 0;
  app->autostartCycleMinutes = 60;
  app->customServerGiven = 0;
  app->customServer[0] = 0;
  app->savedServerPresent = 0;
  app->savedServer[0] = 0;
}
