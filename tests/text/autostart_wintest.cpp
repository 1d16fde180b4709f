// The logon task through the Task Scheduler of the test's own Wine prefix: it
// is registered and deleted as the boxes ask, and a failure reaches the log in
// one line. Wine keeps a registered task as a file under system32\Tasks (and
// drops its trigger, principal and action there, so only presence is checked;
// what the task says is tested on its text in autostart_task_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "testtext.h"
#include "text/autostart.h"
#include "text/autostart_task.h"

namespace {

std::vector<std::wstring> g_lines;
void Record(const wch* line) { g_lines.push_back(line); }

// The scheduler service is a 64-bit program and writes the native system32; a
// 32-bit test would see its syswow64 there, so redirection is off for the look.
std::wstring TaskFile() {
  wchar_t dir[MAX_PATH] = {};
  GetWindowsDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\system32\\Tasks\\Quorlin";
}

bool TaskFileExists() {
  void* redirection = nullptr;
  const BOOL off = Wow64DisableWow64FsRedirection(&redirection);
  const bool exists = GetFileAttributesW(TaskFile().c_str()) != INVALID_FILE_ATTRIBUTES;
  if (off) Wow64RevertWow64FsRedirection(redirection);
  return exists;
}

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
    saved_ = g_autostartLog;
    g_autostartLog = Record;
    g_lines.clear();
    DeleteAutostartTask();
    g_lines.clear();
  }
  void TearDown() override {
    DeleteAutostartTask();
    g_autostartLog = saved_;
  }
  void (*saved_)(const wch*) = nullptr;
};

TEST_F(AutostartTaskTest, RegisteredOnTickingReplacedOnChangeDeletedOnUnticking) {
  ASSERT_FALSE(TaskFileExists());
  EXPECT_EQ(S_OK, RegisterAutostartTask(Definition(1, 0).c_str()));
  EXPECT_TRUE(TaskFileExists()) << Utf8(TaskFile().c_str());
  // A changed selector registers again over the existing task.
  EXPECT_EQ(S_OK, RegisterAutostartTask(Definition(0, 30).c_str()));
  EXPECT_TRUE(TaskFileExists());
  EXPECT_EQ(S_OK, DeleteAutostartTask());
  EXPECT_FALSE(TaskFileExists());
  EXPECT_TRUE(g_lines.empty()) << Utf8(g_lines[0].c_str());
}

TEST_F(AutostartTaskTest, DeletingATaskThatIsNotThereIsNoFailure) {
  EXPECT_EQ(S_FALSE, DeleteAutostartTask());
  EXPECT_TRUE(g_lines.empty()) << Utf8(g_lines[0].c_str());
}

TEST_F(AutostartTaskTest, ARefusedDefinitionIsReportedInOneLine) {
  const HRESULT hr = RegisterAutostartTask(L"<Task version=\"1.2\"><Triggers>");
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_FALSE(TaskFileExists());
  ASSERT_EQ(1u, g_lines.size());
  const std::wstring& line = g_lines[0];
  EXPECT_EQ(line.find(L"\r\n"), line.size() - 2) << "one line, ended: " << Utf8(line.c_str());
  wchar_t code[16];
  wsprintfW(code, L"0x%08lX", (unsigned long)hr);
  EXPECT_NE(std::wstring::npos, line.find(code)) << Utf8(line.c_str());
}

}  // namespace
