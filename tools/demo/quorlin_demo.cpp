// A console run of the program's main job, for demonstrations and smoke tests:
// the configuration is read as at start-up (INI file beside the program, the
// command line), one probe round of two passes measures the servers, and the
// clock is set from the best trusted one. Prints the table and the outcome.
#include <windows.h>
#include <stdio.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/setclock.h"
#include "text/serverlists.h"
#include "text/strings.h"

// Standard output takes UTF-8, whether it is a console, a pipe or a file.
static void Print(const wchar_t* text) {
  char buffer[2048];
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer, sizeof buffer, nullptr, nullptr);
  if (n > 1) fwrite(buffer, 1, (size_t)(n - 1), stdout);
}

static void PrintLog(const wchar_t* text) { Print(text); }

static void PrintTable() {
  wchar_t line[512];
  Print(L"row  host                 delay(ms)   offset(ms)  root(ms)  stratum  Z_Score  inlier  name\n");
  for (const SERVERROW& row : g_selectionTable) {
    if (row.delayMs == DELAY_NONE) {
      _snwprintf(line, 512, L"#%d   %-20ls %9ls %12ls %9ls %8ls %8ls %7ls  %ls\n", row.index, row.host, Str(101),
                 L"-", L"-", L"-", L"-", L"-", row.name);
    } else {
      _snwprintf(line, 512, L"#%d   %-20ls %9u %12.3f %9.3f %8u %8.4f %7d  %ls\n", row.index, row.host, row.delayMs,
                 row.offset / 10000.0, row.rootDelayMs, row.stratum, row.zScore, row.inlier, row.name);
    }
    line[511] = 0;
    Print(line);
  }
}

int wmain() {
  BuildCommandLine(&g_cmdLine, GetCommandLineW());
  InitTableLock();
  g_app.clockModule = BindPreciseClock();
  LoadServerLists();
  ResetServerTable();
  SetSyncDefaults(&g_app);
  ReadAutostartEntry();
  ParseCommandLine();
  LoadInterfaceStrings();
  g_engineHooks.appendLog = PrintLog;

  // The built-in lists name public hosts; a demonstration asks only the servers
  // its own INI file names.
  if (!g_app.iniPresent) {
    Print(L"quorlin_demo: no Quorlin.INI beside the program; nothing asked\n");
    return 2;
  }
  Print(L"servers from ");
  Print(g_app.iniPath);
  Print(L"\n");
  SYNCOUTCOME outcome = {};
  const unsigned passes = SYNC_PROBE_PASSES;
  ProbeServers(&passes);
  const int code = SetClockFromBest(&outcome);
  Print(L"\n");
  const int messageId = code >= 0 ? 119 : code == SYNC_NO_PRIVILEGE ? 118 : code == SYNC_NO_SERVER ? 121 : 120;
  wchar_t line[512];
  _snwprintf(line, 512, L"result %d: %ls\n", code, Str(messageId));
  line[511] = 0;
  Print(line);
  if (code >= 0) {
    _snwprintf(line, 512, L"%ls %u, %ls %.4f\n", Str(106), outcome.delayMs, Str(143), outcome.zScore);
    line[511] = 0;
    Print(line);
  }
  Print(L"\n");
  PrintTable();
  fflush(stdout);
  FreeCommandLine(&g_cmdLine);
  FreeLibrary(g_app.clockModule);
  DeleteTableLock();
  return code >= 0 ? 0 : 1;
}
