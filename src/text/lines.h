// In-place text tools shared by the configuration loaders, the interface strings
// and the help text: splitting into lines, dropping comments and blank lines,
// grouping lines into "[NAME]" sections of key=value entries, trimming.
// Lines, keys and values point into the text buffer they were built on; that
// buffer must outlive every list built on it. Arrays are MemBlock blocks.
#pragma once
#include <stdint.h>
#include "text/wch.h"

struct RAWLINES {
  uint32_t count;
  wch** items;   // count line starts, then a null pointer
};

struct TEXTLINES {
  int32_t trimMode;        // 1: blanks trimmed on both sides; 0: trailing blanks only
  uint32_t contentCount;
  wch** content;           // trimmed lines without comments, then a null pointer
  RAWLINES raw;
};

struct INISECTION {
  int32_t last;      // index of the last entry, -1 while there is none
  wch* header;       // the header line as filtered, brackets included
  wch** keys;        // per entry: the text before the first "=" (or the whole line)
  wch** values;      // per entry: the text after the first "=", or null
};

struct INIDOC {
  int32_t sectionTrimMode;   // 1: keys and values trimmed on both sides; 0: trailing only
  int32_t lastSection;       // -1 when there is none
  TEXTLINES lines;
  INISECTION* sections;
};

// Empty list with room for one content pointer (trimMode as given).
void InitTextLines(TEXTLINES* t, int32_t trimMode);
// Releases the arrays (not the text they point into) and empties the list.
void FreeTextLines(TEXTLINES* t);
// Empty document; the configuration file uses trim mode 0 for lines and sections.
void InitIniDoc(INIDOC* doc, int32_t trimMode);
void FreeIniDoc(INIDOC* doc);

// Splits text in place at CR, LF and CR LF (each one line end), after skipping a
// leading U+FEFF. An empty remainder after the last line end is not a line.
// Returns 0 when memory ran out (the lines found so far stay valid).
int SplitLines(RAWLINES* raw, wch* text);

// Fills content from raw: trims by trimMode, drops lines starting with "//" or
// ";" and blank lines, cuts trailing "//" comments (the "//" of an "nts://"
// host starts none). 0 when memory ran out.
int FilterLines(TEXTLINES* t);

// Groups the document's content lines into sections. 0 when memory ran out.
int ParseSections(INIDOC* doc);

// Index of the first section whose header equals name (brackets included),
// ignoring ASCII letter case; -1 when there is none.
int32_t FindSection(const INIDOC* doc, const wch* name);

// Number of entries of section index (0 for -1 or an index out of range).
uint32_t SectionEntryCount(const INIDOC* doc, int32_t index);

// Skips leading c1/c2; a string of blanks only is emptied. Null for null.
wch* TrimLeft(wch* s, wch c1, wch c2);
// Cuts trailing c1/c2 by writing zeros. Returns s (null for null).
wch* TrimRight(wch* s, wch c1, wch c2);
// TrimLeft then TrimRight with space and tab.
wch* Trim(wch* s);

// 1 when every character is 0-9 (also for the empty string), else 0.
int IsAllDigits(const wch* s);

// ASCII-case-insensitive equality, used for section names.
int EqualsNoCase(const wch* a, const wch* b);
