#include "text/iniconfig.h"

#include "text/memblock.h"
#include "text/strings.h"

// Defined here rather than beside their Win32 loaders so that modules built on
// Linux as well can read the list and the strings.
EXTRALIST* g_extraList = nullptr;
STRINGTABLE g_stringTable;

uint32_t ExtraListCount() { return g_extraList ? g_extraList->count : 0; }

const wch* Str(int id) {
  static const wch kEmpty[1] = {0};
  if (id < STRING_FIRST_ID || id >= STRING_FIRST_ID + STRING_COUNT) return kEmpty;
  return g_stringTable.slot[id - STRING_FIRST_ID];
}

void SetExtraList(EXTRALIST* list) {
  if (g_extraList != list) ReleaseBlock(&g_extraList);
  g_extraList = list;
}

int ComposeIniPath(wch* dst, uint32_t cap, const wch* programPath) {
  static const wch kName[] = WSTR("\\Quorlin.INI");
  if (!cap) return 0;
  dst[0] = 0;
  if (!programPath) return 0;
  uint32_t keep = 0, len = 0;
  for (; programPath[len]; ++len)
    if (programPath[len] == '\\') keep = len;
  if (!keep && programPath[0] != '\\') keep = len;   // no backslash: keep it whole
  uint32_t nameLen = (uint32_t)(sizeof(kName) / sizeof(kName[0])) - 1;
  if ((uint64_t)keep + nameLen + 1 > cap) return 0;
  for (uint32_t i = 0; i < keep; ++i) dst[i] = programPath[i];
  for (uint32_t i = 0; i <= nameLen; ++i) dst[keep + i] = kName[i];
  return 1;
}

void ClearServerNames(SERVERROW* rows, uint32_t rowCount) {
  for (uint32_t i = 0; i < rowCount; ++i) {
    rows[i].host[0] = 0;
    rows[i].name[0] = 0;
  }
}

// Splits "host ; name" at its first ";" into the row, both parts trimmed.
// Works on a copy so the caller's text is left as it was.
static bool ApplyHostAndName(SERVERROW* row, const wch* entry) {
  wch work[INI_ENTRY_CHARS];
  WCopy(work, INI_ENTRY_CHARS, entry);
  wch* semi = work;
  while (*semi && *semi != ';') ++semi;
  if (!*semi) return false;
  *semi = 0;
  WCopy(row->host, HOST_CHARS, Trim(work));
  WCopy(row->name, HOST_CHARS, Trim(semi + 1));
  return true;
}

static const INISECTION* Section(const INIDOC* doc, const wch* name) {
  int32_t i = FindSection(doc, name);
  return i < 0 ? nullptr : &doc->sections[i];
}

void ApplyIniServerRows(const INIDOC* doc, SERVERROW* rows, uint32_t rowCount) {
  const INISECTION* s = Section(doc, WSTR("[NTP_SERVER_1]"));
  if (!s) return;
  for (uint32_t j = 0; j < rowCount && (int64_t)j <= s->last; ++j) ApplyHostAndName(&rows[j], s->keys[j]);
}

static EXTRALIST* NewExtraList(const wch* const* hosts, uint32_t count) {
  if (!count) return nullptr;
  EXTRALIST* list = (EXTRALIST*)NewBlock((uint64_t)count * sizeof(EXTRALIST));
  if (!list) return nullptr;
  for (uint32_t i = 0; i < count; ++i) WCopy(list[i].host, HOST_CHARS, hosts[i]);
  list[0].count = count;
  return list;
}

EXTRALIST* BuildIniExtraList(const INIDOC* doc) {
  const INISECTION* s = Section(doc, WSTR("[NTP_SERVER_2]"));
  if (!s || s->last < 0) return nullptr;
  return NewExtraList(s->keys, (uint32_t)(s->last + 1));
}

uint32_t CopyIniStrings(const INIDOC* doc, wch (*slots)[128], uint32_t slotCount) {
  const INISECTION* s = Section(doc, WSTR("[STRINGTABLE]"));
  if (!s) return 0;
  uint32_t n = 0;
  for (; n < slotCount && (int64_t)n <= s->last; ++n) WCopy(slots[n], 128, s->values[n]);
  return n;
}

uint32_t HelpTextStart(const RAWLINES* raw) {
  static const wch kHeader[] = WSTR("[HELP_TEXT]");
  for (uint32_t i = raw->count; i > 2; --i) {
    const wch* line = raw->items[i - 1];
    uint32_t k = 0;
    while (kHeader[k] && line[k] == kHeader[k]) ++k;
    if (!kHeader[k]) return i;
  }
  return 0;
}

wch* HelpLine(wch* line) {
  if ((line[0] == '/' && line[1] == '/') || line[0] == ';') return nullptr;
  for (wch* p = line; *p; ++p)
    if (p[0] == '/' && p[1] == '/') {
      *p = 0;
      break;
    }
  return line;
}

void ApplyListServerRows(const TEXTLINES* lines, SERVERROW* rows, uint32_t rowCount) {
  uint32_t row = 0;
  for (uint32_t i = 0; i < lines->contentCount && row < rowCount; ++i)
    if (ApplyHostAndName(&rows[row], lines->content[i])) ++row;
}

EXTRALIST* BuildListExtraList(const TEXTLINES* lines) {
  return NewExtraList(lines->content, lines->contentCount);
}
