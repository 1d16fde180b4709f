// The message filter of the main window: which messages from processes of
// lower integrity the window lets through, recorded as the window is made.
// Wine has no integrity levels, so only the calls can be seen, not their effect.
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "app/ids.h"
#include "testwindow.h"
#include "ui/msgfilter.h"

namespace {

struct FILTERCALL {
  bool perWindow;
  HWND window;   // null for a call for the whole process
  UINT message;
  DWORD action;
};
std::vector<FILTERCALL> g_calls;
BOOL g_answer = TRUE;

BOOL WINAPI RecordForWindow(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT info) {
  g_calls.push_back({true, window, message, action});
  return info ? FALSE : g_answer;   // the program asks for no details
}
BOOL WINAPI RecordForProcess(UINT message, DWORD flag) {
  g_calls.push_back({false, nullptr, message, flag});
  return g_answer;
}

MESSAGEFILTER WindowsSeven() { return {RecordForWindow, RecordForProcess}; }
MESSAGEFILTER Vista() { return {nullptr, RecordForProcess}; }
MESSAGEFILTER NoFilter() { return {nullptr, nullptr}; }

UINT TaskbarCreated() { return RegisterWindowMessageW(L"TaskbarCreated"); }

class MessageFilter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MESSAGEFILTER (*saved)() = g_bindMessageFilter;
    g_bindMessageFilter = WindowsSeven;
    g_calls.clear();
    MakeTestMainWindow();
    atCreation_ = g_calls;
    g_bindMessageFilter = saved;
  }
  static void TearDownTestSuite() { EndTestMainWindow(); }
  void SetUp() override {
    g_calls.clear();
    g_answer = TRUE;
  }
  void TearDown() override { g_bindMessageFilter = saved_; }

  static std::vector<FILTERCALL> atCreation_;
  MESSAGEFILTER (*saved_)() = g_bindMessageFilter;
};
std::vector<FILTERCALL> MessageFilter::atCreation_;

// Explorer runs below the elevated program: without these two, a restarted
// Explorer's broadcast and the tray icon's clicks would never arrive.
TEST_F(MessageFilter, TheMainWindowLetsExplorersBroadcastAndTheTrayCallbackThrough) {
  ASSERT_NE(MainWindow(), nullptr) << "no main window: these tests need a display (Xvfb, DISPLAY set)";
  ASSERT_NE(TaskbarCreated(), 0u);
  ASSERT_EQ(2u, atCreation_.size());
  EXPECT_TRUE(atCreation_[0].perWindow);
  EXPECT_EQ(MainWindow(), atCreation_[0].window);
  EXPECT_EQ(TaskbarCreated(), atCreation_[0].message);
  EXPECT_EQ((DWORD)MSGFLT_ALLOW, atCreation_[0].action);
  EXPECT_TRUE(atCreation_[1].perWindow);
  EXPECT_EQ(MainWindow(), atCreation_[1].window);
  EXPECT_EQ((UINT)WM_TRAYICON, atCreation_[1].message);
  EXPECT_EQ((DWORD)MSGFLT_ALLOW, atCreation_[1].action);
  // Only a later start of the program, elevated as well, sends the handoff.
  for (const FILTERCALL& call : atCreation_) EXPECT_NE((UINT)WM_HANDOFF, call.message);
}

TEST_F(MessageFilter, VistaAllowsTheSameMessagesForTheWholeProcess) {
  g_bindMessageFilter = Vista;
  EXPECT_EQ(2, AllowShellMessages(MainWindow()));
  ASSERT_EQ(2u, g_calls.size());
  EXPECT_FALSE(g_calls[0].perWindow);
  EXPECT_EQ(TaskbarCreated(), g_calls[0].message);
  EXPECT_EQ((DWORD)MSGFLT_ADD, g_calls[0].action);
  EXPECT_FALSE(g_calls[1].perWindow);
  EXPECT_EQ((UINT)WM_TRAYICON, g_calls[1].message);
  EXPECT_EQ((DWORD)MSGFLT_ADD, g_calls[1].action);
}

TEST_F(MessageFilter, RefusalsAreCountedAndASystemWithoutAFilterIsLeftAlone) {
  g_bindMessageFilter = WindowsSeven;
  g_answer = FALSE;
  EXPECT_EQ(0, AllowShellMessages(MainWindow()));
  EXPECT_EQ(2u, g_calls.size());
  for (const FILTERCALL& call : g_calls) EXPECT_TRUE(call.perWindow) << "no fallback for a refused call";

  g_calls.clear();
  g_bindMessageFilter = NoFilter;
  EXPECT_EQ(0, AllowShellMessages(MainWindow()));
  EXPECT_TRUE(g_calls.empty());
}

// The functions are found by name in user32 at run time.
TEST_F(MessageFilter, TheSystemsOwnFilterIsFoundAndAccepts) {
  ASSERT_NE(MainWindow(), nullptr);
  EXPECT_EQ(2, AllowShellMessages(MainWindow()));
}

}  // namespace
