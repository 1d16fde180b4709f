// The fifty-five interface strings (ids 101 to 155), the help text and the log box.
#pragma once
#include "text/wch.h"

#define STRING_FIRST_ID 101
#define STRING_COUNT 55
#define STRING_CHARS 128

struct STRINGTABLE {
  wch slot[STRING_COUNT][STRING_CHARS];  // slot i holds string 101 + i
  wch scratch[STRING_CHARS];             // used by the rewrite of string 117
};

extern STRINGTABLE g_stringTable;

// String `id` (101..155); an empty text for an id outside the table.
const wch* Str(int id);

#ifdef _WIN32
#include <windows.h>

// Fills the table from "[STRINGTABLE]" of the INI file when it is in use, else
// from the string-table resource; then rewrites 117 as " %s #".
void LoadInterfaceStrings();

// Appends the help text (INI "[HELP_TEXT]" or resource 146) to the log box.
void FillHelpText(HWND logBox);

// Appends text at the end of the log box, then CR LF when lineEnd is set.
void AppendLog(HWND logBox, const wchar_t* text, int lineEnd);

// "<Computer folder name>[<dns name>]时间：" for the computer label.
const wchar_t* ComposeComputerCaption();
#endif
