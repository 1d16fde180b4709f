// Malformed configuration texts of up to 256 KiB: parsed and applied without a
// crash, a hang or a write past any field, and every list built stays inside
// the text it was built on. Seeds are fixed, so a failure repeats.
#include <gtest/gtest.h>

#include <string.h>
#include <string>
#include <vector>

#include "testtext.h"
#include "text/iniconfig.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/strings.h"

namespace {

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return (uint32_t)(s >> 11);
  }
  uint32_t Below(uint32_t n) { return n ? Next() % n : 0; }
};

// Full-size texts natively; the 32-bit Windows build runs under an emulator,
// so it gets smaller ones.
const uint32_t kMaxUnits = sizeof(void*) == 4 ? 32 * 1024 : INI_MAX_BYTES / sizeof(wch);

void Add(wstr16& t, const char* utf8) { t += U16(utf8); }

const char* const kTokens[] = {
    "[", "]", "=", ";", "//", "/", "\r", "\n", "\r\n", " ", "\t", "[NTP_SERVER_1]", "[ntp_server_2]",
    "[STRINGTABLE]", "[HELP_TEXT]", "[help_text]", "host", "名称", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80",
    "10.0.0.1", "=;=", "#9 其它服务器", "\xE3\x80\x80", "[[]]"};

wstr16 RandomUnits(Rng& r, uint32_t n) {
  wstr16 t;
  for (uint32_t i = 0; i < n; ++i) {
    wch c = (wch)r.Below(0x10000);
    t += c ? c : (wch)'x';
  }
  return t;
}

wstr16 RandomTokens(Rng& r, uint32_t n) {
  wstr16 t;
  while (t.size() < n) Add(t, kTokens[r.Below(sizeof(kTokens) / sizeof(kTokens[0]))]);
  return t;
}

wstr16 OneLine(Rng& r, uint32_t n) {
  wstr16 t = U16("[NTP_SERVER_1]");
  while (t.size() < n) t += (wch)(r.Below(4) == 0 ? ';' : 'a' + r.Below(26));
  return t;
}

wstr16 HugeLines(Rng& r, uint32_t n) {
  const char* heads[] = {"[NTP_SERVER_1]\r\n", "[NTP_SERVER_2]\r\n", "[STRINGTABLE]\r\n", "[HELP_TEXT]\r\n"};
  wstr16 t;
  while (t.size() < n) {
    Add(t, heads[r.Below(4)]);
    uint32_t len = 100000;
    wstr16 line(len, (wch)('a' + r.Below(26)));
    line[r.Below(len)] = ';';
    line[r.Below(len)] = '=';
    t += line;
    Add(t, "\r\n");
  }
  return t;
}

wstr16 RepeatedSections(Rng& r, uint32_t n) {
  const char* heads[] = {"[NTP_SERVER_1]", "[ntp_server_2]", "[StringTable]"};
  wstr16 t;
  for (uint32_t i = 0; t.size() < n; ++i) {
    Add(t, heads[i % 3]);
    Add(t, r.Below(2) ? "\n" : "\r");
    Add(t, "h");
    t += (wch)('0' + i % 10);
    Add(t, ";n=v\r\n");
  }
  return t;
}

wstr16 DistinctSections(Rng& r, uint32_t n) {
  wstr16 t;
  for (uint32_t i = 0; t.size() < n; ++i) {
    Add(t, ("[S" + std::to_string(i) + "]\n").c_str());
    if (r.Below(2)) Add(t, "k=v\n");
  }
  return t;
}

wstr16 LineEndsOnly(Rng& r, uint32_t n) {
  const char* ends[] = {"\r", "\n", "\r\n", "\n\r", " ", "\t"};
  wstr16 t;
  while (t.size() < n) Add(t, ends[r.Below(6)]);
  return t;
}

// Entries at and around the size of every field they are copied into.
wstr16 Overlong(Rng& r, uint32_t n) {
  const uint32_t sizes[] = {126, 127, 128, 129, 510, 511, 512, 513, 5000};
  wstr16 t;
  while (t.size() < n) {
    Add(t, "[NTP_SERVER_1]\r\n");
    for (int k = 0; k < 12; ++k) {
      wstr16 host(sizes[r.Below(9)], 'h');
      if (r.Below(2)) host[host.size() - 1] = 0xD83D;   // half a surrogate pair at the cut
      t += host;
      Add(t, r.Below(4) ? ";" : "");
      t += wstr16(sizes[r.Below(9)], 'n');
      Add(t, "\r\n");
    }
    Add(t, "[NTP_SERVER_2]\r\n");
    for (int k = 0; k < 50; ++k) {
      t += wstr16(sizes[r.Below(9)], 'e');
      Add(t, "\r\n");
    }
    Add(t, "[STRINGTABLE]\r\n");
    for (int k = 0; k < 50; ++k) {
      Add(t, "1=");
      t += wstr16(sizes[r.Below(9)], 's');
      Add(t, "\r\n");
    }
  }
  return t;
}

wstr16 Mutated(Rng& r, uint32_t n) {
  wstr16 t;
  Add(t, "\xEF\xBB\xBF[NTP_SERVER_1]\r\n");
  for (int i = 0; i < 10; ++i) Add(t, ("10.0.0." + std::to_string(i) + " ; #" + std::to_string(i) + "\r\n").c_str());
  Add(t, "[NTP_SERVER_2]\r\n10.9.9.9\r\n[STRINGTABLE]\r\n");
  for (int i = 101; i <= 144; ++i) Add(t, (std::to_string(i) + "=text\r\n").c_str());
  Add(t, "[HELP_TEXT]\r\nhelp\r\n");
  if (t.size() > n) t.resize(n);
  for (uint32_t k = r.Below(40); k > 0 && !t.empty(); --k) {
    size_t at = r.Below((uint32_t)t.size());
    switch (r.Below(3)) {
      case 0: t[at] = (wch)(1 + r.Below(0xFFFF)); break;
      case 1: t.erase(at, 1 + r.Below(8)); break;
      default: t.insert(at, U16(kTokens[r.Below(sizeof(kTokens) / sizeof(kTokens[0]))])); break;
    }
  }
  return t;
}

wstr16 Generate(int kind, Rng& r) {
  uint32_t n = 1 + r.Below(kMaxUnits);
  switch (kind) {
    case 0: return RandomUnits(r, n);
    case 1: return RandomTokens(r, n);
    case 2: {
      const char* boms[] = {"\xEF\xBB\xBF", "\xEF\xBB\xBF\xEF\xBB\xBF", "\xEF\xBB\xBF\r", ""};
      return U16(boms[r.Below(4)]);
    }
    case 3: return OneLine(r, n);
    case 4: return HugeLines(r, kMaxUnits);
    case 5: return RepeatedSections(r, n);
    case 6: return DistinctSections(r, n);
    case 7: return LineEndsOnly(r, n);
    case 8: return Overlong(r, n);
    default: return Mutated(r, n);
  }
}
const int kKinds = 10;

bool Inside(const wch* p, const std::vector<wch>& buf) {
  return p >= buf.data() && p < buf.data() + buf.size();
}

bool Terminated(const wch* s, uint32_t cap) {
  for (uint32_t i = 0; i < cap; ++i)
    if (!s[i]) return true;
  return false;
}

// Rows, slots and a guard each: a write past the fields lands in the guard.
struct Targets {
  SERVERROW rows[SERVER_COUNT];
  uint8_t guardRows[64];
  wch slots[STRING_COUNT][STRING_CHARS];
  uint8_t guardSlots[64];
};

void Exercise(const wstr16& text, const std::string& what) {
  SCOPED_TRACE(what);
  // The text buffer ends in a zero like every loaded text, and nothing more.
  std::vector<wch> buf(text.begin(), text.end());
  buf.push_back(0);

  INIDOC doc;
  InitIniDoc(&doc, 0);
  ASSERT_EQ(SplitLines(&doc.lines.raw, buf.data()), 1);
  ASSERT_EQ(FilterLines(&doc.lines), 1);

  for (uint32_t i = 0; i < doc.lines.raw.count; ++i) {
    const wch* l = doc.lines.raw.items[i];
    ASSERT_TRUE(Inside(l, buf));
    for (; *l; ++l) ASSERT_TRUE(*l != '\r' && *l != '\n');
  }
  for (uint32_t i = 0; i < doc.lines.contentCount; ++i) {
    const wch* l = doc.lines.content[i];
    ASSERT_TRUE(Inside(l, buf));
    uint32_t len = (uint32_t)WLen(l);
    ASSERT_GT(len, 0u);
    ASSERT_NE(l[0], ';');
    ASSERT_NE(l[len - 1], ' ');
    ASSERT_NE(l[len - 1], '\t');
    for (uint32_t k = 0; k + 1 < len; ++k) ASSERT_FALSE(l[k] == '/' && l[k + 1] == '/');
  }
  // Sections cut the content lines at their "=" and trim keys: checked after.
  ASSERT_EQ(ParseSections(&doc), 1);
  for (int32_t s = 0; s <= doc.lastSection; ++s) {
    const INISECTION& sec = doc.sections[s];
    ASSERT_TRUE(Inside(sec.header, buf));
    ASSERT_EQ(sec.header[0], '[');
    if (s < 300) {
      ASSERT_EQ(FindSection(&doc, sec.header), s);   // each name once
    }
    for (int32_t e = 0; e <= sec.last; ++e) {
      ASSERT_TRUE(Inside(sec.keys[e], buf));
      if (sec.values[e]) {
        ASSERT_TRUE(Inside(sec.values[e], buf));
      }
    }
    if (sec.last >= 0) {
      ASSERT_EQ(sec.keys[sec.last + 1], nullptr);
      ASSERT_EQ(sec.values[sec.last + 1], nullptr);
    }
  }

  static Targets t;
  memset(&t, 0, sizeof(t));
  memset(t.guardRows, 0xA5, sizeof(t.guardRows));
  memset(t.guardSlots, 0xA5, sizeof(t.guardSlots));
  ApplyIniServerRows(&doc, t.rows, SERVER_COUNT);
  uint32_t supplied = CopyIniStrings(&doc, t.slots, STRING_COUNT);
  ASSERT_LE(supplied, (uint32_t)STRING_COUNT);
  for (uint8_t g : t.guardRows) ASSERT_EQ(g, 0xA5);
  for (uint8_t g : t.guardSlots) ASSERT_EQ(g, 0xA5);
  for (int i = 0; i < SERVER_COUNT; ++i) {
    ASSERT_TRUE(Terminated(t.rows[i].host, HOST_CHARS));
    ASSERT_TRUE(Terminated(t.rows[i].name, HOST_CHARS));
  }
  for (int i = 0; i < STRING_COUNT; ++i) ASSERT_TRUE(Terminated(t.slots[i], STRING_CHARS));

  EXTRALIST* extra = BuildIniExtraList(&doc);
  int32_t s2 = FindSection(&doc, U16("[NTP_SERVER_2]").c_str());
  uint32_t expected = SectionEntryCount(&doc, s2);
  if (expected) {
    ASSERT_NE(extra, nullptr);
    ASSERT_EQ(extra[0].count, expected);
    ASSERT_EQ(BlockSize(extra), (uint64_t)expected * sizeof(EXTRALIST));
    for (uint32_t i = 0; i < expected; ++i) ASSERT_TRUE(Terminated(extra[i].host, HOST_CHARS));
  } else {
    ASSERT_EQ(extra, nullptr);
  }
  ReleaseBlock(&extra);

  ASSERT_LE(HelpTextStart(&doc.lines.raw), doc.lines.raw.count);
  FreeIniDoc(&doc);
}

}  // namespace

TEST(IniRobustnessTest, GeneratedMalformedTexts) {
  const int cases = 12 * kKinds;
  for (int i = 0; i < cases; ++i) {
    Rng r(1000 + i);
    wstr16 text = Generate(i % kKinds, r);
    ASSERT_LE(text.size(), (size_t)kMaxUnits + 100000 + 64);
    Exercise(text, "case " + std::to_string(i) + " kind " + std::to_string(i % kKinds) + " units " +
                       std::to_string(text.size()));
    if (HasFatalFailure()) return;
  }
}

TEST(IniRobustnessTest, LargestTextOfEachShape) {
  // The worst cases for the list growth and the section lookup, at full size.
  Rng r(7);
  Exercise(LineEndsOnly(r, kMaxUnits), "line ends only");
  Exercise(RepeatedSections(r, kMaxUnits), "one section repeated");
  Exercise(DistinctSections(r, kMaxUnits), "distinct sections");
  Exercise(wstr16(kMaxUnits, (wch)'\n'), "empty lines");
}
