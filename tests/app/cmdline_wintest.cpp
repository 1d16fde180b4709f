// The process command line and the autostart entry: run mode, option values,
// check boxes and row #9's host, read from test lines and from the registry of
// the test's own Wine prefix.
#include <gtest/gtest.h>
#include <windows.h>
#include <stdint.h>
#include <string>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "ntp/serverrow.h"
#include "registry_guard.h"
#include "testtext.h"
#include "text/memblock.h"
#include "text/serverlists.h"
#include "text/settings.h"

namespace {

const wchar_t kFirstExtra[] = L"127.0.0.9";

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteRegValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE);
    DeleteRegValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr);
    ZeroMemory(&g_app, sizeof g_app);
    SetSyncDefaults(&g_app);
    // A two-entry extra list of our own; the loader's list is put back afterwards.
    savedList_ = g_extraList;
    list_ = (EXTRALIST*)NewBlock(2 * sizeof(EXTRALIST));
    ASSERT_NE(list_, nullptr);
    WCopy(list_[0].host, 128, kFirstExtra);
    WCopy(list_[1].host, 128, L"127.0.0.10");
    list_[0].count = 2;
    g_extraList = list_;
    savedRow_ = g_workTable[9];
    WCopy(g_workTable[9].host, HOST_CHARS, kFirstExtra);
    WCopy(g_workTable[9].name, HOST_CHARS, L"#9 其它服务器");
  }

  void TearDown() override {
    g_extraList = savedList_;
    ReleaseBlock(&list_);
    g_workTable[9] = savedRow_;
    FreeCommandLine(&g_cmdLine);
  }

  // Start-up order: split the line, read the autostart entry, parse the line.
  void Start(const std::wstring& line) {
    ASSERT_EQ(BuildCommandLine(&g_cmdLine, line.c_str()), 1);
    ReadAutostartEntry();
    ParseCommandLine();
  }

  void SetAutostart(const std::wstring& entry) {
    ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, entry));
  }

  std::wstring Row9() const { return g_workTable[9].host; }

  RegistryGuard runGuard_{HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE};
  RegistryGuard savedGuard_{HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr};
  EXTRALIST* savedList_ = nullptr;
  EXTRALIST* list_ = nullptr;
  SERVERROW savedRow_;
};

TEST_F(CommandLineTest, DefaultsBeforeTheCommandLinesAreRead) {
  memset(&g_app, 0x5A, sizeof g_app);
  SetSyncDefaults(&g_app);
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.commandLineMode, 0);
  EXPECT_EQ(g_app.autoSyncLimit, 0u);
  EXPECT_EQ(g_app.cycleMinutes, 60u);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.cycleChecked, 0);
  EXPECT_EQ(g_app.autostartAutoSeconds, 0u);
  EXPECT_EQ(g_app.autostartCycleMinutes, 60u);
  EXPECT_EQ(g_app.customServerGiven, 0);
  EXPECT_EQ(g_app.customServer[0], 0);
  EXPECT_EQ(g_app.savedServerPresent, 0);
  EXPECT_EQ(g_app.savedServer[0], 0);
}

TEST_F(CommandLineTest, NoArgumentsOpensTheInteractiveWindow) {
  Start(L"C:\\Tools\\Quorlin_x64.EXE");
  EXPECT_EQ(g_cmdLine.argc, 1);
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.commandLineMode, 0);
  EXPECT_EQ(g_app.cycleMinutes, 60u);
  EXPECT_EQ(g_app.autoSyncLimit, 0u);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.cycleChecked, 0);
  EXPECT_EQ(Row9(), kFirstExtra);
}

TEST_F(CommandLineTest, ProcessCommandLineIsSplitAfterExpansion) {
  ASSERT_EQ(BuildCommandLine(&g_cmdLine, nullptr), 1);   // the test's own command line
  ASSERT_GE(g_cmdLine.argc, 1);
  EXPECT_NE(g_cmdLine.argv[0][0], 0);

  ASSERT_TRUE(SetEnvironmentVariableW(L"QL_TEST_HOST", L"127.0.0.7"));
  Start(L"\"C:\\Program Files\\Quorlin\\Quorlin_x64.EXE\" /NTP %QL_TEST_HOST%");
  SetEnvironmentVariableW(L"QL_TEST_HOST", nullptr);
  ASSERT_EQ(g_cmdLine.argc, 3);
  EXPECT_EQ(std::wstring(g_cmdLine.argv[0]), L"C:\\Program Files\\Quorlin\\Quorlin_x64.EXE");
  EXPECT_EQ(Row9(), L"127.0.0.7");
}

TEST_F(CommandLineTest, OptionsIgnoreLetterCase) {
  Start(L"q.exe /aUTOsYNC 40");
  EXPECT_EQ(g_app.runMode, 2);
  EXPECT_EQ(g_app.autoSyncLimit, 40u);

  SetSyncDefaults(&g_app);
  Start(L"q.exe /CYCLESYNC 20");
  EXPECT_EQ(g_app.runMode, 1);
  EXPECT_EQ(g_app.cycleMinutes, 20u);

  SetSyncDefaults(&g_app);
  Start(L"q.exe /ntp 127.0.0.5");
  EXPECT_EQ(Row9(), L"127.0.0.5");
}

TEST_F(CommandLineTest, LookalikesAreNotOptions) {
  Start(L"q.exe -AutoSync /AutoSyncs /AutoSync=30 AutoSync \\CycleSync /Cycle /NTP2 127.0.0.5 /NTP=127.0.0.6");
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.commandLineMode, 0);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.cycleChecked, 0);
  EXPECT_EQ(g_app.customServerGiven, 0);
  EXPECT_EQ(Row9(), kFirstExtra);
}

TEST_F(CommandLineTest, AutoSyncValues) {
  struct Case { const wchar_t* line; uint64_t limit; };
  const Case cases[] = {
      {L"q.exe /AutoSync", 0},          {L"q.exe /AutoSync 0", 0},
      {L"q.exe /AutoSync 50", 50},      {L"q.exe /AutoSync 100", 100},   // no cap
      {L"q.exe /AutoSync 3600", 3600},  {L"q.exe /AutoSync soon", 0},
      {L"q.exe /AutoSync -5", 0},       {L"q.exe /AutoSync 5x", 0},
      {L"q.exe /AutoSync 30 /AutoSync", 30},   // a later bare option keeps the value
      {L"q.exe /AutoSync 30 /AutoSync 20", 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.line));
    SetSyncDefaults(&g_app);
    Start(c.line);
    EXPECT_EQ(g_app.runMode, 2);
    EXPECT_EQ(g_app.commandLineMode, 1);
    EXPECT_EQ(g_app.autoChecked, 1);
    EXPECT_EQ(g_app.cycleChecked, 0);
    EXPECT_EQ(g_app.autoSyncLimit, c.limit);
    EXPECT_EQ(g_app.cycleMinutes, 60u);
  }
}

TEST_F(CommandLineTest, CycleSyncValuesAreKeptRawForLaterClamping) {
  struct Case { const wchar_t* line; uint64_t minutes; };
  const Case cases[] = {
      {L"q.exe /CycleSync", 60},   {L"q.exe /CycleSync 5", 5},   {L"q.exe /CycleSync 0", 0},
      {L"q.exe /CycleSync 500", 500}, {L"q.exe /CycleSync 35", 35}, {L"q.exe /CycleSync ten", 60},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.line));
    SetSyncDefaults(&g_app);
    Start(c.line);
    EXPECT_EQ(g_app.runMode, 1);
    EXPECT_EQ(g_app.commandLineMode, 1);
    EXPECT_EQ(g_app.cycleChecked, 1);
    EXPECT_EQ(g_app.autoChecked, 0);
    EXPECT_EQ(g_app.cycleMinutes, c.minutes);
  }
}

TEST_F(CommandLineTest, OversizedNumbersSaturate) {
  struct Case { const wchar_t* value; uint64_t expected; };
  const Case cases[] = {
      {L"18446744073709551614", UINT64_MAX - 1},
      {L"18446744073709551615", UINT64_MAX},
      {L"18446744073709551616", UINT64_MAX},
      {L"99999999999999999999999999999999", UINT64_MAX},
      {L"000000000000000000000000000000042", 42},   // leading zeros are not an overflow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf8(c.value));
    SetSyncDefaults(&g_app);
    Start(std::wstring(L"q.exe /CycleSync ") + c.value + L" /AutoSync " + c.value);
    EXPECT_EQ(g_app.cycleMinutes, c.expected);
    EXPECT_EQ(g_app.autoSyncLimit, c.expected);
  }
}

TEST_F(CommandLineTest, NtpTakesTheNextArgumentWhateverItIs) {
  Start(L"q.exe /NTP");   // last argument: ignored
  EXPECT_EQ(g_app.customServerGiven, 0);
  EXPECT_EQ(Row9(), kFirstExtra);

  SetSyncDefaults(&g_app);
  Start(L"q.exe /NTP /AutoSync");
  EXPECT_EQ(g_app.customServerGiven, 1);
  EXPECT_EQ(std::wstring(g_app.customServer), L"/AutoSync");
  EXPECT_EQ(Row9(), L"/AutoSync");
  EXPECT_EQ(g_app.runMode, 2);   // the value is also read as an option

  SetSyncDefaults(&g_app);
  Start(L"q.exe /NTP 127.0.0.5");
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.commandLineMode, 0);
  EXPECT_EQ(g_app.customServerGiven, 1);
  EXPECT_EQ(Row9(), L"127.0.0.5");

  SetSyncDefaults(&g_app);
  Start(L"q.exe /NTP 127.0.0.5 /NTP ::1");   // the last one wins
  EXPECT_EQ(Row9(), L"::1");

  SetSyncDefaults(&g_app);
  Start(L"q.exe /NTP \"\"");   // an empty host leaves row #9 its first extra server
  EXPECT_EQ(g_app.customServerGiven, 1);
  EXPECT_EQ(Row9(), kFirstExtra);
}

TEST_F(CommandLineTest, BothOptionsOnTheCommandLineRunPeriodicSynchronisation) {
  const wchar_t* lines[] = {L"q.exe /AutoSync 30 /CycleSync 20", L"q.exe /CycleSync 20 /AutoSync 30"};
  for (const wchar_t* line : lines) {
    SCOPED_TRACE(Utf8(line));
    SetSyncDefaults(&g_app);
    Start(line);
    EXPECT_EQ(g_app.runMode, 1);
    EXPECT_EQ(g_app.commandLineMode, 1);
    EXPECT_EQ(g_app.cycleChecked, 1);
    EXPECT_EQ(g_app.autoChecked, 0);   // the boxes show the periodic option
    EXPECT_EQ(g_app.cycleMinutes, 20u);
    EXPECT_EQ(g_app.autoSyncLimit, 30u);
  }
}

TEST_F(CommandLineTest, AutostartEntryShapesOnlyTheCheckBoxes) {
  SetAutostart(L"\"C:\\Tools\\Quorlin_x64.EXE\" /CycleSync 30");
  Start(L"q.exe");
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.commandLineMode, 0);
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.autostartCycleMinutes, 30u);
  EXPECT_EQ(g_app.cycleMinutes, 60u);   // the running period is the command line's

  SetSyncDefaults(&g_app);
  SetAutostart(L"\"C:\\Tools\\Quorlin_x64.EXE\" /autosync 40 /NTP 127.0.0.5");
  Start(L"q.exe");
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.autoChecked, 1);
  EXPECT_EQ(g_app.autostartAutoSeconds, 40u);
  EXPECT_EQ(g_app.autoSyncLimit, 0u);
  EXPECT_EQ(g_app.customServerGiven, 0);   // "/NTP" counts only on the process line
  EXPECT_EQ(Row9(), kFirstExtra);

  SetSyncDefaults(&g_app);
  SetAutostart(L"q.exe /AutoSync 20 /CycleSync");
  Start(L"q.exe");
  EXPECT_EQ(g_app.runMode, 0);
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.autostartAutoSeconds, 20u);
  EXPECT_EQ(g_app.autostartCycleMinutes, 60u);
}

TEST_F(CommandLineTest, WithBothOptionsSetTheProcessCommandLineChoosesTheMode) {
  SetAutostart(L"q.exe /CycleSync 30");
  Start(L"q.exe /AutoSync 50");
  EXPECT_EQ(g_app.runMode, 2);   // the entry never starts a hidden mode
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.autoSyncLimit, 50u);
  EXPECT_EQ(g_app.autostartCycleMinutes, 30u);

  SetSyncDefaults(&g_app);
  SetAutostart(L"q.exe /AutoSync 20");
  Start(L"q.exe /CycleSync 15");
  EXPECT_EQ(g_app.runMode, 1);
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.cycleMinutes, 15u);
  EXPECT_EQ(g_app.autostartAutoSeconds, 20u);
}

TEST_F(CommandLineTest, AutostartEntryExpandsEnvironmentReferences) {
  ASSERT_TRUE(SetEnvironmentVariableW(L"QL_TEST_OPTION", L"/CycleSync"));
  SetAutostart(L"q.exe %QL_TEST_OPTION% 40");
  Start(L"q.exe");
  SetEnvironmentVariableW(L"QL_TEST_OPTION", nullptr);
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autostartCycleMinutes, 40u);
}

TEST_F(CommandLineTest, UnreadableAutostartEntriesCountAsAbsent) {
  // Not a string value.
  DWORD number = 7;
  ASSERT_TRUE(WriteRegRaw(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, REG_DWORD, &number, sizeof number));
  Start(L"q.exe");
  EXPECT_EQ(g_app.autoChecked + g_app.cycleChecked, 0);

  // Nor is a list of strings.
  const wchar_t multi[] = L"q.exe /CycleSync 30\0";
  ASSERT_TRUE(WriteRegRaw(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, REG_MULTI_SZ, multi, sizeof multi));
  SetSyncDefaults(&g_app);
  Start(L"q.exe");
  EXPECT_EQ(g_app.cycleChecked, 0);

  // 512 characters and the terminator do not fit the 1024-byte read buffer.
  SetAutostart(std::wstring(L"q.exe /CycleSync 30 ") + std::wstring(492, L'x'));
  SetSyncDefaults(&g_app);
  Start(L"q.exe");
  EXPECT_EQ(g_app.cycleChecked, 0);

  // 511 characters still do.
  SetAutostart(std::wstring(L"q.exe /CycleSync 30 ") + std::wstring(491, L'x'));
  SetSyncDefaults(&g_app);
  Start(L"q.exe");
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autostartCycleMinutes, 30u);
}

TEST_F(CommandLineTest, RegistryReadUsesOneClearedBuffer) {
  ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, L"127.0.0.99"));
  const wchar_t* first = RegReadString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::wstring(first), L"127.0.0.99");
  ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, L"::1"));
  const wchar_t* second = RegReadString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr);
  ASSERT_EQ(second, first);
  EXPECT_EQ(std::wstring(second), L"::1");
  EXPECT_EQ(second[4], 0);   // nothing of the longer text before it survives
  EXPECT_EQ(second[9], 0);
  EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorlin\\NoSuchKey", nullptr), nullptr);
  EXPECT_EQ(RegReadString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, L"NoSuchValue"), nullptr);
}

TEST_F(CommandLineTest, SavedServerFillsRowNineUnlessNtpIsGiven) {
  ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, L"127.0.0.33"));
  Start(L"q.exe");
  EXPECT_EQ(g_app.savedServerPresent, 1);
  EXPECT_EQ(std::wstring(g_app.savedServer), L"127.0.0.33");
  EXPECT_EQ(Row9(), L"127.0.0.33");

  SetSyncDefaults(&g_app);
  Start(L"q.exe /NTP 127.0.0.44");
  EXPECT_EQ(g_app.savedServerPresent, 1);
  EXPECT_EQ(Row9(), L"127.0.0.44");

  // An empty saved value leaves the row its first extra server.
  ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, L""));
  SetSyncDefaults(&g_app);
  g_workTable[9].host[0] = 0;
  Start(L"q.exe");
  EXPECT_EQ(Row9(), kFirstExtra);
}

TEST_F(CommandLineTest, RowNineFallsBackToTheFirstExtraServer) {
  g_workTable[9].host[0] = 0;
  Start(L"q.exe /AutoSync");
  EXPECT_EQ(Row9(), kFirstExtra);

  // Without an extra list the row stays empty and nothing is read from it.
  g_extraList = nullptr;
  g_workTable[9].host[0] = 0;
  SetSyncDefaults(&g_app);
  Start(L"q.exe");
  EXPECT_EQ(Row9(), L"");
}

TEST_F(CommandLineTest, OverlongHostsAreCutTo127Characters) {
  std::wstring host(300, L'h');
  const std::wstring name = g_workTable[9].name;
  Start(L"q.exe /NTP " + host);
  EXPECT_EQ(std::wstring(g_app.customServer), host.substr(0, 127));
  EXPECT_EQ(Row9(), host.substr(0, 127));
  EXPECT_EQ(std::wstring(g_workTable[9].name), name);   // the neighbouring field is untouched
  EXPECT_EQ(g_app.savedServerPresent, 0);
  EXPECT_EQ(g_app.savedServer[0], 0);

  std::wstring saved(400, L's');
  ASSERT_TRUE(WriteRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, saved));
  SetSyncDefaults(&g_app);
  Start(L"q.exe");
  EXPECT_EQ(std::wstring(g_app.savedServer), saved.substr(0, 127));
  EXPECT_EQ(Row9(), saved.substr(0, 127));
  EXPECT_EQ(g_app.logClearedOnce, 0);   // the field after savedServer
}

TEST_F(CommandLineTest, OverlongCommandLinesAreReadWhole) {
  // 1500 characters before the option: beyond the usual 1024-character buffer.
  std::wstring filler(1500, L'f');
  Start(L"q.exe " + filler + L" /CycleSync 30 /NTP 127.0.0.5");
  ASSERT_EQ(g_cmdLine.argc, 6);
  EXPECT_EQ(std::wstring(g_cmdLine.argv[1]), filler);
  EXPECT_EQ(g_app.runMode, 1);
  EXPECT_EQ(g_app.cycleMinutes, 30u);
  EXPECT_EQ(Row9(), L"127.0.0.5");

  // A short line that only grows long through its expansion.
  std::wstring value(3000, L'v');
  ASSERT_TRUE(SetEnvironmentVariableW(L"QL_TEST_LONG", value.c_str()));
  SetSyncDefaults(&g_app);
  Start(L"q.exe %QL_TEST_LONG% /AutoSync 45");
  ASSERT_EQ(g_cmdLine.argc, 4);
  EXPECT_EQ(std::wstring(g_cmdLine.argv[1]), value);
  EXPECT_EQ(g_app.autoSyncLimit, 45u);

  // The autostart entry fits its read buffer but expands beyond 512 characters.
  SetSyncDefaults(&g_app);
  SetAutostart(L"q.exe %QL_TEST_LONG% /CycleSync 50");
  Start(L"q.exe");
  SetEnvironmentVariableW(L"QL_TEST_LONG", nullptr);
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autostartCycleMinutes, 50u);
}

TEST_F(CommandLineTest, EveryRebuildReplacesTheArguments) {
  ASSERT_EQ(BuildCommandLine(&g_cmdLine, L"a.exe one two"), 1);
  EXPECT_EQ(g_cmdLine.argc, 3);
  ASSERT_EQ(BuildCommandLine(&g_cmdLine, L"b.exe"), 1);
  ASSERT_EQ(g_cmdLine.argc, 1);
  EXPECT_EQ(std::wstring(g_cmdLine.argv[0]), L"b.exe");
  FreeCommandLine(&g_cmdLine);
  EXPECT_EQ(g_cmdLine.argv, nullptr);
  EXPECT_EQ(g_cmdLine.argc, 0);
  ParseCommandLine();   // nothing to scan: manual mode, no crash
  EXPECT_EQ(g_app.runMode, 0);
}

}  // namespace
