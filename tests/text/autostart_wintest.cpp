// The logon tasks through the Task Scheduler of the test's own Wine prefix: the
// build's task is registered and deleted as the boxes ask, the old shared task
// goes with every change, and a failure reaches the log in one line. Wine keeps
// a registered task as a file under system32\Tasks (and drops its trigger,
// principal and action there, so only presence is checked; what the task says
// is tested on its text in autostart_task_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/appstate.h"
#include "taskfile_win.h"
#include "testtext.h"
#include "text/autostart.h"
#include "text/autostart_task.h"
#include "text/strings.h"

namespace {

std::vector<std::wstring> g_lines;
void Record(const wch* line) { g_lines.push_back(line); }

std::wstring Definition(int automatic, unsigned long long number) {
  std::vector<wch> xml(AUTOSTART_XML_CHARS);
  EXPECT_GT(ComposeAutostartTaskXml(xml.data(), AUTOSTART_XML_CHARS, L"C:\\R&D <x>\\Quorlin_x64U.exe", automatic,
                                    number),
            0u);
  return xml.data();
}

class AutostartTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The failure line is string 145, as the program ships it.
    const int ini = g_app.iniPresent;
    g_app.iniPresent = 0;
    LoadInterfaceStrings();
    g_app.iniPresent = ini;
    saved_ = g_autostartLog;
    g_autostartLog = Record;
    DeleteAutostartTask(AUTOSTART_TASK_NAME);
    DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME);
    g_lines.clear();
  }
  void TearDown() override {
    DeleteAutostartTask(AUTOSTART_TASK_NAME);
    DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME);
    g_autostartLog = saved_;
  }
  void (*saved_)(const wch*) = nullptr;
};

TEST_F(AutostartTaskTest, RegisteredOnTickingReplacedOnChangeDeletedOnUnticking) {
  ASSERT_FALSE(TaskFileExists());
  EXPECT_EQ(S_OK, RegisterAutostartTask(AUTOSTART_TASK_NAME, Definition(1, 0).c_str()));
  EXPECT_TRUE(TaskFileExists()) << Utf8(TaskFile().c_str());
  // A changed selector registers again over the existing task.
  EXPECT_EQ(S_OK, RegisterAutostartTask(AUTOSTART_TASK_NAME, Definition(0, 30).c_str()));
  EXPECT_TRUE(TaskFileExists());
  EXPECT_EQ(S_OK, DeleteAutostartTask(AUTOSTART_TASK_NAME));
  EXPECT_FALSE(TaskFileExists());
  EXPECT_TRUE(g_lines.empty()) << Utf8(g_lines[0].c_str());
}

TEST_F(AutostartTaskTest, EachBuildHasATaskOfItsOwnBesideTheOldSharedOne) {
#ifdef _WIN64
  EXPECT_EQ(std::wstring(L"Quorlin_x64U"), AUTOSTART_TASK_NAME);
  const wchar_t* other = L"Quorlin_x86U";
#else
  EXPECT_EQ(std::wstring(L"Quorlin_x86U"), AUTOSTART_TASK_NAME);
  const wchar_t* other = L"Quorlin_x64U";
#endif
  // The other build's task and the old one stand; deleting this build's task
  // leaves both alone.
  ASSERT_EQ(S_OK, RegisterAutostartTask(other, Definition(0, 60).c_str()));
  ASSERT_EQ(S_OK, RegisterAutostartTask(AUTOSTART_OLD_TASK_NAME, Definition(1, 0).c_str()));
  ASSERT_EQ(S_OK, RegisterAutostartTask(AUTOSTART_TASK_NAME, Definition(1, 30).c_str()));
  EXPECT_EQ(S_OK, DeleteAutostartTask(AUTOSTART_TASK_NAME));
  EXPECT_FALSE(TaskFileExists());
  EXPECT_TRUE(TaskFileExists(other));
  EXPECT_TRUE(TaskFileExists(AUTOSTART_OLD_TASK_NAME));
  EXPECT_EQ(S_OK, DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME));
  EXPECT_FALSE(TaskFileExists(AUTOSTART_OLD_TASK_NAME));
  EXPECT_TRUE(TaskFileExists(other));
  EXPECT_EQ(S_OK, DeleteAutostartTask(other));
  EXPECT_TRUE(g_lines.empty()) << Utf8(g_lines[0].c_str());
}

TEST_F(AutostartTaskTest, DeletingATaskThatIsNotThereIsNoFailure) {
  EXPECT_EQ(S_FALSE, DeleteAutostartTask(AUTOSTART_TASK_NAME));
  EXPECT_EQ(S_FALSE, DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME));
  EXPECT_TRUE(g_lines.empty()) << Utf8(g_lines[0].c_str());
}

// The line is string 145 with the task's name and the code put in: a translator
// can word it, and a stray directive in the translation reads no argument.
TEST_F(AutostartTaskTest, ARefusedDefinitionIsReportedInOneLineOfTheStringTable) {
  const HRESULT hr = RegisterAutostartTask(AUTOSTART_TASK_NAME, L"<Task version=\"1.2\"><Triggers>");
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_FALSE(TaskFileExists());
  ASSERT_EQ(1u, g_lines.size());
  wchar_t code[16];
  wsprintfW(code, L"0x%08lX", (unsigned long)hr);
  EXPECT_EQ(std::wstring(L"更新计划任务 ") + AUTOSTART_TASK_NAME + L" 失败 (" + code +
                L")，登录时本程序可能不会按所选方式启动。\r\n",
            g_lines[0]);

  g_lines.clear();
  WCopy(g_stringTable.slot[145 - STRING_FIRST_ID], STRING_CHARS, L"Task %s: %d %x %s %s%%");
  RegisterAutostartTask(AUTOSTART_TASK_NAME, L"<Task>");
  ASSERT_EQ(1u, g_lines.size());
  const std::wstring& line = g_lines[0];
  EXPECT_EQ(0u, line.find(std::wstring(L"Task ") + AUTOSTART_TASK_NAME + L": %d %x 0x")) << Utf8(line.c_str());
  EXPECT_EQ(line.size() - 6, line.find(L" %s%\r\n")) << Utf8(line.c_str());
}

}  // namespace
