// APPSTATE: the process-wide settings and handles shared by the frame, the
// configuration loaders, the synchronisation modes, the window and the commands.
#pragma once
#include <windows.h>
#include <stdint.h>

#define APP_TEXT_CHARS 128   // customServer, savedServer: 127 characters and the terminator
#define INI_PATH_CHARS 512
#define BRUSH_COUNT 14

struct APPSTATE {
  // Synchronisation settings
  int64_t runMode;               // 0 manual, 1 periodic, 2 automatic
  int32_t commandLineMode;       // a hidden mode came from the process command line
  uint64_t autoSyncLimit;        // "/AutoSync" seconds (milliseconds once automatic mode runs); 0 = until success
  uint64_t cycleMinutes;         // periodic synchronisation period
  int32_t autoChecked;
  int32_t cycleChecked;
  uint64_t autostartAutoSeconds;
  uint64_t autostartCycleMinutes;
  int32_t customServerGiven;
  wchar_t customServer[APP_TEXT_CHARS];
  int32_t savedServerPresent;
  wchar_t savedServer[APP_TEXT_CHARS];
  // Flags of the run
  int32_t logClearedOnce;
  int32_t otherServerChanged;
  // Files and handles
  wchar_t iniPath[INI_PATH_CHARS];
  int32_t iniPresent;
  HANDLE instanceMutex;
  HANDLE instanceMapping;
  void* instanceView;
  HMODULE clockModule;
  HBRUSH brushes[BRUSH_COUNT];
  HFONT fonts[2];
};

extern APPSTATE g_app;

// The start values of the synchronisation settings, set just before the command
// lines are read: runMode 0, cycleMinutes and autostartCycleMinutes 60, the rest 0.
void SetSyncDefaults(APPSTATE* app);
