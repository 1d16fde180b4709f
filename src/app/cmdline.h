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

// 1 when the process command line itself names "/AutoSync" or "/CycleSync": such
// a start comes from the autostart and, when the program already runs (the Run
// key and the logon task both fired), must not pop its window up.
int AsksForHiddenMode(const CMDLINE* cmd);

// Releases the argument array and empties the record.
void FreeCommandLine(CMDLINE* cmd);

// Reads the REG_SZ value (valueName null: the default value) of root\subkey into
// one process-wide buffer of 512 characters, cleared before each read. Null when
// the key or value is missing, not REG_SZ, or does not fit. The next read reuses
// the buffer: copy what you keep.
const wchar_t* RegReadString(HKEY root, const wchar_t* subkey, const wchar_t* valueName);
