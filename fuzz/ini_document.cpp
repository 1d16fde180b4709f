// The configuration file's portable path in UTF-16: line splitting and filtering,
// sections, the server rows, the extra list, the interface strings applied from
// the document and the help-text lookup, each against a plain reference built
// on std::u16string, plus the resource-list path (lines trimmed on both sides).
//
// Input: the file's bytes, read as UTF-16LE (after the byte-order mark when
// there is one, as the loader does); the text ends at its first zero unit.
#include <string>
#include <string_view>
#include <vector>

#include "fuzzinput.h"
#include "ntp/serverrow.h"
#include "text/format.h"
#include "text/iniconfig.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/strings.h"

// Views into the input's text: the reference allocates next to nothing, so
// the target runs at the speed of the code under test.
typedef std::u16string_view str;

namespace {

const wch kSpace = 0x20, kTab = 0x09, kCR = 0x0D, kLF = 0x0A;

bool Blank(wch c) { return c == kSpace || c == kTab; }

str TrimBoth(const str& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

str TrimTrailing(const str& s) {
  size_t e = s.size();
  while (e > 0 && Blank(s[e - 1])) --e;
  return s.substr(0, e);
}

str TrimMode(const str& s, int mode) { return mode == 1 ? TrimBoth(s) : TrimTrailing(s); }

// WCopy's cut: cap - 1 units, one fewer where a surrogate pair would be split.
str Cut(const str& s, size_t cap) {
  size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
  if (n > 0 && n < s.size() && s[n - 1] >= 0xD800 && s[n - 1] < 0xDC00) --n;
  return s.substr(0, n);
}

bool StartsWith(const str& s, const char16_t* prefix) {
  for (size_t i = 0; prefix[i]; ++i)
    if (i >= s.size() || s[i] != prefix[i]) return false;
  return true;
}

char16_t Fold(char16_t c) { return (c >= 'a' && c <= 'z') ? (char16_t)(c - 'a' + 'A') : c; }

bool EqualFolded(const str& a, const str& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

// The text within a field of cap units, or a finding when it is not terminated there.
str Field(const wch* field, size_t cap, const char* what, int row) {
  size_t n = 0;
  while (n < cap && field[n]) ++n;
  FUZZ_CHECK(n < cap, "%s of row %d is not terminated within its %zu units", what, row, cap);
  return str(field, n);
}

std::string Show(const str& s) {
  std::string out;
  for (char16_t c : s) {
    char buf[12];
    if (c >= 0x20 && c < 0x7F) {
      out += (char)c;
    } else {
      snprintf(buf, sizeof buf, "\\u%04x", (unsigned)c);
      out += buf;
    }
  }
  return out;
}

// Lines as split at CR LF, CR and LF after one leading U+FEFF.
std::vector<str> ReferenceLines(const str& text) {
  std::vector<str> lines;
  size_t p = !text.empty() && text[0] == 0xFEFF ? 1 : 0;
  for (;;) {
    size_t q = p;
    while (q < text.size() && text[q] != kCR && text[q] != kLF) ++q;
    if (q == text.size()) break;
    lines.push_back(text.substr(p, q - p));
    p = (text[q] == kCR && q + 1 < text.size() && text[q + 1] == kLF) ? q + 2 : q + 1;
  }
  if (p < text.size()) lines.push_back(text.substr(p));
  return lines;
}

std::vector<str> ReferenceContent(const std::vector<str>& lines, int mode) {
  std::vector<str> content;
  for (const str& raw : lines) {
    str line = TrimMode(raw, mode);
    if (line.empty() || StartsWith(line, u"//") || line[0] == ';') continue;
    const size_t comment = line.find(u"//");
    if (comment != str::npos) line = TrimMode(line.substr(0, comment), mode);
    if (!line.empty()) content.push_back(line);
  }
  return content;
}

struct RefEntry {
  str key, value;
  bool hasValue;
};
struct RefSection {
  str header;
  std::vector<RefEntry> entries;
};

std::vector<RefSection> ReferenceSections(const std::vector<str>& content, int mode) {
  std::vector<RefSection> sections;
  int current = -1;
  for (const str& line : content) {
    if (line[0] == '[' && line.find(u']') != str::npos) {
      current = -1;
      for (size_t i = 0; i < sections.size() && current < 0; ++i)
        if (EqualFolded(sections[i].header, line)) current = (int)i;
      if (current < 0) {
        sections.push_back(RefSection{line, {}});
        current = (int)sections.size() - 1;
      }
    } else if (current >= 0) {
      const size_t eq = line.find(u'=');
      RefEntry e;
      e.hasValue = eq != str::npos;
      e.key = TrimMode(e.hasValue ? line.substr(0, eq) : line, mode);
      e.value = e.hasValue ? TrimMode(line.substr(eq + 1), mode) : str();
      sections[current].entries.push_back(e);
    }
  }
  return sections;
}

const RefSection* RefFind(const std::vector<RefSection>& sections, const char16_t* name) {
  for (const RefSection& s : sections)
    if (EqualFolded(s.header, name)) return &s;
  return nullptr;
}

// A copy of the text in a buffer of exactly its length plus the terminator.
wch* Buffer(const str& text) {
  wch* b = (wch*)malloc((text.size() + 1) * sizeof(wch));
  memcpy(b, text.data(), text.size() * sizeof(wch));
  b[text.size()] = 0;
  return b;
}

bool Inside(const wch* p, const wch* buffer, size_t units) { return p >= buffer && p <= buffer + units; }

void CheckRawLines(const RAWLINES& raw, const std::vector<str>& expect, const wch* buffer, size_t units) {
  FUZZ_CHECK(raw.count == expect.size(), "%u lines, expected %zu", raw.count, expect.size());
  FUZZ_CHECK(raw.items[raw.count] == nullptr, "line list not closed by a null pointer");
  for (uint32_t i = 0; i < raw.count; ++i) {
    FUZZ_CHECK(Inside(raw.items[i], buffer, units), "line %u points outside the text", i);
    FUZZ_CHECK(str(raw.items[i]) == expect[i], "line %u is \"%s\", expected \"%s\"", i, Show(raw.items[i]).c_str(),
               Show(expect[i]).c_str());
  }
}

void CheckContent(const TEXTLINES& t, const std::vector<str>& expect, const wch* buffer, size_t units) {
  FUZZ_CHECK(t.contentCount == expect.size(), "%u content lines, expected %zu", t.contentCount, expect.size());
  FUZZ_CHECK(t.content[t.contentCount] == nullptr, "content list not closed by a null pointer");
  for (uint32_t i = 0; i < t.contentCount; ++i) {
    FUZZ_CHECK(Inside(t.content[i], buffer, units), "content line %u points outside the text", i);
    FUZZ_CHECK(str(t.content[i]) == expect[i], "content line %u is \"%s\", expected \"%s\"", i,
               Show(t.content[i]).c_str(), Show(expect[i]).c_str());
  }
}

void CheckSections(const INIDOC& doc, const std::vector<RefSection>& expect) {
  FUZZ_CHECK(doc.lastSection + 1 == (int64_t)expect.size(), "%d sections, expected %zu", doc.lastSection + 1,
             expect.size());
  for (size_t i = 0; i < expect.size(); ++i) {
    const INISECTION& s = doc.sections[i];
    FUZZ_CHECK(str(s.header) == expect[i].header, "header %zu", i);
    FUZZ_CHECK(s.last + 1 == (int64_t)expect[i].entries.size(), "section %zu has %d entries, expected %zu", i,
               s.last + 1, expect[i].entries.size());
    if (s.last < 0) continue;
    FUZZ_CHECK(s.keys[s.last + 1] == nullptr && s.values[s.last + 1] == nullptr, "entries of %zu not closed", i);
    for (int32_t k = 0; k <= s.last; ++k) {
      const RefEntry& e = expect[i].entries[k];
      FUZZ_CHECK(str(s.keys[k]) == e.key, "key %d of section %zu is \"%s\", expected \"%s\"", k, i,
                 Show(s.keys[k]).c_str(), Show(e.key).c_str());
      FUZZ_CHECK((s.values[k] != nullptr) == e.hasValue, "value %d of section %zu present %d", k, i, e.hasValue);
      if (e.hasValue) FUZZ_CHECK(str(s.values[k]) == e.value, "value %d of section %zu", k, i);
    }
  }
  for (const char16_t* name : {u"[NTP_SERVER_1]", u"[ntp_server_2]", u"[StringTable]", u"[HELP_TEXT]", u"["}) {
    const int32_t found = FindSection(&doc, (const wch*)name);
    int32_t want = -1;
    for (size_t i = 0; i < expect.size() && want < 0; ++i)
      if (EqualFolded(expect[i].header, name)) want = (int32_t)i;
    FUZZ_CHECK(found == want, "FindSection(%s) gave %d, expected %d", Show(name).c_str(), found, want);
    FUZZ_CHECK(SectionEntryCount(&doc, found) == (want < 0 ? 0u : (uint32_t)expect[want].entries.size()),
               "entry count of %s", Show(name).c_str());
  }
}

// Rows before loading: "keep" in both fields, then no terminator to the field's end.
void FillRows(SERVERROW* rows) {
  memset(rows, 0x5A, sizeof(SERVERROW) * SERVER_COUNT);
  for (int i = 0; i < SERVER_COUNT; ++i) {
    const char16_t keep[] = u"keep";
    memcpy(rows[i].host, keep, sizeof keep);
    memcpy(rows[i].name, keep, sizeof keep);
  }
}

// "host ; name" of one entry as the loader splits it: in a work buffer of
// INI_ENTRY_CHARS units, at the first ";", both parts trimmed and cut to a field.
bool ReferenceRow(const str& entry, str* host, str* name) {
  const str work = Cut(entry, INI_ENTRY_CHARS);
  const size_t semi = work.find(u';');
  if (semi == str::npos) return false;
  *host = Cut(TrimBoth(work.substr(0, semi)), HOST_CHARS);
  *name = Cut(TrimBoth(work.substr(semi + 1)), HOST_CHARS);
  return true;
}

void CheckRows(const SERVERROW* rows, const std::vector<str>& entries) {
  for (int i = 0; i < SERVER_COUNT; ++i) {
    str host = u"keep", name = u"keep";
    if ((size_t)i < entries.size()) ReferenceRow(entries[i], &host, &name);
    FUZZ_CHECK(Field(rows[i].host, HOST_CHARS, "host", i) == host, "host of row %d is \"%s\", expected \"%s\"", i,
               Show(rows[i].host).c_str(), Show(host).c_str());
    FUZZ_CHECK(Field(rows[i].name, HOST_CHARS, "name", i) == name, "name of row %d is \"%s\", expected \"%s\"", i,
               Show(rows[i].name).c_str(), Show(name).c_str());
  }
}

void CheckExtraList(EXTRALIST* list, const std::vector<str>& hosts) {
  FUZZ_CHECK((list == nullptr) == hosts.empty(), "extra list %p for %zu hosts", (void*)list, hosts.size());
  SetExtraList(list);
  FUZZ_CHECK(ExtraListCount() == hosts.size(), "extra list counts %u, expected %zu", ExtraListCount(), hosts.size());
  for (size_t i = 0; i < hosts.size(); ++i)
    FUZZ_CHECK(Field(g_extraList[i].host, HOST_CHARS, "extra host", (int)i) == Cut(hosts[i], HOST_CHARS),
               "extra host %zu is \"%s\"", i, Show(g_extraList[i].host).c_str());
  SetExtraList(nullptr);
}

// The configuration document: lines trimmed at the end only, then what the
// program takes from it.
void CheckConfigurationDocument(const str& text) {
  wch* buffer = Buffer(text);
  const size_t units = text.size();
  INIDOC doc;
  InitIniDoc(&doc, 0);
  FUZZ_CHECK(doc.lines.trimMode == 0 && doc.sectionTrimMode == 0 && doc.lastSection == -1, "fresh document");
  FUZZ_CHECK(SplitLines(&doc.lines.raw, buffer), "split failed");
  const std::vector<str> lines = ReferenceLines(text);
  CheckRawLines(doc.lines.raw, lines, buffer, units);
  FUZZ_CHECK(FilterLines(&doc.lines), "filter failed");
  const std::vector<str> content = ReferenceContent(lines, 0);
  CheckContent(doc.lines, content, buffer, units);
  FUZZ_CHECK(ParseSections(&doc), "parse failed");
  const std::vector<RefSection> sections = ReferenceSections(content, 0);
  CheckSections(doc, sections);

  // "[NTP_SERVER_1]": the rows.
  SERVERROW* rows = (SERVERROW*)malloc(sizeof(SERVERROW) * SERVER_COUNT);
  FillRows(rows);
  ApplyIniServerRows(&doc, rows, SERVER_COUNT);
  std::vector<str> entries;
  if (const RefSection* s = RefFind(sections, u"[NTP_SERVER_1]"))
    for (const RefEntry& e : s->entries) entries.push_back(e.key);
  CheckRows(rows, entries);
  free(rows);

  // "[NTP_SERVER_2]": the extra list.
  std::vector<str> hosts;
  if (const RefSection* s = RefFind(sections, u"[NTP_SERVER_2]"))
    for (const RefEntry& e : s->entries) hosts.push_back(e.key);
  CheckExtraList(BuildIniExtraList(&doc), hosts);

  // "[STRINGTABLE]": into the program's table, over slots without a terminator.
  memset(&g_stringTable, 0x5A, sizeof g_stringTable);
  const uint32_t supplied = CopyIniStrings(&doc, g_stringTable.slot, STRING_COUNT);
  const RefSection* strings = RefFind(sections, u"[STRINGTABLE]");
  const size_t want = strings ? (strings->entries.size() < STRING_COUNT ? strings->entries.size() : STRING_COUNT) : 0;
  FUZZ_CHECK(supplied == want, "%u strings supplied, expected %zu", supplied, want);
  for (uint32_t i = 0; i < supplied; ++i) {
    const str value = strings->entries[i].hasValue ? Cut(strings->entries[i].value, STRING_CHARS) : str();
    FUZZ_CHECK(Field(g_stringTable.slot[i], STRING_CHARS, "string", (int)(STRING_FIRST_ID + i)) == value,
               "string %u is \"%s\"", STRING_FIRST_ID + i, Show(g_stringTable.slot[i]).c_str());
  }
  for (uint32_t i = supplied; i < STRING_COUNT; ++i) g_stringTable.slot[i][0] = 0;   // the resource's part
  FUZZ_CHECK(Str(STRING_FIRST_ID - 1)[0] == 0 && Str(STRING_FIRST_ID + STRING_COUNT)[0] == 0, "ids outside");
  // A format taken from the file reads only the arguments it is given.
  const wch* args[2] = {Str(101), WSTR("30")};
  wch out[STRING_CHARS];
  const unsigned long n = FormatText(out, STRING_CHARS, Str(136), args, 2);
  FUZZ_CHECK(n < STRING_CHARS && out[n] == 0 && WLen(out) == n, "formatted string 136");

  FreeIniDoc(&doc);
  free(buffer);
}

// The built-in lists' path: lines trimmed on both sides, rows from lines with ";".
void CheckResourceLists(const str& text) {
  wch* buffer = Buffer(text);
  TEXTLINES lines;
  InitTextLines(&lines, 1);
  FUZZ_CHECK(lines.trimMode == 1 && lines.contentCount == 0 && lines.content, "fresh line list");
  FUZZ_CHECK(SplitLines(&lines.raw, buffer) && FilterLines(&lines), "filter failed");
  const std::vector<str> content = ReferenceContent(ReferenceLines(text), 1);
  CheckContent(lines, content, buffer, text.size());

  SERVERROW* rows = (SERVERROW*)malloc(sizeof(SERVERROW) * SERVER_COUNT);
  FillRows(rows);
  ApplyListServerRows(&lines, rows, SERVER_COUNT);
  int row = 0;
  for (const str& line : content) {
    if (row == SERVER_COUNT) break;
    str host, name;
    if (!ReferenceRow(line, &host, &name)) continue;
    FUZZ_CHECK(Field(rows[row].host, HOST_CHARS, "host", row) == host && Field(rows[row].name, HOST_CHARS, "name", row) == name,
               "list row %d is \"%s\";\"%s\"", row, Show(rows[row].host).c_str(), Show(rows[row].name).c_str());
    ++row;
  }
  for (; row < SERVER_COUNT; ++row)
    FUZZ_CHECK(Field(rows[row].host, HOST_CHARS, "host", row) == u"keep" && Field(rows[row].name, HOST_CHARS, "name", row) == u"keep",
               "list row %d was written", row);
  free(rows);
  CheckExtraList(BuildListExtraList(&lines), content);
  FreeTextLines(&lines);
  free(buffer);
}

// The help text: the raw lines after the last "[HELP_TEXT]" (from line 2 on),
// each shown unless it is a comment, cut at its first "//".
void CheckHelpText(const str& text) {
  wch* buffer = Buffer(text);
  RAWLINES raw = {0, nullptr};
  FUZZ_CHECK(SplitLines(&raw, buffer), "split failed");
  const std::vector<str> lines = ReferenceLines(text);
  CheckRawLines(raw, lines, buffer, text.size());
  uint32_t want = 0;
  for (size_t i = lines.size(); i > 2 && !want; --i)
    if (StartsWith(lines[i - 1], u"[HELP_TEXT]")) want = (uint32_t)i;
  const uint32_t first = HelpTextStart(&raw);
  FUZZ_CHECK(first == want, "help text starts at line %u, expected %u", first, want);
  for (uint32_t i = first; i < raw.count; ++i) {
    const str& line = lines[i];
    wch* shown = HelpLine(raw.items[i]);
    if (StartsWith(line, u"//") || StartsWith(line, u";")) {
      FUZZ_CHECK(shown == nullptr, "comment line %u shown", i);
      continue;
    }
    const size_t comment = line.find(u"//");
    FUZZ_CHECK(shown == raw.items[i] && str(shown) == line.substr(0, comment), "help line %u is \"%s\"", i,
               Show(shown ? shown : WSTR("(none)")).c_str());
  }
  ReleaseBlock(&raw.items);
  free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t start = size >= 2 && data[0] == 0xFF && data[1] == 0xFE ? 2 : 0;
  std::u16string text;
  for (size_t i = start; i + 1 < size; i += 2) {
    const char16_t c = (char16_t)(data[i] | (data[i + 1] << 8));
    if (!c) break;
    text.push_back(c);
  }
  const uint64_t blocksBefore = MemRecordCount();
  CheckConfigurationDocument(text);
  CheckResourceLists(text);
  CheckHelpText(text);
  FUZZ_CHECK(MemRecordCount() == blocksBefore, "%llu blocks left behind",
             (unsigned long long)(MemRecordCount() - blocksBefore));
  return 0;
}
