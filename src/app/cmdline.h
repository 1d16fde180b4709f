// The process command line and the autostart entry: run mode, options, row #9's host.
#pragma once
#include <windows.h>

struct CMDLINE {
  wchar_t** argv;   // split by CommandLineToArgvW; kept for the whole run
  int argc;
};

extern CMDLINE g_cmdLine;

// Expands environment references in the process command line and splits it.
// Returns 0 when the line cannot be split (argv then holds nothing).
int BuildCommandLine(CMDLINE* cmd, const wchar_t* commandLine);

// Reads the autostart entry (check boxes and selectors only) and the saved server.
void ReadAutostartEntry();

// Scans g_cmdLine, settles runMode and fills the host of server row #9.
void ParseCommandLine();
