#include "ui/commands.h"

#include "app/appstate.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "sync/modes.h"
#include "text/settings.h"
#include "ui/base.h"
#include "ui/runmodes.h"
#include "ui/tray.h"

#define SELECTOR_CHARS 128

void SelectorText(HWND selector, wchar_t* out) {
  out[0] = 0;
  const LRESULT item = CurrentItem(selector);
  if (item >= 0) {
    const LRESULT length = SendMessageW(selector, CB_GETLBTEXTLEN, (WPARAM)item, 0);
    // CB_GETLBTEXT has no size argument: a longer item would overrun the buffer.
    if (length >= 0 && length < SELECTOR_CHARS) {
      SendMessageW(selector, CB_GETLBTEXT, (WPARAM)item, (LPARAM)out);
      out[SELECTOR_CHARS - 1] = 0;
    } else if (length >= SELECTOR_CHARS) {
      wchar_t* whole = (wchar_t*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, ((SIZE_T)length + 1) * sizeof(wchar_t));
      if (whole) {
        SendMessageW(selector, CB_GETLBTEXT, (WPARAM)item, (LPARAM)whole);
        lstrcpynW(out, whole, SELECTOR_CHARS);
        HeapFree(GetProcessHeap(), 0, whole);
      }
    }
  }
  if (item < 0 || !out[0]) {
    out[0] = 0;
    GetWindowTextW(selector, out, SELECTOR_CHARS);
  }
}

static void OtherServerChanged() {
  wchar_t text[SELECTOR_CHARS];
  SelectorText(Ctl(CTL_OTHER_SERVER), text);
  LockTable();   // the probes read the host on their threads
  lstrcpynW(g_workTable[9].host, text, HOST_CHARS);
  UnlockTable();
  const int same = lstrcmpiW(text, g_app.savedServer) == 0;
  SendMessageW(Ctl(CTL_SAVE), BM_SETCHECK, same ? BST_CHECKED : BST_UNCHECKED, 0);
  g_app.otherServerChanged = 1;
}

static void SaveBoxClicked() {
  const int ticked = IsTicked(Ctl(CTL_SAVE));
  g_app.savedServerPresent = ticked;
  if (ticked) {
    wchar_t text[SELECTOR_CHARS];
    SelectorText(Ctl(CTL_OTHER_SERVER), text);
    SaveOtherServer(text);
  } else {
    ForgetOtherServer();
  }
}

static void AutoBoxClicked() {
  if (IsTicked(Ctl(CTL_AUTO))) {
    WriteAutostartEntry(1, Ctl(CTL_SECONDS), Ctl(CTL_INTERVAL));
    if (g_app.runMode == 1) LeavePeriodicForAutomatic();
    g_app.runMode = 0;
    EnableWindow(Ctl(CTL_SCHEME), TRUE);
    SendMessageW(Ctl(CTL_PERIODIC), BM_SETCHECK, BST_UNCHECKED, 0);
    RemovePeriodicItem();
  } else {
    EnableWindow(Ctl(CTL_PERIODIC), TRUE);
    EnableWindow(Ctl(CTL_SCHEME), TRUE);
    EnableWindow(Ctl(CTL_SECONDS), FALSE);
    DeleteAutostartEntry();
    ShowManualStatus();
  }
}

static void PeriodicBoxClicked() {
  if (IsTicked(Ctl(CTL_PERIODIC))) {
    if (g_app.runMode == 2) CancelAutomaticMode();
    WriteAutostartEntry(0, Ctl(CTL_SECONDS), Ctl(CTL_INTERVAL));
    SendMessageW(Ctl(CTL_AUTO), BM_SETCHECK, BST_UNCHECKED, 0);
    EnableWindow(Ctl(CTL_SCHEME), TRUE);
    if (SendMessageW(Ctl(CTL_SCHEME), CB_GETCOUNT, 0, 0) == 2) InsertPeriodicItem();
  } else {
    LeavePeriodicMode();
  }
}

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
  const HWND sender = (HWND)lParam;
  const UINT code = HIWORD(wParam);
  if (!sender) return;
  if (sender == Ctl(CTL_CLOSE)) {
    if (ConfirmClose(window)) DestroyWindow(window);
  } else if (sender == Ctl(CTL_SYNC)) {
    SyncCommand(window);
  } else if (sender == Ctl(CTL_AUTO)) {
    if (code == BN_CLICKED) AutoBoxClicked();
  } else if (sender == Ctl(CTL_PERIODIC)) {
    if (code == BN_CLICKED) PeriodicBoxClicked();
  } else if (sender == Ctl(CTL_SECONDS)) {
    if (code == CBN_SELCHANGE) WriteAutostartEntry(1, Ctl(CTL_SECONDS), Ctl(CTL_INTERVAL));
  } else if (sender == Ctl(CTL_INTERVAL)) {
    if (code == CBN_SELCHANGE) {
      WriteAutostartEntry(0, Ctl(CTL_SECONDS), Ctl(CTL_INTERVAL));
      ChangePeriod();
    }
  } else if (sender == Ctl(CTL_OTHER_SERVER)) {
    if (code == CBN_SELCHANGE || code == CBN_EDITCHANGE) OtherServerChanged();
  } else if (sender == Ctl(CTL_SAVE)) {
    SaveBoxClicked();
  } else if (sender == Ctl(CTL_QUERY_SELECTOR)) {
    if (code == CBN_SELCHANGE) {
      const LRESULT item = CurrentItem(sender);
      SetProbeInterval((DWORD)((item < 0 ? 0 : item) + 1) * 10000);
    }
  }
}
