// The ten server rows and the extra server list, from the INI file beside the
// program or from the built-in text resources 147 and 148.
#pragma once
#include <stdint.h>
#include "text/wch.h"

struct EXTRALIST {
  wch host[128];
  uint32_t count;   // in the first entry: the number of entries
};

extern EXTRALIST* g_extraList;   // a MemBlock array, null when there are no entries

// Number of entries of g_extraList (0 when there is none).
uint32_t ExtraListCount();

#ifdef _WIN32
// Builds iniPath from argv[0], sets iniPresent, fills host and name of the ten
// work rows and the extra list, and gives row #9 the first extra host.
void LoadServerLists();

struct INIDOC;
// The configuration document, alive for the whole run once LoadServerLists has
// read the INI file; null when the lists came from the resources.
const INIDOC* IniDocument();
#endif
