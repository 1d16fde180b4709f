// The two values the program keeps in the registry under HKEY_LOCAL_MACHINE:
// the autostart entry (a command line run at every logon) and the saved
// other-server host. Written in the registry view of the build.
#pragma once
#include <windows.h>

// <windows.h> maps RegDeleteValue to RegDeleteValueW. The program's own
// RegDeleteValue below takes a subkey as well, so the mapping is removed here;
// code that includes this header calls the system function as RegDeleteValueW.
#undef RegDeleteValue

#define AUTOSTART_KEY L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"
#define AUTOSTART_VALUE L"Quorlin"
#define SETTINGS_KEY L"SOFTWARE\\Quorlin"   // the saved server is its default value

// Creates or opens root\subkey and sets the REG_SZ value (valueName null: the
// default value). Returns the first failing call's status, or 0.
LONG RegWriteString(HKEY root, const wchar_t* subkey, const wchar_t* valueName, const wchar_t* text);

// Deletes the value (valueName null: the default value) of root\subkey.
// Returns the status; a missing key or value is not an error for the callers.
LONG RegDeleteValue(HKEY root, const wchar_t* subkey, const wchar_t* valueName);

// Writes "<full program path>" /AutoSync <seconds> (automatic set, from the
// seconds selector) or "<full program path>" /CycleSync <minutes> (from the
// interval selector), registers the logon task with the same command line
// (autostart.h), then enables only the selector that belongs to the choice.
void WriteAutostartEntry(int automatic, HWND secondsSelector, HWND intervalSelector);

// Removes the autostart entry, whichever option it held, and the logon task.
void DeleteAutostartEntry();

// Stores text (cut to 127 characters) as the saved server, registry and g_app alike.
void SaveOtherServer(const wchar_t* text);

// Forgets the saved server: g_app first, then the registry value (the key stays).
void ForgetOtherServer();
