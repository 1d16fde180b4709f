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

// What the start-up read of a value holds, terminator included (1024 bytes). A
// longer autostart entry would start the program at logon while the boxes
// showed it off, so none is written.
#define REG_READ_CHARS 512

// Creates or opens root\subkey and sets the REG_SZ value (valueName null: the
// default value). Returns the first failing call's status, or 0.
LONG RegWriteString(HKEY root, const wchar_t* subkey, const wchar_t* valueName, const wchar_t* text);

// Deletes the value (valueName null: the default value) of root\subkey.
// Returns the status; a missing key or value is not an error for the callers.
LONG RegDeleteValue(HKEY root, const wchar_t* subkey, const wchar_t* valueName);

// Writes "<full program path>" /AutoSync <seconds> (automatic set, from the
// seconds selector) or "<full program path>" /CycleSync <minutes> (from the
// interval selector) through WriteAutostartCommand, then enables only the
// selector that belongs to the choice.
void WriteAutostartEntry(int automatic, HWND secondsSelector, HWND intervalSelector);

// Writes the Run value "<path>" <option> <number>, registers the build's logon
// task with the same command (autostart.h) and deletes the old shared task.
// A value longer than REG_READ_CHARS - 1 characters is refused with one log
// line (string 146): nothing is written, registered or deleted. 1 when written.
int WriteAutostartCommand(const wchar_t* path, int automatic, unsigned long long number);

// Removes the autostart entry, whichever option it held, the build's logon
// task and the old shared one.
void DeleteAutostartEntry();

// Stores text (cut to 127 characters) as the saved server, registry and g_app alike.
void SaveOtherServer(const wchar_t* text);

// Forgets the saved server: g_app first, then the registry value (the key stays).
void ForgetOtherServer();
