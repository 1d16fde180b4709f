// The registry values kept between runs: the autostart entry composed from the
// two selectors and the saved other server, round-tripped through the registry
// of the test's own Wine prefix and read back by the start-up code; the logon
// tasks that go with the entry.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

#include "../app/registry_guard.h"
#include "app/appstate.h"
#include "app/cmdline.h"
#include "taskfile_win.h"
#include "testtext.h"
#include "text/autostart.h"
#include "text/autostart_task.h"
#include "text/settings.h"
#include "text/strings.h"

namespace {

#ifdef _WIN64
const REGSAM kOwnView = KEY_WOW64_64KEY;
const REGSAM kOtherView = KEY_WOW64_32KEY;
#else
const REGSAM kOwnView = KEY_WOW64_32KEY;
const REGSAM kOtherView = KEY_WOW64_64KEY;
#endif

std::wstring ProgramPath() {
  wchar_t path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return std::wstring(path, n);
}

std::vector<std::wstring> g_logLines;
void RecordLine(const wch* line) { g_logLines.push_back(line); }

std::wstring AutostartValue(bool* found = nullptr) {
  return ReadRegText(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, 0, found);
}

// The seconds and interval selectors as the window has them: drop-down lists
// of ten and nine items in a hidden parent.
class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteRegValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE);
    ZeroMemory(&g_app, sizeof g_app);
    SetSyncDefaults(&g_app);
    LoadInterfaceStrings();   // the built-in texts of the log lines
    savedLog_ = g_autostartLog;
    g_autostartLog = RecordLine;
    g_logLines.clear();
    // A message-only parent: nothing shows on the screen.
    parent_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 200, 200, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(parent_, nullptr);
    seconds_ = MakeSelector(0);
    interval_ = MakeSelector(30);
    ASSERT_NE(seconds_, nullptr);
    ASSERT_NE(interval_, nullptr);
    SendMessageW(seconds_, CB_ADDSTRING, 0, (LPARAM)L" 成功才退出");
    for (int s = 10; s <= 90; s += 10)
      SendMessageW(seconds_, CB_ADDSTRING, 0, (LPARAM)(std::to_wstring(s) + L"秒就退出").c_str());
    for (int m = 10; m <= 90; m += 10)
      SendMessageW(interval_, CB_ADDSTRING, 0, (LPARAM)(std::to_wstring(m) + L"分钟一次").c_str());
    ASSERT_EQ(SendMessageW(seconds_, CB_GETCOUNT, 0, 0), 10);
    ASSERT_EQ(SendMessageW(interval_, CB_GETCOUNT, 0, 0), 9);
  }

  void TearDown() override {
    if (parent_) DestroyWindow(parent_);   // takes the selectors with it
    FreeCommandLine(&g_cmdLine);
    DeleteAutostartTask(AUTOSTART_TASK_NAME);
    DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME);
    g_autostartLog = savedLog_;
  }

  // Registers a task as an earlier version of the program did.
  void RegisterOldTask() {
    std::vector<wch> xml(AUTOSTART_XML_CHARS);
    ASSERT_GT(ComposeAutostartTaskXml(xml.data(), AUTOSTART_XML_CHARS, L"C:\\Old\\Quorlin_x64U.exe", 0, 60), 0u);
    ASSERT_EQ(S_OK, RegisterAutostartTask(AUTOSTART_OLD_TASK_NAME, xml.data()));
    ASSERT_TRUE(TaskFileExists(AUTOSTART_OLD_TASK_NAME));
  }

  // A drop-down list as in the window (its list part needs a display, as every
  // test that makes windows does).
  HWND MakeSelector(int y) {
    return CreateWindowExW(0, L"ComboBox", L"", WS_CHILD | CBS_DROPDOWNLIST, 0, y, 100, 200, parent_, nullptr,
                           nullptr, nullptr);
  }

  void Select(HWND selector, int index) { SendMessageW(selector, CB_SETCURSEL, (WPARAM)index, 0); }

  std::wstring Expected(const wchar_t* option, int number) {
    return L"\"" + ProgramPath() + L"\" " + option + L" " + std::to_wstring(number);
  }

  RegistryGuard runGuard_{HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE};
  RegistryGuard savedGuard_{HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr};
  void (*savedLog_)(const wch*) = nullptr;
  HWND parent_ = nullptr;
  HWND seconds_ = nullptr;
  HWND interval_ = nullptr;
};

TEST_F(SettingsTest, AutoCheckBoxWritesTheSecondsSelectorsValue) {
  const int items[] = {0, 1, 5, 9};
  for (int item : items) {
    SCOPED_TRACE(item);
    Select(seconds_, item);
    Select(interval_, 8);   // the other selector does not matter
    WriteAutostartEntry(1, seconds_, interval_);
    EXPECT_EQ(AutostartValue(), Expected(L"/AutoSync", item * 10));
  }
  EXPECT_TRUE(IsWindowEnabled(seconds_));
  EXPECT_FALSE(IsWindowEnabled(interval_));
}

TEST_F(SettingsTest, PeriodicCheckBoxWritesTheIntervalSelectorsValue) {
  const int items[] = {0, 2, 8};
  for (int item : items) {
    SCOPED_TRACE(item);
    Select(interval_, item);
    Select(seconds_, 4);
    WriteAutostartEntry(0, seconds_, interval_);
    EXPECT_EQ(AutostartValue(), Expected(L"/CycleSync", (item + 1) * 10));
  }
  EXPECT_FALSE(IsWindowEnabled(seconds_));
  EXPECT_TRUE(IsWindowEnabled(interval_));
}

TEST_F(SettingsTest, SelectorWithoutSelectionWritesItsFirstItem) {
  Select(seconds_, -1);
  WriteAutostartEntry(1, seconds_, interval_);
  EXPECT_EQ(AutostartValue(), Expected(L"/AutoSync", 0));
  Select(interval_, -1);
  WriteAutostartEntry(0, seconds_, interval_);
  EXPECT_EQ(AutostartValue(), Expected(L"/CycleSync", 10));
}

TEST_F(SettingsTest, EntryNamesTheFullProgramPathEvenWhenStartedByARelativeOne) {
  ASSERT_EQ(BuildCommandLine(&g_cmdLine, L"Quorlin_x64.EXE /AutoSync"), 1);
  Select(seconds_, 3);
  WriteAutostartEntry(1, seconds_, interval_);
  const std::wstring value = AutostartValue();
  EXPECT_EQ(value, Expected(L"/AutoSync", 30));
  // A drive-absolute path: C:\... (or a UNC path), never the bare name.
  ASSERT_GT(value.size(), 4u);
  EXPECT_TRUE((value[2] == L':' && value[3] == L'\\') || (value[1] == L'\\' && value[2] == L'\\'))
      << Utf8(value.c_str());
}

TEST_F(SettingsTest, WrittenEntryIsReadBackAtTheNextStart) {
  Select(interval_, 2);
  WriteAutostartEntry(0, seconds_, interval_);
  ASSERT_EQ(BuildCommandLine(&g_cmdLine, L"q.exe"), 1);
  ReadAutostartEntry();
  ParseCommandLine();
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.autostartCycleMinutes, 30u);
  EXPECT_EQ(g_app.runMode, 0);

  // Ticking the other box replaces the entry: one value for both options.
  SetSyncDefaults(&g_app);
  Select(seconds_, 6);
  WriteAutostartEntry(1, seconds_, interval_);
  ReadAutostartEntry();
  EXPECT_EQ(g_app.autoChecked, 1);
  EXPECT_EQ(g_app.cycleChecked, 0);
  EXPECT_EQ(g_app.autostartAutoSeconds, 60u);
}

TEST_F(SettingsTest, UntickingEitherBoxRemovesTheEntry) {
  bool found = false;
  Select(seconds_, 2);
  WriteAutostartEntry(1, seconds_, interval_);
  AutostartValue(&found);
  ASSERT_TRUE(found);
  DeleteAutostartEntry();   // written for the auto box, removed for the periodic one
  AutostartValue(&found);
  EXPECT_FALSE(found);

  WriteAutostartEntry(0, seconds_, interval_);
  DeleteAutostartEntry();
  AutostartValue(&found);
  EXPECT_FALSE(found);

  DeleteAutostartEntry();   // nothing left to delete: no harm
  EXPECT_NE(RegDeleteValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE), ERROR_SUCCESS);
}

TEST_F(SettingsTest, TheBuildsTaskComesAndGoesWithTheEntryAndTheOldSharedTaskGoesEitherWay) {
  RegisterOldTask();
  Select(seconds_, 0);
  WriteAutostartEntry(1, seconds_, interval_);
  EXPECT_TRUE(TaskFileExists()) << Utf8(TaskFile().c_str());
  EXPECT_FALSE(TaskFileExists(AUTOSTART_OLD_TASK_NAME)) << "it would start the program a second time";
  Select(interval_, 2);
  WriteAutostartEntry(0, seconds_, interval_);
  EXPECT_TRUE(TaskFileExists());

  // An earlier installation's task, registered again meanwhile, goes with the unticking too.
  RegisterOldTask();
  DeleteAutostartEntry();
  EXPECT_FALSE(TaskFileExists());
  EXPECT_FALSE(TaskFileExists(AUTOSTART_OLD_TASK_NAME));
  EXPECT_TRUE(g_logLines.empty()) << Utf8(g_logLines[0].c_str());
}

// The start-up read takes 511 characters: a longer entry would start the
// program at logon while the boxes showed autostart off.
TEST_F(SettingsTest, AnEntryTheStartUpCannotReadBackIsRefusedWithOneLogLine) {
  // "<path>" /AutoSync 0 is the path and 14 characters.
  const size_t longest = REG_READ_CHARS - 1 - 14;
  const std::wstring fits = L"C:\\" + std::wstring(longest - 7, L'q') + L".exe";
  ASSERT_EQ(longest, fits.size());
  EXPECT_EQ(1, WriteAutostartCommand(fits.c_str(), 1, 0));
  EXPECT_EQ(AutostartValue(), L"\"" + fits + L"\" /AutoSync 0");
  EXPECT_TRUE(TaskFileExists());
  ReadAutostartEntry();
  EXPECT_EQ(g_app.autoChecked, 1);
  EXPECT_TRUE(g_logLines.empty()) << Utf8(g_logLines[0].c_str());

  DeleteAutostartEntry();
  SetSyncDefaults(&g_app);
  const std::wstring tooLong = L"C:\\q" + fits.substr(3);
  ASSERT_EQ(longest + 1, tooLong.size());
  EXPECT_EQ(0, WriteAutostartCommand(tooLong.c_str(), 1, 0));
  bool found = true;
  AutostartValue(&found);
  EXPECT_FALSE(found);
  EXPECT_FALSE(TaskFileExists()) << "the task would start the program with the boxes unticked";
  ASSERT_EQ(1u, g_logLines.size());
  EXPECT_EQ(std::wstring(Str(146)) + L"\r\n", g_logLines[0]);
  EXPECT_EQ(std::wstring(L"程序路径过长，自动启动项写不下，登录时不会自动启动本程序；请把程序放到较短的路径下。\r\n"),
            g_logLines[0]);
  ReadAutostartEntry();
  EXPECT_EQ(g_app.autoChecked, 0);
  EXPECT_EQ(g_app.cycleChecked, 0);

  // "<path>" /CycleSync 90 is two characters longer: the path must be two shorter.
  g_logLines.clear();
  EXPECT_EQ(0, WriteAutostartCommand(fits.c_str(), 0, 90));
  EXPECT_EQ(1u, g_logLines.size());
  EXPECT_EQ(1, WriteAutostartCommand(fits.substr(2).c_str(), 0, 90));
  ReadAutostartEntry();
  EXPECT_EQ(g_app.cycleChecked, 1);
  EXPECT_EQ(g_app.autostartCycleMinutes, 90u);
}

TEST_F(SettingsTest, SavedServerIsTheDefaultValueOfTheProgramsKey) {
  SaveOtherServer(L"127.0.0.21");
  bool found = false;
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, 0, &found), L"127.0.0.21");
  EXPECT_TRUE(found);
  EXPECT_EQ(g_app.savedServerPresent, 1);
  EXPECT_EQ(std::wstring(g_app.savedServer), L"127.0.0.21");

  ForgetOtherServer();
  ReadRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, 0, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(g_app.savedServerPresent, 0);
  EXPECT_EQ(g_app.savedServer[0], 0);
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key), ERROR_SUCCESS);   // the key stays
  RegCloseKey(key);

  // Read back at the next start.
  SaveOtherServer(L"::1");
  SetSyncDefaults(&g_app);
  ReadAutostartEntry();
  EXPECT_EQ(g_app.savedServerPresent, 1);
  EXPECT_EQ(std::wstring(g_app.savedServer), L"::1");
}

TEST_F(SettingsTest, SavedServerIsCutTo127Characters) {
  std::wstring host(200, L'n');
  SaveOtherServer(host.c_str());
  EXPECT_EQ(std::wstring(g_app.savedServer), host.substr(0, 127));
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr), host.substr(0, 127));
  EXPECT_EQ(g_app.logClearedOnce, 0);   // the field after savedServer
}

TEST_F(SettingsTest, ValuesLandInTheRegistryViewOfTheBuild) {
  RegistryGuard otherRun(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, kOtherView);
  RegistryGuard otherSaved(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, kOtherView);
  DeleteRegValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, kOtherView);
  DeleteRegValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, kOtherView);

  SaveOtherServer(L"127.0.0.22");
  Select(seconds_, 1);
  WriteAutostartEntry(1, seconds_, interval_);
  bool found = false;
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, kOwnView, &found), L"127.0.0.22");
  EXPECT_TRUE(found);
  ReadRegText(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, kOtherView, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, kOwnView), Expected(L"/AutoSync", 10));
}

TEST_F(SettingsTest, RegWriteStringStoresTheTextWithoutItsTerminator) {
  const wchar_t kSub[] = L"SOFTWARE\\Quorlin";
  RegistryGuard guard(HKEY_LOCAL_MACHINE, kSub, L"QlTestValue");
  ASSERT_EQ(RegWriteString(HKEY_LOCAL_MACHINE, kSub, L"QlTestValue", L"abc"), ERROR_SUCCESS);
  bool found = false;
  EXPECT_EQ(ReadRegText(HKEY_LOCAL_MACHINE, kSub, L"QlTestValue", 0, &found), L"abc");
  EXPECT_TRUE(found);   // a REG_SZ value
  // The program reads it back terminated all the same.
  const wchar_t* text = RegReadString(HKEY_LOCAL_MACHINE, kSub, L"QlTestValue");
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::wstring(text), L"abc");

  EXPECT_EQ(RegDeleteValue(HKEY_LOCAL_MACHINE, kSub, L"QlTestValue"), ERROR_SUCCESS);
  EXPECT_NE(RegDeleteValue(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorlin\\NoSuchKey", L"QlTestValue"), ERROR_SUCCESS);
  // A failing call reports its status instead of success.
  EXPECT_NE(RegWriteString(nullptr, kSub, L"QlTestValue", L"abc"), ERROR_SUCCESS);
}

}  // namespace
