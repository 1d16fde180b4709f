// Splitting, filtering, trimming and sections of the in-place text tools.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testtext.h"
#include "text/lines.h"
#include "text/memblock.h"

namespace {

std::vector<std::string> Split(wstr16& text) {
  RAWLINES raw = {0, nullptr};
  EXPECT_EQ(SplitLines(&raw, &text[0]), 1);
  std::vector<std::string> out;
  for (uint32_t i = 0; i < raw.count; ++i) {
    // Lines are pointers into the text itself.
    EXPECT_GE(raw.items[i], text.data());
    EXPECT_LE(raw.items[i], text.data() + text.size());
    out.push_back(Utf8(raw.items[i]));
  }
  EXPECT_EQ(raw.items[raw.count], nullptr);
  ReleaseBlock(&raw.items);
  return out;
}

typedef std::vector<std::string> Lines;

std::vector<std::string> Filter(wstr16& text, int trimMode) {
  TEXTLINES t;
  InitTextLines(&t, trimMode);
  EXPECT_EQ(SplitLines(&t.raw, &text[0]), 1);
  EXPECT_EQ(FilterLines(&t), 1);
  std::vector<std::string> out;
  for (uint32_t i = 0; i < t.contentCount; ++i) out.push_back(Utf8(t.content[i]));
  EXPECT_EQ(t.content[t.contentCount], nullptr);
  FreeTextLines(&t);
  return out;
}

// A parsed configuration document over its own text.
struct Doc {
  wstr16 text;
  INIDOC doc;
  explicit Doc(const char* utf8, int32_t mode = 0) : text(U16(utf8)) {
    InitIniDoc(&doc, mode);
    EXPECT_EQ(SplitLines(&doc.lines.raw, &text[0]), 1);
    EXPECT_EQ(FilterLines(&doc.lines), 1);
    EXPECT_EQ(ParseSections(&doc), 1);
  }
  ~Doc() { FreeIniDoc(&doc); }
  const INISECTION& Sec(const char* name) {
    int32_t i = FindSection(&doc, U16(name).c_str());
    EXPECT_GE(i, 0) << name;
    return doc.sections[i < 0 ? 0 : i];
  }
};

}  // namespace

TEST(SplitLinesTest, LineEndsOfEveryKind) {
  wstr16 crlf = U16("a\r\n\r\nb");
  EXPECT_EQ(Split(crlf), (Lines{"a", "", "b"}));
  wstr16 lf = U16("a\nb\n");
  EXPECT_EQ(Split(lf), (Lines{"a", "b"}));
  wstr16 cr = U16("a\rb");
  EXPECT_EQ(Split(cr), (Lines{"a", "b"}));
  wstr16 lfcr = U16("a\n\rb");   // LF then CR is two line ends
  EXPECT_EQ(Split(lfcr), (Lines{"a", "", "b"}));
}

TEST(SplitLinesTest, StrayCarriageReturnLosesNothing) {
  wstr16 t = U16("a\rb\nz");
  EXPECT_EQ(Split(t), (Lines{"a", "b", "z"}));
  wstr16 t2 = U16("host\r;name\r\nnext");
  EXPECT_EQ(Split(t2), (Lines{"host", ";name", "next"}));
}

TEST(SplitLinesTest, ByteOrderMarkAndEmptyTexts) {
  wstr16 bom = U16("\xEF\xBB\xBF");
  EXPECT_TRUE(Split(bom).empty());
  wstr16 bomText = U16("\xEF\xBB\xBF" "x\r\ny");
  EXPECT_EQ(Split(bomText), (Lines{"x", "y"}));
  wstr16 empty;
  EXPECT_TRUE(Split(empty).empty());
  wstr16 breaksOnly = U16("\n\n");
  EXPECT_EQ(Split(breaksOnly), (Lines{"", ""}));

  RAWLINES raw = {0, nullptr};
  EXPECT_EQ(SplitLines(&raw, nullptr), 1);
  EXPECT_EQ(raw.count, 0u);
  ReleaseBlock(&raw.items);
}

TEST(SplitLinesTest, ManyLinesKeepTheirOrder) {
  std::string s;
  for (int i = 0; i < 3000; ++i) s += std::to_string(i) + (i % 3 == 0 ? "\r\n" : i % 3 == 1 ? "\n" : "\r");
  wstr16 t = U16(s.c_str());
  Lines lines = Split(t);
  ASSERT_EQ(lines.size(), 3000u);
  for (int i = 0; i < 3000; ++i) ASSERT_EQ(lines[i], std::to_string(i));
}

TEST(FilterLinesTest, BothSidesTrimmed) {
  wstr16 t = U16("   // remark\r\n;semicolon\r\n\t value \t\r\nkey // tail\r\n  \r\nurl http://x\r\n");
  EXPECT_EQ(Filter(t, 1), (Lines{"value", "key", "url http:"}));
}

TEST(FilterLinesTest, TrailingBlanksOnly) {
  wstr16 t = U16("   // remark\r\n  ;kept\r\n;dropped\r\n\tlead \t\r\n\t\t\r\n//x\r\n a  // c\r\n");
  EXPECT_EQ(Filter(t, 0), (Lines{"  ;kept", "\tlead", " a"}));
}

TEST(FilterLinesTest, AnNtsSchemeStartsNoCommentButWhatFollowsItMay) {
  wstr16 t = U16("nts://time.example\t;\t#0 NTS // remark\r\nNTS://[::1]:4460\r\n"
                 "xnts://a // b\r\nhttp://x\r\nnts:/ /y//z\r\n// nts://commented\r\nnts://a//nts://b//c\r\n");
  EXPECT_EQ(Filter(t, 1), (Lines{"nts://time.example\t;\t#0 NTS", "NTS://[::1]:4460", "xnts://a", "http:", "nts:/ /y",
                                 "nts://a"}));
}

TEST(TrimTest, Blanks) {
  wstr16 blanks = U16(" \t \t");
  EXPECT_EQ(Utf8(Trim(&blanks[0])), "");
  wstr16 allBlank = U16(" \t ");
  EXPECT_EQ(TrimLeft(&allBlank[0], ' ', '\t'), &allBlank[2]);
  EXPECT_EQ(allBlank[2], 0);   // emptied, not a pointer to a blank
  wstr16 left = U16("  x");
  EXPECT_EQ(TrimLeft(&left[0], ' ', '\t'), &left[2]);
  wstr16 right = U16("x \t ");
  EXPECT_EQ(TrimRight(&right[0], ' ', '\t'), &right[0]);
  EXPECT_EQ(Utf8(right.c_str()), "x");
  wstr16 inner = U16(" a b ");
  EXPECT_EQ(Utf8(Trim(&inner[0])), "a b");
  wstr16 one = U16(" ");
  EXPECT_EQ(Utf8(TrimRight(&one[0], ' ', '\t')), "");
  wstr16 empty;
  EXPECT_EQ(Utf8(Trim(&empty[0])), "");
  EXPECT_EQ(Trim(nullptr), nullptr);
  EXPECT_EQ(TrimLeft(nullptr, ' ', '\t'), nullptr);
  EXPECT_EQ(TrimRight(nullptr, ' ', '\t'), nullptr);
}

TEST(TrimTest, OnlySpaceAndTabAreBlanks) {
  wstr16 wide = U16("\xE3\x80\x80x\xE3\x80\x80");   // ideographic spaces
  EXPECT_EQ(Utf8(Trim(&wide[0])), "\xE3\x80\x80x\xE3\x80\x80");
  wstr16 cr = U16("\rx\r");
  EXPECT_EQ(Utf8(Trim(&cr[0])), "\rx\r");
}

TEST(IsAllDigitsTest, Cases) {
  EXPECT_EQ(IsAllDigits(U16("").c_str()), 1);
  EXPECT_EQ(IsAllDigits(U16("30").c_str()), 1);
  EXPECT_EQ(IsAllDigits(U16("0123456789").c_str()), 1);
  EXPECT_EQ(IsAllDigits(U16("3a").c_str()), 0);
  EXPECT_EQ(IsAllDigits(U16("-1").c_str()), 0);
  EXPECT_EQ(IsAllDigits(U16(" 1").c_str()), 0);
  EXPECT_EQ(IsAllDigits(U16("\xEF\xBC\x91").c_str()), 0);   // full-width 1
  EXPECT_EQ(IsAllDigits(nullptr), 0);
}

TEST(ParseSectionsTest, ValueKeepsLeadingBlankInConfigurationDocument) {
  Doc d("[s]\r\nx = 1 // remark\r\n");
  const INISECTION& s = d.Sec("[s]");
  ASSERT_EQ(s.last, 0);
  EXPECT_EQ(Utf8(s.keys[0]), "x");
  EXPECT_EQ(Utf8(s.values[0]), " 1");
  EXPECT_EQ(s.keys[1], nullptr);
  EXPECT_EQ(s.values[1], nullptr);
}

TEST(ParseSectionsTest, BothSidesTrimmedInMode1) {
  Doc d("[s]\r\n  x = 1 \r\n", 1);
  const INISECTION& s = d.Sec("[s]");
  ASSERT_EQ(s.last, 0);
  EXPECT_EQ(Utf8(s.keys[0]), "x");
  EXPECT_EQ(Utf8(s.values[0]), "1");
}

TEST(ParseSectionsTest, RepeatedHeaderInOtherCaseContinuesFirstSection) {
  Doc d("ignored=1\r\n[Alpha]\r\na=1\r\n[beta]\r\nb=2\r\n[ALPHA]\r\nc=3\r\n");
  ASSERT_EQ(d.doc.lastSection, 1);
  const INISECTION& a = d.Sec("[alpha]");
  ASSERT_EQ(a.last, 1);
  EXPECT_EQ(Utf8(a.header), "[Alpha]");
  EXPECT_EQ(Utf8(a.keys[0]), "a");
  EXPECT_EQ(Utf8(a.keys[1]), "c");
  EXPECT_EQ(Utf8(a.values[1]), "3");
  EXPECT_EQ(d.Sec("[BETA]").last, 0);
}

TEST(ParseSectionsTest, EntriesWithoutEqualsAndOddHeaders) {
  Doc d("[s] remark\r\nonly key\r\n=v\r\nk==v\r\n[open\r\n x]y\r\n");
  EXPECT_EQ(FindSection(&d.doc, U16("[s]").c_str()), -1);   // text after "]" names another section
  const INISECTION& s = d.Sec("[S] REMARK");
  ASSERT_EQ(s.last, 4);
  EXPECT_EQ(Utf8(s.keys[0]), "only key");
  EXPECT_EQ(s.values[0], nullptr);
  EXPECT_EQ(Utf8(s.keys[1]), "");
  EXPECT_EQ(Utf8(s.values[1]), "v");
  EXPECT_EQ(Utf8(s.keys[2]), "k");
  EXPECT_EQ(Utf8(s.values[2]), "=v");
  EXPECT_EQ(Utf8(s.keys[3]), "[open");   // no "]": an entry, not a header
  // An indented bracket is no header either; the leading blank is kept.
  EXPECT_EQ(d.doc.lastSection, 0);
  EXPECT_EQ(SectionEntryCount(&d.doc, 0), 5u);
  EXPECT_EQ(Utf8(s.keys[4]), " x]y");
}

TEST(ParseSectionsTest, SectionLookup) {
  Doc d("[NTP_SERVER_2]\r\nh\r\n[x]\r\n");
  EXPECT_EQ(FindSection(&d.doc, U16("[ntp_server_2]").c_str()), 0);
  EXPECT_EQ(FindSection(&d.doc, U16("[X]").c_str()), 1);
  EXPECT_EQ(FindSection(&d.doc, U16("[NTP_SERVER_1]").c_str()), -1);
  EXPECT_EQ(FindSection(&d.doc, U16("NTP_SERVER_2").c_str()), -1);
  EXPECT_EQ(SectionEntryCount(&d.doc, 1), 0u);
  EXPECT_EQ(SectionEntryCount(&d.doc, -1), 0u);
  EXPECT_EQ(SectionEntryCount(&d.doc, 7), 0u);

  Doc none("no sections at all\r\n");
  EXPECT_EQ(none.doc.lastSection, -1);
  EXPECT_EQ(FindSection(&none.doc, U16("[x]").c_str()), -1);
}

TEST(ParseSectionsTest, EqualsNoCaseFoldsAsciiOnly) {
  EXPECT_EQ(EqualsNoCase(U16("[Ab]").c_str(), U16("[aB]").c_str()), 1);
  EXPECT_EQ(EqualsNoCase(U16("[ab]").c_str(), U16("[ab ]").c_str()), 0);
  EXPECT_EQ(EqualsNoCase(U16("[").c_str(), U16("{").c_str()), 0);   // '[' + 32 is '{'
  EXPECT_EQ(EqualsNoCase(U16("@").c_str(), U16("`").c_str()), 0);
  EXPECT_EQ(EqualsNoCase(nullptr, U16("").c_str()), 0);
}
