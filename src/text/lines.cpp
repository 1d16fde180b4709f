#include "text/lines.h"

#include "text/memblock.h"

static const wch kSpace = 0x20, kTab = 0x09, kLF = 0x0A, kCR = 0x0D, kBOM = 0xFEFF;

// Pointer arrays are sized to the next power of two of what they must hold, so
// a list of n lines is reallocated about log2(n) times instead of n times.
static uint64_t RoomFor(uint64_t n) {
  uint64_t c = 1;
  while (c < n) c <<= 1;
  return c;
}

// Makes *arr (holding `have` elements) hold at least `need`.
static bool Reserve(void** arr, uint64_t have, uint64_t need, uint64_t elemSize) {
  if (*arr && RoomFor(have) >= need) return true;
  void* grown = ResizeBlock(*arr, RoomFor(need) * elemSize);
  if (!grown) return false;
  *arr = grown;
  return true;
}

// Appends p to a null-terminated pointer list of *count items.
static bool AppendPointer(wch*** list, uint32_t* count, wch* p) {
  if (*count >= UINT32_MAX - 2) return false;
  if (!Reserve((void**)list, (uint64_t)*count + 1, (uint64_t)*count + 2, sizeof(wch*))) return false;
  (*list)[(*count)++] = p;
  (*list)[*count] = nullptr;
  return true;
}

void InitTextLines(TEXTLINES* t, int32_t trimMode) {
  t->trimMode = trimMode;
  t->contentCount = 0;
  t->content = (wch**)NewBlock(sizeof(wch*));
  t->raw.count = 0;
  t->raw.items = nullptr;
}

void FreeTextLines(TEXTLINES* t) {
  ReleaseBlock(&t->content);
  ReleaseBlock(&t->raw.items);
  t->contentCount = 0;
  t->raw.count = 0;
}

void InitIniDoc(INIDOC* doc, int32_t trimMode) {
  doc->sectionTrimMode = trimMode;
  doc->lastSection = -1;
  doc->sections = nullptr;
  InitTextLines(&doc->lines, trimMode);
}

void FreeIniDoc(INIDOC* doc) {
  for (int32_t i = 0; doc->sections && i <= doc->lastSection; ++i) {
    ReleaseBlock(&doc->sections[i].keys);
    ReleaseBlock(&doc->sections[i].values);
  }
  ReleaseBlock(&doc->sections);
  doc->lastSection = -1;
  FreeTextLines(&doc->lines);
}

int SplitLines(RAWLINES* raw, wch* text) {
  raw->count = 0;
  if (!Reserve((void**)&raw->items, 0, 1, sizeof(wch*))) return 0;
  raw->items[0] = nullptr;
  if (!text) return 1;
  wch* p = text;
  if (*p == kBOM) ++p;
  for (;;) {
    wch* q = p;
    while (*q && *q != kLF && *q != kCR) ++q;
    if (!*q) break;
    // CR LF is one line end; a lone CR or a lone LF is one too, so no text
    // between a stray CR and the next LF is lost.
    wch* end = (*q == kCR && q[1] == kLF) ? q + 1 : q;
    *q = 0;
    *end = 0;
    if (!AppendPointer(&raw->items, &raw->count, p)) return 0;
    p = end + 1;
  }
  if (*p && !AppendPointer(&raw->items, &raw->count, p)) return 0;
  return 1;
}

wch* TrimLeft(wch* s, wch c1, wch c2) {
  if (!s || !*s) return s;
  wch* last = s + WLen(s) - 1;
  while ((*s == c1 || *s == c2) && s < last) ++s;
  if (*s == c1 || *s == c2) *s = 0;
  return s;
}

wch* TrimRight(wch* s, wch c1, wch c2) {
  if (!s || !*s) return s;
  wch* p = s + WLen(s) - 1;
  while ((*p == c1 || *p == c2) && p > s) *p-- = 0;
  if (*p == c1 || *p == c2) *s = 0;
  return s;
}

wch* Trim(wch* s) {
  if (!s) return s;
  unsigned long n;
  wch* t = const_cast<wch*>(WTrimmed(s, &n));
  t[n] = 0;
  return t;
}

static wch* TrimByMode(wch* s, int32_t mode) {
  return mode == 1 ? Trim(s) : TrimRight(s, kSpace, kTab);
}

static bool StartsComment(const wch* s) { return (s[0] == '/' && s[1] == '/') || s[0] == ';'; }

static wch* FindPair(wch* s, wch a, wch b) {
  for (; *s; ++s)
    if (s[0] == a && s[1] == b) return s;
  return nullptr;
}

// The "//" of an NTS server's "nts://" prefix (any case) names a host, so it
// starts no comment; every other "//" does.
static bool AfterNtsScheme(const wch* line, const wch* slashes) {
  if (slashes - line < 4) return false;
  const wch* p = slashes - 4;
  return (p[0] | 0x20) == 'n' && (p[1] | 0x20) == 't' && (p[2] | 0x20) == 's' && p[3] == ':';
}

static wch* FindComment(wch* line) {
  for (wch* s = line; (s = FindPair(s, '/', '/')) != nullptr; s += 2)
    if (!AfterNtsScheme(line, s)) return s;
  return nullptr;
}

static wch* FindChar(wch* s, wch c) {
  for (; *s; ++s)
    if (*s == c) return s;
  return nullptr;
}

int FilterLines(TEXTLINES* t) {
  t->contentCount = 0;
  if (!Reserve((void**)&t->content, 0, 1, sizeof(wch*))) return 0;
  t->content[0] = nullptr;
  for (uint32_t i = 0; i < t->raw.count; ++i) {
    wch* line = TrimByMode(t->raw.items[i], t->trimMode);
    if (!*line || StartsComment(line)) continue;
    wch* comment = FindComment(line);
    if (comment) *comment = 0;
    line = TrimByMode(line, t->trimMode);
    if (*line && !AppendPointer(&t->content, &t->contentCount, line)) return 0;
  }
  return 1;
}

static wch FoldAscii(wch c) { return (c >= 'a' && c <= 'z') ? (wch)(c - 'a' + 'A') : c; }

int EqualsNoCase(const wch* a, const wch* b) {
  if (!a || !b) return 0;
  for (; *a && *b; ++a, ++b)
    if (FoldAscii(*a) != FoldAscii(*b)) return 0;
  return *a == *b;
}

int32_t FindSection(const INIDOC* doc, const wch* name) {
  if (!doc->sections || !name) return -1;
  for (int32_t i = 0; i <= doc->lastSection; ++i)
    if (EqualsNoCase(doc->sections[i].header, name)) return i;
  return -1;
}

uint32_t SectionEntryCount(const INIDOC* doc, int32_t index) {
  if (index < 0 || index > doc->lastSection || !doc->sections) return 0;
  return (uint32_t)(doc->sections[index].last + 1);
}

static bool AddSection(INIDOC* doc, wch* header) {
  if (doc->lastSection >= INT32_MAX - 2) return false;
  uint64_t have = (uint64_t)(doc->lastSection + 1);
  if (!Reserve((void**)&doc->sections, have, have + 1, sizeof(INISECTION))) return false;
  INISECTION* s = &doc->sections[++doc->lastSection];
  s->last = -1;
  s->header = header;
  s->keys = nullptr;
  s->values = nullptr;
  return true;
}

static bool AddEntry(INISECTION* s, wch* line, int32_t mode) {
  if (s->last >= INT32_MAX - 2) return false;
  uint64_t have = (uint64_t)(s->last + 2);   // entries plus the closing null
  if (!Reserve((void**)&s->keys, have, have + 1, sizeof(wch*)) ||
      !Reserve((void**)&s->values, have, have + 1, sizeof(wch*)))
    return false;
  wch* value = nullptr;
  wch* eq = FindChar(line, '=');
  if (eq) {
    *eq = 0;
    value = TrimByMode(eq + 1, mode);
  }
  int32_t i = ++s->last;
  s->keys[i] = TrimByMode(line, mode);
  s->values[i] = value;
  s->keys[i + 1] = nullptr;
  s->values[i + 1] = nullptr;
  return true;
}

// Section lookup while parsing: headers by a hash of their folded text, so a text
// made of many sections is parsed in linear time. Slots hold section + 1.
struct HEADERINDEX {
  int32_t* slots;
  uint32_t size;   // a power of two, or 0 when there is no index
};

static uint32_t HeaderHash(const wch* s) {
  uint32_t h = 2166136261u;
  for (; *s; ++s) h = (h ^ (uint32_t)FoldAscii(*s)) * 16777619u;
  return h;
}

static void IndexHeader(HEADERINDEX* ix, const INIDOC* doc, int32_t section) {
  uint32_t i = HeaderHash(doc->sections[section].header) & (ix->size - 1);
  while (ix->slots[i]) i = (i + 1) & (ix->size - 1);
  ix->slots[i] = section + 1;
}

// Keeps the index at most half full; without memory for it, lookups walk the sections.
static void GrowHeaderIndex(HEADERINDEX* ix, const INIDOC* doc) {
  uint64_t sections = (uint64_t)(doc->lastSection + 1);
  if (ix->slots && sections * 2 < ix->size) return;
  ReleaseBlock(&ix->slots);
  ix->size = 0;
  uint64_t want = 64;
  while (want <= sections * 2) want <<= 1;
  if (want > UINT32_MAX) return;
  ix->slots = (int32_t*)NewBlock(want * sizeof(int32_t));
  if (!ix->slots) return;
  ix->size = (uint32_t)want;
  for (int32_t k = 0; k <= doc->lastSection; ++k) IndexHeader(ix, doc, k);
}

static int32_t FindHeader(const HEADERINDEX* ix, const INIDOC* doc, const wch* line) {
  if (!ix->slots) return FindSection(doc, line);
  for (uint32_t i = HeaderHash(line) & (ix->size - 1); ix->slots[i]; i = (i + 1) & (ix->size - 1))
    if (EqualsNoCase(doc->sections[ix->slots[i] - 1].header, line)) return ix->slots[i] - 1;
  return -1;
}

int ParseSections(INIDOC* doc) {
  doc->lastSection = -1;
  HEADERINDEX ix = {nullptr, 0};
  int32_t current = -1;
  int ok = 1;
  for (uint32_t i = 0; ok && i < doc->lines.contentCount; ++i) {
    wch* line = doc->lines.content[i];
    if (line[0] == '[' && FindChar(line, ']')) {
      // Headers equal but for letter case hash alike; each is added only once.
      current = FindHeader(&ix, doc, line);
      if (current < 0) {
        GrowHeaderIndex(&ix, doc);
        if (!AddSection(doc, line)) {
          ok = 0;
          break;
        }
        current = doc->lastSection;
        if (ix.slots) IndexHeader(&ix, doc, current);
      }
    } else if (current >= 0 && *line) {
      ok = AddEntry(&doc->sections[current], line, doc->sectionTrimMode) ? 1 : 0;
    }
  }
  ReleaseBlock(&ix.slots);
  return ok;
}

int IsAllDigits(const wch* s) {
  if (!s) return 0;
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return 0;
  return 1;
}
