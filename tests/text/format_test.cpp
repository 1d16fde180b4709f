// Formats from the INI file: only "%s" takes arguments, and only as many as given.
#include <gtest/gtest.h>

#include "testtext.h"
#include "text/format.h"

namespace {

std::string Format(const char* format, std::initializer_list<const char*> args, unsigned long cap = 128) {
  std::vector<wstr16> texts;
  for (const char* a : args) texts.push_back(U16(a));
  std::vector<const wch*> pointers;
  for (const wstr16& t : texts) pointers.push_back(t.c_str());
  std::vector<wch> out(cap + 1, (wch)0x7777);
  const wstr16 f = U16(format);
  const unsigned long n = FormatText(out.data(), cap, f.c_str(), pointers.data(), (int)pointers.size());
  EXPECT_EQ(0x7777, out[cap]) << "wrote past the buffer";
  EXPECT_EQ(0, out[n]);
  return Utf8(out.data());
}

TEST(FormatText, TheStatusFormatTakesPrefixAndMinutes) {
  EXPECT_EQ("当前功能：定期同步时间(间隔30分钟)。", Format("%s定期同步时间(间隔%s分钟)。", {"当前功能：", "30"}));
}

TEST(FormatText, MissingPlaceholdersAndForeignDirectivesReadNoArgument) {
  EXPECT_EQ("Every 30 min", Format("Every %s min", {"30", "unused"}));
  EXPECT_EQ("no placeholders", Format("no placeholders", {"a", "b"}));
  EXPECT_EQ("%d %x %n %ls 100% a b %s", Format("%d %x %n %ls 100%% %s %s %s", {"a", "b"}));
  EXPECT_EQ("ends with %", Format("ends with %", {"a"}));
  EXPECT_EQ("", Format("", {}));
}

TEST(FormatText, LongResultsAreCutToTheBuffer) {
  EXPECT_EQ("abcdefg", Format("%s%s", {"abcd", "efghij"}, 8));
  EXPECT_EQ("", Format("%s", {"x"}, 1));
  // A character outside the basic plane is not split in half.
  EXPECT_EQ("ab", Format("ab%s", {"\xF0\x9F\x95\x90"}, 4));
  EXPECT_EQ("ab\xF0\x9F\x95\x90", Format("ab%s", {"\xF0\x9F\x95\x90"}, 5));
}

}  // namespace
