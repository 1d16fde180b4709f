// Interface strings, the help text and the log box under Wine, from the
// built-in resources and from an INI file.
#include <string>

#include "inidir_win.h"
#include "text/serverlists.h"
#include "text/strings.h"

namespace {

std::wstring S(int id) { return Str(id); }

// A "[STRINGTABLE]" of `count` entries "<id>=v<id>", with replacements.
std::wstring Table(int count, int id1 = 0, const std::wstring& line1 = L"", int id2 = 0,
                   const std::wstring& line2 = L"") {
  std::wstring t = L"[STRINGTABLE]\r\n";
  for (int id = 101; id < 101 + count; ++id)
    t += (id == id1 ? line1 : id == id2 ? line2 : std::to_wstring(id) + L"=v" + std::to_wstring(id)) + L"\r\n";
  return t;
}

}  // namespace

class InterfaceStringsTest : public IniDirTest {
 protected:
  void LoadWithIni(const std::wstring& text) {
    WriteUtf16(text);
    LoadServerLists();
    ASSERT_EQ(g_app.iniPresent, 1);
    LoadInterfaceStrings();
  }
};

TEST_F(InterfaceStringsTest, FromTheStringTableResource) {
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 0);
  LoadInterfaceStrings();
  EXPECT_EQ(S(101), L"超时");
  EXPECT_EQ(S(102), L"时间：");
  EXPECT_EQ(S(123), L"关闭");
  EXPECT_EQ(S(136), L"%s定期同步时间(间隔%s分钟)。");
  EXPECT_EQ(S(144), L"层级");
  EXPECT_EQ(S(117), L" 同步时间服务器 #");
}

TEST_F(InterfaceStringsTest, FromTheIniFileByEntryOrder) {
  LoadWithIni(Table(44, 123, L"123=Close", 117, L"whatever=同步"));
  EXPECT_EQ(S(123), L"Close");
  EXPECT_EQ(S(117), L" 同步 #");
  EXPECT_EQ(S(101), L"v101");
  EXPECT_EQ(S(144), L"v144");
  // A translation made before the autostart's log lines were added keeps their built-in texts.
  EXPECT_EQ(S(145), L"更新计划任务 %s 失败 (%s)，登录时本程序可能不会按所选方式启动。");
  EXPECT_EQ(S(146), L"程序路径过长，自动启动项写不下，登录时不会自动启动本程序；请把程序放到较短的路径下。");
  LoadWithIni(Table(46));
  EXPECT_EQ(S(146), L"v146");

  LoadWithIni(Table(44, 123, L"123 = Close", 124, L"124"));
  EXPECT_EQ(S(123), L" Close");   // the leading blank stays
  EXPECT_EQ(S(124), L"");         // an entry without "=" is empty
}

TEST_F(InterfaceStringsTest, StringsTheFileLacksComeFromTheResource) {
  LoadWithIni(Table(10));
  EXPECT_EQ(S(110), L"v110");
  EXPECT_EQ(S(111), L"分钟");
  EXPECT_EQ(S(123), L"关闭");
  EXPECT_EQ(S(117), L" 同步时间服务器 #");

  LoadWithIni(L"[NTP_SERVER_1]\r\n10.0.0.1;a\r\n");
  EXPECT_EQ(S(101), L"超时");
  EXPECT_EQ(S(144), L"层级");
}

TEST_F(InterfaceStringsTest, OverlongValuesAreCutToTheirSlot) {
  std::wstring long117(127, L'a'), long118(400, L'b');
  LoadWithIni(Table(44, 117, L"117=" + long117, 118, L"118=" + long118));
  std::wstring s117 = S(117);
  ASSERT_EQ(s117.size(), 127u);
  EXPECT_EQ(s117.front(), L' ');
  EXPECT_EQ(s117.substr(125), L" #");
  EXPECT_EQ(s117.substr(1, 124), std::wstring(124, L'a'));
  EXPECT_EQ(S(118), std::wstring(127, L'b'));
  EXPECT_EQ(S(116), L"v116");
  EXPECT_EQ(g_stringTable.slot[17][127], 0);
}

class HelpTextTest : public IniDirTest {
 protected:
  std::wstring HelpFor(const std::wstring& ini) {
    WriteUtf16(ini);
    LoadServerLists();
    EXPECT_EQ(g_app.iniPresent, 1);
    LogBox box;
    if (!box.hwnd) return L"<no EDIT control: these tests need a display (run under Xvfb, DISPLAY set)>";
    FillHelpText(box.hwnd);
    return box.Text();
  }
};

TEST_F(HelpTextTest, BuiltInHelpWithoutComments) {
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 0);
  LogBox box;
  ASSERT_LOGBOX(box);
  FillHelpText(box.hwnd);
  std::wstring text = box.Text();
  EXPECT_EQ(text.find(L"//"), std::wstring::npos);
  EXPECT_NE(text.find(L"/AutoSync"), std::wstring::npos);
  EXPECT_NE(text.find(L"/CycleSync"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n17"), std::wstring::npos);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST_F(HelpTextTest, TextAfterTheLastHeaderFromTheThirdLineOn) {
  EXPECT_EQ(HelpFor(L"a\r\nb\r\n[HELP_TEXT]\r\nkept // cut\r\n\r\n// comment\r\n;x\r\n ;y\r\nend"),
            L"kept \r\n\r\n ;y\r\nend\r\n");
  EXPECT_EQ(HelpFor(L"a\r\nb\r\n[HELP_TEXT]\r\nfirst\r\n[HELP_TEXT]\r\nsecond\r\n"), L"second\r\n");
}

TEST_F(HelpTextTest, HeaderNotFoundGivesTheWholeFile) {
  const std::wstring rest = L"[NTP_SERVER_1]\r\n; c\r\nx=1 // y\r\n";
  EXPECT_EQ(HelpFor(L"[HELP_TEXT]\r\n" + rest), L"[HELP_TEXT]\r\n[NTP_SERVER_1]\r\nx=1 \r\n");
  EXPECT_EQ(HelpFor(L"z\r\n[HELP_TEXT]\r\n" + rest), L"z\r\n[HELP_TEXT]\r\n[NTP_SERVER_1]\r\nx=1 \r\n");
  EXPECT_EQ(HelpFor(L"z\r\nz\r\n [HELP_TEXT]\r\nh\r\n"), L"z\r\nz\r\n [HELP_TEXT]\r\nh\r\n");
  EXPECT_EQ(HelpFor(L"z\r\nz\r\n[help_text]\r\nh\r\n"), L"z\r\nz\r\n[help_text]\r\nh\r\n");
}

TEST_F(HelpTextTest, IniFileGoneByThenLeavesTheLogEmpty) {
  WriteUtf16(L"a\r\nb\r\n[HELP_TEXT]\r\nhelp\r\n");
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  RemoveIni();
  LogBox box;
  ASSERT_LOGBOX(box);
  FillHelpText(box.hwnd);
  EXPECT_EQ(box.Text(), L"");
}

TEST_F(HelpTextTest, AnsiHelpText) {
  ASSERT_EQ(GetACP(), 936u);
  WriteAnsi(L"a\r\nb\r\n[HELP_TEXT]\r\n说明 // 注释\r\n");
  LoadServerLists();
  ASSERT_EQ(g_app.iniPresent, 1);
  LogBox box;
  ASSERT_LOGBOX(box);
  FillHelpText(box.hwnd);
  EXPECT_EQ(box.Text(), L"说明 \r\n");
}

TEST(AppendLogTest, AppendsAtTheEndWhateverTheSelection) {
  LogBox box;
  ASSERT_LOGBOX(box);
  AppendLog(box.hwnd, L"one", 0);
  SendMessageW(box.hwnd, EM_SETSEL, 0, 1);   // a selection elsewhere is not replaced
  AppendLog(box.hwnd, L" two", 1);
  AppendLog(box.hwnd, nullptr, 1);
  AppendLog(box.hwnd, nullptr, 0);
  AppendLog(box.hwnd, L"三", 0);
  EXPECT_EQ(box.Text(), L"one two\r\n\r\n三");
  EXPECT_EQ(SendMessageW(box.hwnd, EM_CANUNDO, 0, 0), 0);
  AppendLog(nullptr, L"nowhere", 1);
}

TEST(ComputerCaptionTest, EndsWithTheTimeLabel) {
  g_app.iniPresent = 0;
  LoadInterfaceStrings();
  std::wstring caption = ComposeComputerCaption();
  std::wstring tail = Str(102);
  ASSERT_FALSE(tail.empty());
  ASSERT_GE(caption.size(), tail.size());
  EXPECT_EQ(caption.substr(caption.size() - tail.size()), tail);
  wchar_t dns[16] = {0};
  DWORD size = 16;
  if (GetComputerNameExW(ComputerNameDnsFullyQualified, dns, &size)) {
    size_t at = caption.find(L"[" + std::wstring(dns) + L"]");
    EXPECT_NE(at, std::wstring::npos) << "caption " << ::testing::PrintToString(caption);
    EXPECT_GT(at, 0u);   // the Computer folder's name comes first
  }
}
