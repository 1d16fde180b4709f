// The results list of the real main window: cells given by another thread reach
// the list in one message, and only the cells that changed are repainted (the
// list's own full-row repaint is narrowed, without losing what was already due
// and without repainting the windows over row 9), and what the user types or
// clicks in those windows reaches the main window's command handling.
#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>

#include <string>

#include "testwindow.h"
#include "ui/resultlist.h"

namespace {

HWND List() { return Ctl(CTL_RESULT_LIST); }

std::wstring CellText(int row, int column) {
  wchar_t text[128] = {};
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 128;
  SendMessageW(List(), LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
  return text;
}

POINT CellCentre(int row, int column) {
  RECT r = {};
  r.top = column;
  r.left = LVIR_BOUNDS;
  SendMessageW(List(), LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&r);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// Whether the list will repaint the middle of the cell.
bool Due(HRGN region, int row, int column) {
  const POINT p = CellCentre(row, column);
  return PtInRegion(region, p.x, p.y) != FALSE;
}

struct STAGING {
  int row;
  const wchar_t* texts[RESULT_COLUMNS];   // null: not given
};

DWORD WINAPI StageAndShow(void* parameter) {
  const STAGING* s = (const STAGING*)parameter;
  for (int c = 0; c < RESULT_COLUMNS; ++c)
    if (s->texts[c]) g_listView->StageCellText(s->row, c, s->texts[c]);
  g_listView->ShowStagedCells();
  return 0;
}

// Runs the staging on a thread of its own, as the display refresh does,
// answering its message meanwhile.
void StageFromWorker(const STAGING& s) {
  HANDLE thread = CreateThread(nullptr, 0, StageAndShow, (void*)&s, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  while (MsgWaitForMultipleObjects(1, &thread, FALSE, 5000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "the staging thread did not finish";
  CloseHandle(thread);
}

std::wstring RowNineHost() {
  wchar_t host[HOST_CHARS];
  LockTable();
  lstrcpynW(host, g_workTable[9].host, HOST_CHARS);
  UnlockTable();
  return host;
}

class ResultList : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    MakeTestMainWindow();
    // The refresh would clear the rows again: no server answers here.
    StopWorker(&g_refreshWorker);
  }
  static void TearDownTestSuite() { EndTestMainWindow(); }
  void SetUp() override {
    ASSERT_NE(MainWindow(), nullptr) << "no main window: these tests need a display (Xvfb, DISPLAY set)";
    ASSERT_NE(g_listView, nullptr);
    ShowWindow(MainWindow(), SW_SHOWNOACTIVATE);
    UpdateWindow(MainWindow());
    RedrawWindow(MainWindow(), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
  }
  void TearDown() override { ShowWindow(MainWindow(), SW_HIDE); }
};

TEST_F(ResultList, CellsStagedByAnotherThreadAreShownTogetherAndUnchangedOnesCostNothing) {
  STAGING s = {3, {nullptr, L"2026-12-09 10:00:01", L"+0.002", L"17", L"0.250", nullptr, L"2"}};
  StageFromWorker(s);
  EXPECT_EQ(CellText(3, 1), L"2026-12-09 10:00:01");
  EXPECT_EQ(CellText(3, 2), L"+0.002");
  EXPECT_EQ(CellText(3, 3), L"17");
  EXPECT_EQ(CellText(3, 4), L"0.250");
  EXPECT_EQ(CellText(3, 6), L"2");
  UpdateWindow(List());

  // The same texts again, one of them new: only that one is set and repainted.
  STAGING again = {3, {nullptr, L"2026-12-09 10:00:02", L"+0.002", L"17", L"0.250", nullptr, L"2"}};
  StageFromWorker(again);
  EXPECT_EQ(CellText(3, 1), L"2026-12-09 10:00:02");
  HRGN due = CreateRectRgn(0, 0, 0, 0);
  ASSERT_NE(GetUpdateRgn(List(), due, FALSE), ERROR);
  EXPECT_TRUE(Due(due, 3, 1));
  for (int c : {0, 2, 3, 4, 5, 6}) EXPECT_FALSE(Due(due, 3, c)) << "column " << c;
  EXPECT_FALSE(Due(due, 2, 1));
  EXPECT_FALSE(Due(due, 4, 1));
  DeleteObject(due);
}

TEST_F(ResultList, WhatWasAlreadyDueStaysDueAndTheWindowsOverRowNineAreLeftAlone) {
  HWND selector = Ctl(CTL_OTHER_SERVER);
  HWND saveBox = Ctl(CTL_SAVE);
  ASSERT_NE(selector, nullptr);
  ASSERT_NE(saveBox, nullptr);
  ASSERT_FALSE(GetUpdateRect(selector, nullptr, FALSE));
  ASSERT_FALSE(GetUpdateRect(saveBox, nullptr, FALSE));

  // Something else asked for row 6's last cell to be repainted.
  RECT r = {};
  r.top = 6;
  r.left = LVIR_BOUNDS;
  ASSERT_TRUE(SendMessageW(List(), LVM_GETSUBITEMRECT, 6, (LPARAM)&r));
  InvalidateRect(List(), &r, TRUE);

  STAGING s = {9, {nullptr, L"2026-12-09 10:00:03", L"-0.001", nullptr, nullptr, nullptr, nullptr}};
  StageFromWorker(s);
  EXPECT_EQ(CellText(9, 1), L"2026-12-09 10:00:03");
  HRGN due = CreateRectRgn(0, 0, 0, 0);
  ASSERT_NE(GetUpdateRgn(List(), due, FALSE), ERROR);
  EXPECT_TRUE(Due(due, 9, 1));
  EXPECT_TRUE(Due(due, 9, 2));
  EXPECT_TRUE(Due(due, 6, 6)) << "a repaint asked for before was lost";
  EXPECT_FALSE(Due(due, 9, 3));
  DeleteObject(due);
  EXPECT_FALSE(GetUpdateRect(selector, nullptr, FALSE)) << "the other-server selector repaints for a cell it does not cover";
  EXPECT_FALSE(GetUpdateRect(saveBox, nullptr, FALSE)) << "the save box repaints for a cell it does not cover";
  UpdateWindow(List());
  EXPECT_EQ(CellText(9, 2), L"-0.001");
}

TEST_F(ResultList, AHostTypedIntoTheOtherServerFieldBecomesRowNinesHost) {
  HWND selector = Ctl(CTL_OTHER_SERVER);
  HWND field = FindWindowExW(selector, nullptr, L"Edit", nullptr);
  ASSERT_NE(field, nullptr);
  SendMessageW(selector, CB_SETCURSEL, (WPARAM)-1, 0);
  SetWindowTextW(field, L"");
  g_app.otherServerChanged = 0;
  for (const wchar_t* c = L"127.0.0.77"; *c; ++c) SendMessageW(field, WM_CHAR, (WPARAM)*c, 1);
  Pump();
  EXPECT_EQ(RowNineHost(), L"127.0.0.77");
  EXPECT_EQ(g_app.otherServerChanged, 1);
}

TEST_F(ResultList, TheSaveBoxSavesAndForgetsTheOtherServer) {
  HWND selector = Ctl(CTL_OTHER_SERVER);
  SendMessageW(selector, CB_SETCURSEL, (WPARAM)-1, 0);
  SetWindowTextW(selector, L"127.0.0.78");
  HWND saveBox = Ctl(CTL_SAVE);
  SendMessageW(saveBox, BM_SETCHECK, BST_UNCHECKED, 0);
  g_app.savedServerPresent = 0;
  SendMessageW(saveBox, BM_CLICK, 0, 0);
  Pump();
  EXPECT_EQ(g_app.savedServerPresent, 1);
  EXPECT_STREQ(g_app.savedServer, L"127.0.0.78");
  SendMessageW(saveBox, BM_CLICK, 0, 0);
  Pump();
  EXPECT_EQ(g_app.savedServerPresent, 0);
  EXPECT_STREQ(g_app.savedServer, L"");
}

}  // namespace
