// The texts of the autostart: the command line of the Run value and the Task
// Scheduler definition that starts the same command elevated at every logon
// (Windows never starts a Run entry that requires elevation). Pure text
// building, no system calls, so the definition can be checked anywhere.
#pragma once
#include "text/wch.h"

// Room for either text with a path of the longest Windows length.
#define AUTOSTART_LINE_CHARS (32768 + 64)
#define AUTOSTART_XML_CHARS (6 * 32768 + 2048)

// The Run value: a double quote, path, a double quote, a blank, "/AutoSync"
// (automatic set) or "/CycleSync", a blank and number in decimal. Writes
// out[cap] and returns the length, or 0 with an empty text when it does not fit.
unsigned long ComposeAutostartLine(wch* out, unsigned long cap, const wch* path, int automatic,
                                   unsigned long long number);

// The task definition (Task Scheduler 2.0 XML, UTF-16): a logon trigger for any
// user, the highest available run level, no time limit, and an action whose
// command is the quoted path and whose arguments are the option and number, so
// that command and arguments read as the Run value's line. &, <, > and " in the
// path are written as entities. Returns the length, or 0 with an empty text
// when it does not fit out[cap].
unsigned long ComposeAutostartTaskXml(wch* out, unsigned long cap, const wch* path, int automatic,
                                      unsigned long long number);
