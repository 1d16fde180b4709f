// What the program takes from a configuration text and from the built-in lists:
// server rows, the extra list, interface strings, the help text start, the path.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "testtext.h"
#include "text/iniconfig.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/strings.h"

namespace {

struct Doc {
  wstr16 text;
  INIDOC doc;
  explicit Doc(const std::string& utf8) : text(U16(utf8.c_str())) {
    InitIniDoc(&doc, 0);
    SplitLines(&doc.lines.raw, &text[0]);
    FilterLines(&doc.lines);
    ParseSections(&doc);
  }
  ~Doc() { FreeIniDoc(&doc); }
};

// Content lines of a built-in list (both sides trimmed).
struct List {
  wstr16 text;
  TEXTLINES lines;
  explicit List(const std::string& utf8) : text(U16(utf8.c_str())) {
    InitTextLines(&lines, 1);
    SplitLines(&lines.raw, &text[0]);
    FilterLines(&lines);
  }
  ~List() { FreeTextLines(&lines); }
};

struct Rows {
  SERVERROW row[SERVER_COUNT];
  Rows() { memset(row, 0, sizeof(row)); }
  std::string Host(int i) const { return Utf8(row[i].host); }
  std::string Name(int i) const { return Utf8(row[i].name); }
};

std::string TenServers(int withoutSemicolon = -1) {
  std::string s = "[NTP_SERVER_1]\r\n";
  for (int i = 0; i < 10; ++i) {
    s += "10.0.0." + std::to_string(i);
    s += i == withoutSemicolon ? "\t\t" : "\t\t;\t";
    s += "#" + std::to_string(i) + " 名称\r\n";
  }
  return s;
}

EXTRALIST* IniExtra(const std::string& utf8) {
  Doc d(utf8);
  return BuildIniExtraList(&d.doc);
}

EXTRALIST* ListExtra(const std::string& utf8) {
  List l(utf8);
  return BuildListExtraList(&l.lines);
}

uint32_t IniStrings(const std::string& utf8, wch (*slots)[STRING_CHARS], uint32_t count) {
  Doc d(utf8);
  return CopyIniStrings(&d.doc, slots, count);
}

struct ExtraList {
  EXTRALIST* p;
  explicit ExtraList(EXTRALIST* list) : p(list) {}
  ~ExtraList() { ReleaseBlock(&p); }
  uint32_t Count() const { return p ? p[0].count : 0; }
  std::string Host(int i) const { return Utf8(p[i].host); }
};

}  // namespace

TEST(IniServerRowsTest, TenRowsInOrder) {
  Doc d("; header comment\r\n" + TenServers());
  Rows r;
  ApplyIniServerRows(&d.doc, r.row, SERVER_COUNT);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(r.Host(i), "10.0.0." + std::to_string(i));
    EXPECT_EQ(r.Name(i), "#" + std::to_string(i) + " 名称");
  }
}

TEST(IniServerRowsTest, EntryWithoutSemicolonLeavesItsRowEmpty) {
  Doc d(TenServers(2));
  Rows r;
  ApplyIniServerRows(&d.doc, r.row, SERVER_COUNT);
  EXPECT_EQ(r.Host(1), "10.0.0.1");
  EXPECT_EQ(r.Host(2), "");
  EXPECT_EQ(r.Name(2), "");
  for (int i = 3; i < 10; ++i) EXPECT_EQ(r.Host(i), "10.0.0." + std::to_string(i));
}

TEST(ListServerRowsTest, LineWithoutSemicolonIsSkipped) {
  std::string s = TenServers(2).substr(strlen("[NTP_SERVER_1]\r\n"));
  List l("//comment\r\n\r\n" + s + "10.0.0.10 ; #10 extra\r\n");
  Rows r;
  ApplyListServerRows(&l.lines, r.row, SERVER_COUNT - 1);
  EXPECT_EQ(r.Host(1), "10.0.0.1");
  EXPECT_EQ(r.Host(2), "10.0.0.3");   // the following lines move up one row
  EXPECT_EQ(r.Name(2), "#3 名称");
  EXPECT_EQ(r.Host(8), "10.0.0.9");
  EXPECT_EQ(r.Host(9), "");           // the walk stops at the last row it was given
  ApplyListServerRows(&l.lines, r.row, SERVER_COUNT);
  EXPECT_EQ(r.Host(9), "10.0.0.10");
}

TEST(ListServerRowsTest, EqualsSignKeptOnlyInBuiltInList) {
  Doc d("[NTP_SERVER_1]\r\n10.0.0.1 ; A=B name\r\n");
  Rows ini;
  ApplyIniServerRows(&d.doc, ini.row, SERVER_COUNT);
  EXPECT_EQ(ini.Name(0), "A");

  List l("10.0.0.1 ; A=B name // remark\r\n");
  Rows res;
  ApplyListServerRows(&l.lines, res.row, SERVER_COUNT);
  EXPECT_EQ(res.Name(0), "A=B name");
  EXPECT_EQ(res.Host(0), "10.0.0.1");
}

TEST(IniServerRowsTest, FewerEntriesTouchOnlyTheirRows) {
  Doc d("[ntp_server_1]\r\n a ; b \r\n");
  Rows r;
  for (int i = 0; i < 10; ++i) r.row[i].host[0] = 'q';
  ApplyIniServerRows(&d.doc, r.row, SERVER_COUNT);
  EXPECT_EQ(r.Host(0), "a");
  EXPECT_EQ(r.Name(0), "b");
  EXPECT_EQ(r.Host(1), "q");
  ClearServerNames(r.row, SERVER_COUNT);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(r.Host(i) + r.Name(i), "");

  Doc none("[STRINGTABLE]\r\n1=x\r\n");
  ApplyIniServerRows(&none.doc, r.row, SERVER_COUNT);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(r.Host(i), "");
}

TEST(IniServerRowsTest, OverlongEntriesAreCut) {
  std::string host(200, 'h'), name(300, 'n');
  Doc d("[NTP_SERVER_1]\r\n" + host + ";" + name + "\r\n" + std::string(600, 'x') + ";late\r\n" +
        std::string(505, 'y') + ";n\r\n");
  Rows r;
  ApplyIniServerRows(&d.doc, r.row, SERVER_COUNT);
  EXPECT_EQ(r.Host(0), std::string(127, 'h'));
  EXPECT_EQ(r.Name(0), std::string(127, 'n'));
  EXPECT_EQ(r.Host(1), "");   // the ";" lies beyond the 511 characters looked at
  EXPECT_EQ(r.Host(2), std::string(127, 'y'));
  EXPECT_EQ(r.Name(2), "n");
}

TEST(WCopyTest, NeverSplitsSurrogatePairs) {
  wch dst[4];
  wstr16 src = U16("ab\xF0\x9F\x98\x80");   // a, b, then one character in two units
  WCopy(dst, 4, src.c_str());
  EXPECT_EQ(Utf8(dst), "ab");
  WCopy(dst, 5 - 1, U16("abc").c_str());
  EXPECT_EQ(Utf8(dst), "abc");
  wch big[8];
  WCopy(big, 8, src.c_str());
  EXPECT_EQ(Utf8(big), "ab\xF0\x9F\x98\x80");
  WCopy(big, 8, nullptr);
  EXPECT_EQ(Utf8(big), "");
}

TEST(IniExtraListTest, HostsInOrderWithLeadingBlanksKept) {
  ExtraList l(IniExtra("[ntp_server_2]\r\n10.1.1.1\r\n\t10.1.1.2 // x\r\nhost=ignored \r\n"));
  ASSERT_EQ(l.Count(), 3u);
  EXPECT_EQ(l.Host(0), "10.1.1.1");
  EXPECT_EQ(l.Host(1), "\t10.1.1.2");
  EXPECT_EQ(l.Host(2), "host");
}

TEST(IniExtraListTest, MissingOrEmptySectionGivesNoList) {
  EXPECT_EQ(IniExtra("[NTP_SERVER_1]\r\na;b\r\n"), nullptr);
  EXPECT_EQ(IniExtra("[NTP_SERVER_2]\r\n;only a comment\r\n"), nullptr);
  ExtraList l(IniExtra("[NTP_SERVER_2]\r\n" + std::string(400, 'e') + "\r\n"));
  ASSERT_EQ(l.Count(), 1u);
  EXPECT_EQ(l.Host(0), std::string(127, 'e'));
}

TEST(ListExtraListTest, OneHostPerContentLine) {
  List list("\r\n//comment\r\n\r\n10.2.2.1\t\t//operator\r\n  10.2.2.2  \r\n10.2.2.1\r\n");
  ExtraList l(BuildListExtraList(&list.lines));
  ASSERT_EQ(l.Count(), 3u);
  EXPECT_EQ(l.Host(0), "10.2.2.1");
  EXPECT_EQ(l.Host(1), "10.2.2.2");
  EXPECT_EQ(l.Host(2), "10.2.2.1");
  EXPECT_EQ(ListExtra("// nothing\r\n"), nullptr);
}

TEST(GlobalExtraListTest, ReplacingReleasesTheOldList) {
  EXTRALIST* first = ListExtra("a\r\nb\r\n");
  SetExtraList(first);
  EXPECT_EQ(ExtraListCount(), 2u);
  EXTRALIST* second = ListExtra("c\r\n");
  SetExtraList(second);
  EXPECT_EQ(ExtraListCount(), 1u);
  EXPECT_EQ(BlockSize(first), 0u);   // released
  SetExtraList(nullptr);
  EXPECT_EQ(ExtraListCount(), 0u);
  EXPECT_EQ(g_extraList, nullptr);
}

TEST(IniStringsTest, EntryOrderDecidesTheId) {
  std::string s = "[STRINGTABLE]\r\n";
  for (int id = 101; id <= 144; ++id)
    s += std::to_string(id) + (id == 123 ? "=Close" : id == 124 ? " = Sync " : id == 125 ? "" : "=s" + std::to_string(id)) + "\r\n";
  Doc d(s);
  wch slots[STRING_COUNT][STRING_CHARS];
  memset(slots, 0x55, sizeof(slots));
  EXPECT_EQ(CopyIniStrings(&d.doc, slots, STRING_COUNT), 44u);
  EXPECT_EQ(Utf8(slots[22]), "Close");
  EXPECT_EQ(Utf8(slots[23]), " Sync");   // leading blank kept, trailing cut
  EXPECT_EQ(Utf8(slots[24]), "");        // no "=": empty
  EXPECT_EQ(Utf8(slots[0]), "s101");
  EXPECT_EQ(Utf8(slots[43]), "s144");
}

TEST(IniStringsTest, PartialMissingAndOverlongSections) {
  wch slots[4][STRING_CHARS];
  memset(slots, 0, sizeof(slots));
  EXPECT_EQ(IniStrings("[STRINGTABLE]\r\na=1\r\nb=" + std::string(300, 'v') + "\r\n", slots, 4), 2u);
  EXPECT_EQ(Utf8(slots[0]), "1");
  EXPECT_EQ(Utf8(slots[1]), std::string(127, 'v'));
  EXPECT_EQ(IniStrings("[HELP_TEXT]\r\na=1\r\n", slots, 4), 0u);
  std::string many = "[stringtable]\r\n";
  for (int i = 0; i < 10; ++i) many += "k=" + std::to_string(i) + "\r\n";
  memset(slots, 0, sizeof(slots));
  EXPECT_EQ(IniStrings(many, slots, 3), 3u);   // never past the slots given
  EXPECT_EQ(Utf8(slots[2]), "2");
  EXPECT_EQ(Utf8(slots[3]), "");
}

TEST(StrTest, IdsOutsideTheTableGiveEmptyText) {
  WCopy(g_stringTable.slot[0], STRING_CHARS, U16("first").c_str());
  WCopy(g_stringTable.slot[43], STRING_CHARS, U16("last").c_str());
  EXPECT_EQ(Utf8(Str(101)), "first");
  EXPECT_EQ(Utf8(Str(144)), "last");
  EXPECT_EQ(Utf8(Str(100)), "");
  EXPECT_EQ(Utf8(Str(145)), "");
  memset(&g_stringTable, 0, sizeof(g_stringTable));
}

TEST(HelpTextTest, HeaderSearchedFromTheEndDownToTheThirdLine) {
  auto start = [](const char* utf8) {
    wstr16 t = U16(utf8);
    RAWLINES raw = {0, nullptr};
    SplitLines(&raw, &t[0]);
    uint32_t s = HelpTextStart(&raw);
    ReleaseBlock(&raw.items);
    return s;
  };
  EXPECT_EQ(start("[HELP_TEXT]\r\nb\r\nc\r\n"), 0u);
  EXPECT_EQ(start("a\r\n[HELP_TEXT]\r\nc\r\n"), 0u);
  EXPECT_EQ(start("a\r\nb\r\n[HELP_TEXT]\r\nc\r\n"), 3u);
  EXPECT_EQ(start("a\r\nb\r\n[HELP_TEXT] more\r\n"), 3u);   // eleven characters compared
  EXPECT_EQ(start("a\r\nb\r\n [HELP_TEXT]\r\nc\r\n"), 0u);
  EXPECT_EQ(start("a\r\nb\r\n[help_text]\r\nc\r\n"), 0u);
  EXPECT_EQ(start("a\r\nb\r\n[HELP_TEXT]\r\nc\r\n[HELP_TEXT]\r\nd\r\n"), 5u);
  EXPECT_EQ(start("a\r\nb\r\n[HELP_TEX"), 0u);
  EXPECT_EQ(start(""), 0u);
}

TEST(HelpTextTest, CommentLinesSkippedAndTrailingCommentsCut) {
  wstr16 a = U16("//comment"), b = U16(";x"), c = U16(" ;x"), d = U16("text  // tail"), e = U16("");
  EXPECT_EQ(HelpLine(&a[0]), nullptr);
  EXPECT_EQ(HelpLine(&b[0]), nullptr);
  EXPECT_EQ(Utf8(HelpLine(&c[0])), " ;x");
  EXPECT_EQ(Utf8(HelpLine(&d[0])), "text  ");
  EXPECT_EQ(Utf8(HelpLine(&e[0])), "");
}

TEST(IniPathTest, BesideTheProgram) {
  wch path[64];
  EXPECT_EQ(ComposeIniPath(path, 64, U16("C:\\Tools\\Quorlin_x64.exe").c_str()), 1);
  EXPECT_EQ(Utf8(path), "C:\\Tools\\Quorlin.INI");
  EXPECT_EQ(ComposeIniPath(path, 64, U16("Quorlin_x64").c_str()), 1);
  EXPECT_EQ(Utf8(path), "Quorlin_x64\\Quorlin.INI");
  EXPECT_EQ(ComposeIniPath(path, 64, U16("\\q.exe").c_str()), 1);
  EXPECT_EQ(Utf8(path), "\\Quorlin.INI");
  EXPECT_EQ(ComposeIniPath(path, 64, nullptr), 0);
  EXPECT_EQ(Utf8(path), "");
}

TEST(IniPathTest, TooLongForTheBuffer) {
  wch path[32];
  // "C:\\abcdef" and "\\Quorlin.INI" are 9 + 12 characters, plus the terminator.
  EXPECT_EQ(ComposeIniPath(path, 22, U16("C:\\abcdef\\p.exe").c_str()), 1);
  EXPECT_EQ(Utf8(path), "C:\\abcdef\\Quorlin.INI");
  EXPECT_EQ(ComposeIniPath(path, 21, U16("C:\\abcdef\\p.exe").c_str()), 0);
  EXPECT_EQ(Utf8(path), "");
}
