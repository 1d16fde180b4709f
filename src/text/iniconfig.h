// What the program takes from a parsed configuration text: the ten server rows
// ("[NTP_SERVER_1]"), the extra server list ("[NTP_SERVER_2]") and the interface
// strings ("[STRINGTABLE]"), and the same rows and list from the built-in text
// resources. Pure functions over parsed lines; the Win32 loaders call them.
#pragma once
#include <stdint.h>
#include "text/lines.h"
#include "text/serverlists.h"
#include "ntp/serverrow.h"

#define INI_MAX_BYTES (256u * 1024u)   // a larger configuration file is ignored
#define INI_ENTRY_CHARS 512            // work buffer of one "[NTP_SERVER_1]" entry

// Empties host and name of every row.
void ClearServerNames(SERVERROW* rows, uint32_t rowCount);

// "[NTP_SERVER_1]": entry j fills row j (j < rowCount). The entry's key (its text
// before any "=") is split at its first ";" into host and name, both trimmed.
// Rows not supplied, and rows whose entry has no ";", are left as they are.
void ApplyIniServerRows(const INIDOC* doc, SERVERROW* rows, uint32_t rowCount);

// "[NTP_SERVER_2]": one host per entry (its key, leading blanks kept). A new
// MemBlock array, or null when the section is missing or empty.
EXTRALIST* BuildIniExtraList(const INIDOC* doc);

// "[STRINGTABLE]": entry i's value into slots[i] (an entry without "=" leaves
// its slot empty). Returns how many slots the section supplied; the caller
// fills the rest from elsewhere.
uint32_t CopyIniStrings(const INIDOC* doc, wch (*slots)[128], uint32_t slotCount);

// First line of the help text among the configuration file's raw lines: the
// line after the last "[HELP_TEXT]" header (case-sensitive, first column) found
// from line index 2 on, or 0 (the whole file) when there is none.
uint32_t HelpTextStart(const RAWLINES* raw);

// One help line as the log box shows it: null when it is a comment line ("//" or
// ";" in the first column), else the line cut at its first "//".
wch* HelpLine(wch* line);

// Built-in main list: content lines without ";" are skipped and use no row.
void ApplyListServerRows(const TEXTLINES* lines, SERVERROW* rows, uint32_t rowCount);

// Built-in extra list: one host per content line. Null when there are none.
EXTRALIST* BuildListExtraList(const TEXTLINES* lines);

// Replaces g_extraList (the old one is released).
void SetExtraList(EXTRALIST* list);

// The configuration file's path: programPath up to its last backslash, then
// "\Quorlin.INI" (the whole path when there is no backslash). 0, with dst
// emptied, when the result does not fit in cap units.
int ComposeIniPath(wch* dst, uint32_t cap, const wch* programPath);
