// The real main window made in this process: the controls and the close command
// locked while a manual synchronisation runs, the tray icon after Explorer comes
// back, and restoring a minimised window (no server is asked: the probe worker
// never starts here). The close command of the system menu cannot be read
// from another process under Wine, so the black-box tests cannot see it.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <gtest/gtest.h>

#include <vector>

#include "testwindow.h"
#include "ui/syncview.h"
#include "ui/tray.h"

namespace {

struct STATE {
  HWND window;
  bool enabled;
  bool label;
};

BOOL CALLBACK Collect(HWND window, LPARAM p) {
  wchar_t name[32] = {};
  GetClassNameW(window, name, 32);
  ((std::vector<STATE>*)p)->push_back({window, IsWindowEnabled(window) != FALSE, lstrcmpW(name, L"Static") == 0});
  return TRUE;
}

std::vector<STATE> States() {
  std::vector<STATE> all;
  EnumChildWindows(MainWindow(), Collect, (LPARAM)&all);
  return all;
}

bool CloseCommandEnabled() {
  const UINT state = GetMenuState(GetSystemMenu(MainWindow(), FALSE), SC_CLOSE, MF_BYCOMMAND);
  return state != (UINT)-1 && !(state & (MF_GRAYED | MF_DISABLED));
}

class LockControls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { MakeTestMainWindow(); }
  static void TearDownTestSuite() { EndTestMainWindow(); }
};

// Locked: every control but the labels disabled, and the close command too.
void ExpectLocked(const std::vector<STATE>& before, const std::vector<STATE>& during) {
  ASSERT_EQ(during.size(), before.size());
  for (size_t i = 0; i < during.size(); ++i) {
    if (during[i].label) EXPECT_EQ(during[i].enabled, before[i].enabled) << "label " << i << " was touched";
    else EXPECT_FALSE(during[i].enabled) << "control " << i << " still enabled";
  }
  EXPECT_FALSE(CloseCommandEnabled());
}

// Restored: each control as it was before the lock, the seconds selector still off.
void ExpectRestored(const std::vector<STATE>& before, const std::vector<STATE>& after) {
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].enabled, before[i].enabled) << "control " << i;
  EXPECT_FALSE(IsWindowEnabled(Ctl(CTL_SECONDS)));
  EXPECT_TRUE(CloseCommandEnabled());
}

TEST_F(LockControls, EveryControlButTheLabelsIsDisabledAndGetsItsOwnStateBack) {
  ASSERT_NE(MainWindow(), nullptr) << "no main window: these tests need a display (Xvfb, DISPLAY set)";
  const std::vector<STATE> before = States();
  ASSERT_GE(before.size(), 20u);
  // At start the seconds and interval selectors are disabled: they must stay so.
  EXPECT_FALSE(IsWindowEnabled(Ctl(CTL_SECONDS)));
  EXPECT_FALSE(IsWindowEnabled(Ctl(CTL_INTERVAL)));
  EXPECT_TRUE(CloseCommandEnabled());

  DisableControls();
  const std::vector<STATE> during = States();
  ExpectLocked(before, during);

  RestoreControls();
  const std::vector<STATE> after = States();
  ExpectRestored(before, after);
}

TEST_F(LockControls, ARestoreWithoutALockChangesNothingAndTheCloseCommandFollowsItsFlag) {
  ASSERT_NE(MainWindow(), nullptr);
  EnableWindow(Ctl(CTL_SCHEME), FALSE);   // as the periodic and automatic modes leave it
  const std::vector<STATE> before = States();
  DisableControls();
  RestoreControls();
  EXPECT_FALSE(IsWindowEnabled(Ctl(CTL_SCHEME)));
  RestoreControls();   // nothing remembered any more
  const std::vector<STATE> again = States();
  for (size_t i = 0; i < again.size(); ++i) EXPECT_EQ(again[i].enabled, before[i].enabled) << "control " << i;
  EnableWindow(Ctl(CTL_SCHEME), TRUE);

  SetCloseCommand(0);
  EXPECT_FALSE(CloseCommandEnabled());
  SetCloseCommand(1);
  EXPECT_TRUE(CloseCommandEnabled());
}

// The manual synchronisation locks and unlocks the window from its own thread:
// every EnableWindow and the system menu change then travel to the window's
// thread, which keeps handling messages meanwhile, as the message loop does.
DWORD WINAPI LockOnItsOwnThread(void* step) {
  if (step) DisableControls();
  else RestoreControls();
  return 0;
}

bool RunOnAnotherThread(bool lock) {
  HANDLE thread = CreateThread(nullptr, 0, LockOnItsOwnThread, lock ? (void*)1 : nullptr, 0, nullptr);
  if (!thread) return false;
  const DWORD start = GetTickCount();
  DWORD wait;
  while ((wait = MsgWaitForMultipleObjects(1, &thread, FALSE, 1000, QS_ALLINPUT)) != WAIT_OBJECT_0 &&
         GetTickCount() - start < 20000)
    Pump();
  CloseHandle(thread);
  return wait == WAIT_OBJECT_0;
}

TEST_F(LockControls, TheLockWorksFromTheManualSynchronisationsThread) {
  ASSERT_NE(MainWindow(), nullptr);
  const std::vector<STATE> before = States();
  ASSERT_GE(before.size(), 20u);
  ASSERT_TRUE(CloseCommandEnabled());

  ASSERT_TRUE(RunOnAnotherThread(true)) << "the locking thread hung";
  const std::vector<STATE> during = States();
  ExpectLocked(before, during);

  ASSERT_TRUE(RunOnAnotherThread(false)) << "the unlocking thread hung";
  const std::vector<STATE> after = States();
  ExpectRestored(before, after);
}

// Explorer restarted: it tells every top-level window "TaskbarCreated", and a
// window hidden in the tray must put its icon back, or it can no longer be shown.
bool TrayIconExists(HWND window) {
  NOTIFYICONDATAW data = {};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = TRAY_ICON_ID;
  data.uFlags = NIF_TIP;
  lstrcpynW(data.szTip, L"probe", 64);
  return Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;   // fails for an icon that is not there
}

TEST_F(LockControls, AHiddenWindowPutsItsTrayIconBackWhenTheTaskbarComesBack) {
  ASSERT_NE(MainWindow(), nullptr);
  const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
  ShowWindow(MainWindow(), SW_HIDE);
  TrayIcon(MainWindow(), 1);
  ASSERT_TRUE(TrayIconExists(MainWindow())) << "no notification area in this prefix";
  TrayIcon(MainWindow(), 0);   // as a restarted Explorer has lost it
  ASSERT_FALSE(TrayIconExists(MainWindow()));
  SendMessageW(MainWindow(), taskbarCreated, 0, 0);
  EXPECT_TRUE(TrayIconExists(MainWindow()));
  TrayIcon(MainWindow(), 0);
  // A visible window has no tray icon to restore.
  ShowWindow(MainWindow(), SW_SHOWNOACTIVATE);
  SendMessageW(MainWindow(), taskbarCreated, 0, 0);
  EXPECT_FALSE(TrayIconExists(MainWindow()));
  ShowWindow(MainWindow(), SW_HIDE);
}

// A second start or the tray brings back a window left minimised on the taskbar.
TEST_F(LockControls, AVisibleButMinimisedWindowIsRestoredToo) {
  ASSERT_NE(MainWindow(), nullptr);
  ShowWindow(MainWindow(), SW_SHOWMINNOACTIVE);
  Pump();
  ASSERT_TRUE(IsIconic(MainWindow()));
  RestoreFromTray(MainWindow());
  Pump();
  EXPECT_TRUE(IsWindowVisible(MainWindow()));
  EXPECT_FALSE(IsIconic(MainWindow()));
  ShowWindow(MainWindow(), SW_HIDE);
}

}  // namespace
