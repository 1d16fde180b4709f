// The status line, deviation, number, date and time texts, with the built-in
// strings and with strings replaced from an INI file.
#include <string>

#include "../text/inidir_win.h"
#include "sync/texts.h"
#include "text/serverlists.h"
#include "text/strings.h"

namespace {

const int64_t kSecond = 10000000;

std::wstring Deviation(int64_t d, int fresh = 1) {
  wchar_t out[TEXT_CHARS];
  FormatDeviation(out, TEXT_CHARS, d, fresh);
  return out;
}

std::wstring Decimal3(double x) {
  wchar_t out[TEXT_CHARS];
  FormatDecimal3(out, TEXT_CHARS, x);
  return out;
}

SYSTEMTIME Time(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME t = {};
  t.wYear = (WORD)y, t.wMonth = (WORD)mo, t.wDay = (WORD)d, t.wHour = (WORD)h, t.wMinute = (WORD)mi, t.wSecond = (WORD)s;
  return t;
}

}  // namespace

class TextsTest : public IniDirTest {
 protected:
  void SetUp() override {
    IniDirTest::SetUp();
    LoadServerLists();
    LoadInterfaceStrings();
  }
  void WithStrings(const std::wstring& ini) {
    WriteUtf16(ini);
    LoadServerLists();
    ASSERT_EQ(g_app.iniPresent, 1);
    LoadInterfaceStrings();
  }
  // A whole table with string `id` replaced.
  static std::wstring TableWith(int id, const std::wstring& text) {
    std::wstring t = L"[NTP_SERVER_1]\r\n127.0.0.1\r\n[STRINGTABLE]\r\n";
    for (int i = 101; i <= 144; ++i) {
      t += std::to_wstring(i) + L"=";
      t += i == id ? text : std::wstring(Str(i));
      t += L"\r\n";
    }
    return t;
  }
  void TearDown() override {
    RemoveIni();
    LoadServerLists();
    LoadInterfaceStrings();
    IniDirTest::TearDown();
  }
};

TEST_F(TextsTest, DeviationsWithTheirLargestUnit) {
  EXPECT_EQ(Deviation(0), L"快了：0秒0毫秒");
  EXPECT_EQ(Deviation(15000000), L"慢了：1秒500毫秒");
  EXPECT_EQ(Deviation(-12300000), L"快了：1秒230毫秒");
  EXPECT_EQ(Deviation(-(123 * kSecond)), L"快了：超过2分钟");
  EXPECT_EQ(Deviation(3 * 3600 * kSecond), L"慢了：超过1小时");
  EXPECT_EQ(Deviation(30 * 3600 * kSecond), L"慢了：超过1天");
  EXPECT_EQ(Deviation(12345, 0), L"已同步，等更新");
  EXPECT_EQ(Deviation(59 * kSecond + 9990000), L"慢了：59秒999毫秒");
  EXPECT_EQ(Deviation(1), L"慢了：0秒0毫秒");   // ahead by less than a millisecond is still "slow"
  // The extremes have a size too.
  EXPECT_EQ(Deviation(INT64_MIN), L"快了：超过1天");
  EXPECT_EQ(Deviation(INT64_MAX), L"慢了：超过1天");
}

TEST(SplitDuration, PartsOfTheWholeDifference) {
  const int64_t d = -((26 * 3600 + 3 * 60 + 4) * kSecond + 5 * 10000 + 9999);
  const DURATIONPARTS p = SplitDuration(d);
  EXPECT_EQ(p.days, 1u);
  EXPECT_EQ(p.totalHours, 26u);
  EXPECT_EQ(p.minutes, 3u);
  EXPECT_EQ(p.seconds, 4u);
  EXPECT_EQ(p.milliseconds, 5u);
  const DURATIONPARTS most = SplitDuration(INT64_MIN);
  EXPECT_EQ(most.totalHours, 256204778u);
  EXPECT_EQ(most.days, 256204778u / 24);
}

TEST(FormatDecimal3, TruncatedThreeDecimalsOrFourBlanks) {
  EXPECT_EQ(Decimal3(0.005), L"0.005");
  EXPECT_EQ(Decimal3(0.05), L"0.050");
  EXPECT_EQ(Decimal3(12.5), L"12.500");
  EXPECT_EQ(Decimal3(7), L"7    ");
  EXPECT_EQ(Decimal3(0), L"0    ");
  EXPECT_EQ(Decimal3(1.9999), L"1.999");
  EXPECT_EQ(Decimal3(9.994), L"9.994");
  // Values no root delay or score has still give a bounded text.
  EXPECT_EQ(Decimal3(-3.5), L"0    ");
  EXPECT_EQ(Decimal3(0.0 / 0.0), L"0    ");
  EXPECT_EQ(Decimal3(1e300).substr(0, 5), L"18446");
  EXPECT_EQ(Decimal3(18446744073709551616.0), Decimal3(1e300));
}

TEST(DateAndTime, ZeroPaddedFields) {
  wchar_t out[TEXT_CHARS];
  const SYSTEMTIME t = Time(2026, 1, 5, 9, 5, 3);
  FormatDate(out, TEXT_CHARS, &t);
  EXPECT_STREQ(out, L"2026-01-05");
  FormatTime(out, TEXT_CHARS, &t);
  EXPECT_STREQ(out, L"09:05:03");
  const SYSTEMTIME early = Time(601, 12, 31, 23, 59, 59);
  FormatDate(out, TEXT_CHARS, &early);
  EXPECT_STREQ(out, L"0601-12-31");
}

TEST(PadNumber, LastDigitsOfValuePlusPowerOfTen) {
  wchar_t out[32];
  PadNumber(out, 32, 5, 4);
  EXPECT_STREQ(out, L"0005");
  PadNumber(out, 32, 12345, 2);
  EXPECT_STREQ(out, L"45");
  PadNumber(out, 32, 0, 1);
  EXPECT_STREQ(out, L"0");
  PadNumber(out, 3, 1234, 4);   // a buffer too small cuts, never overruns
  EXPECT_STREQ(out, L"12");
}

TEST(JoinText, DropsTheOldTextAndCutsAtTheBuffer) {
  wchar_t out[6] = L"xxxxx";
  JoinText(out, 6, L"ab", L"", L"cd", (const wch*)nullptr);
  EXPECT_STREQ(out, L"abcd");
  JoinText(out, 6, L"abc", L"defgh", L"ij", (const wch*)nullptr);
  EXPECT_STREQ(out, L"abcde");
  JoinText(out, 6, (const wch*)nullptr);
  EXPECT_STREQ(out, L"");
}

TEST_F(TextsTest, StatusTexts) {
  wchar_t out[TEXT_CHARS];
  StatusManual(out, TEXT_CHARS);
  EXPECT_STREQ(out, L"当前功能：手动同步时间。");
  StatusPeriodic(out, TEXT_CHARS, 60);
  EXPECT_STREQ(out, L"当前功能：定期同步时间(间隔60分钟)。");
  StatusAutomatic(out, TEXT_CHARS, 30);
  EXPECT_STREQ(out, L"当前功能：自动同步时间(30秒就退出)");
  StatusAutomatic(out, TEXT_CHARS, 0);
  EXPECT_STREQ(out, L"当前功能：自动同步时间(成功才退出)");
  StatusAutomatic(out, TEXT_CHARS, UINT64_MAX);
  EXPECT_STREQ(out, L"当前功能：自动同步时间(18446744073709551615秒就退出)");
  wchar_t small[8];
  StatusManual(small, 8);
  EXPECT_STREQ(small, L"当前功能：手动");
}

TEST_F(TextsTest, PeriodicFormatFromTheIniFile) {
  wchar_t out[TEXT_CHARS];
  WithStrings(TableWith(136, L"%sEvery %s minutes."));
  StatusPeriodic(out, TEXT_CHARS, 30);
  EXPECT_STREQ(out, L"当前功能：Every 30 minutes.");
  // Missing directives: the arguments are simply not used.
  WithStrings(TableWith(136, L"periodic"));
  StatusPeriodic(out, TEXT_CHARS, 30);
  EXPECT_STREQ(out, L"periodic");
  // Extra and foreign directives are copied, never read as arguments.
  WithStrings(TableWith(136, L"%s|%s|%s|%d|%n|%x|%%"));
  StatusPeriodic(out, TEXT_CHARS, 45);
  EXPECT_STREQ(out, L"当前功能：|45|%s|%d|%n|%x|%");
  // Words replaced elsewhere follow into the other texts.
  WithStrings(TableWith(138, L"by hand"));
  StatusManual(out, TEXT_CHARS);
  EXPECT_STREQ(out, L"当前功能：by hand");
}
