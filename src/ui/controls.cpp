#include "ui/controls.h"

#include "app/appstate.h"
#include "ntp/serverrow.h"
#include "text/serverlists.h"
#include "text/strings.h"
#include "ui/base.h"
#include "ui/layout.h"

#define CLOCK_SAMPLE L"00-00-00       00:00:00"

HWND CreateControl(const wchar_t* className, const wchar_t* text, const RECT& r, HWND parent, HFONT font,
                   DWORD style, DWORD extendedStyle) {
  HWND control = CreateWindowExW(extendedStyle, className, text, style, r.left, r.top, r.right - r.left,
                                 r.bottom - r.top, parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  if (control && font) SendMessageW(control, WM_SETFONT, (WPARAM)font, TRUE);
  return control;
}

HWND CreatePushButton(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"Button", text, r, parent, font, STYLE_PUSH_BUTTON | extra, 0);
}
HWND CreateCheckBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"Button", text, r, parent, font, STYLE_CHECK_BOX | extra, 0);
}
HWND CreateGroupBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"Button", text, r, parent, font, STYLE_GROUP_BOX | extra, 0);
}
HWND CreateSelector(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"ComboBox", text, r, parent, font, STYLE_SELECTOR | extra, 0);
}
HWND CreateLabel(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"Static", text, r, parent, font, STYLE_LABEL | extra, 0);
}
HWND CreateEditBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra) {
  return CreateControl(L"Edit", text, r, parent, font, STYLE_EDIT_BOX | extra, 0);
}

static RECT Moved(const RECT& r, int dx, int dy) { return Rect(r.left + dx, r.top + dy, r.right + dx, r.bottom + dy); }

// Stores the rectangle in the control's descriptor first, as every later
// computation reads the stored rectangles.
typedef HWND (*FACTORY)(const wchar_t*, const RECT&, HWND, HFONT, DWORD);
static HWND Make(int id, FACTORY factory, const wchar_t* text, const RECT& r, HWND parent, DWORD extra,
                 HFONT font = nullptr) {
  WINDOWDESC* d = &g_controls[id];
  d->rectangle = r;
  d->parent = parent;
  d->handle = factory(text, r, parent, font ? font : g_app.fonts[0], extra);
  return d->handle;
}

static void FillNumberedSelector(HWND selector, const wchar_t* format, int firstIndex, const wchar_t* word) {
  for (unsigned n = 10; n <= 90; n += 10) {
    wchar_t text[1025];   // wsprintfW writes at most 1024 characters
    wsprintfW(text, format, n, word);
    InsertSelectorItem(selector, (int)(n / 10) - 1 + firstIndex, text);
  }
}

static void FillOtherServerSelector(HWND selector) {
  SendMessageW(selector, CB_RESETCONTENT, 0, 0);
  int index = 0;
  if (g_app.savedServerPresent || g_app.customServerGiven) {
    wchar_t host[HOST_CHARS];
    LockTable();
    lstrcpynW(host, g_workTable[9].host, HOST_CHARS);
    UnlockTable();
    InsertSelectorItem(selector, index++, host);
  }
  const uint32_t count = ExtraListCount();
  for (uint32_t i = 0; i < count; ++i) InsertSelectorItem(selector, index++, g_extraList[i].host);
  SendMessageW(selector, CB_SETCURSEL, 0, 0);
  if (!g_app.customServerGiven)
    SendMessageW(Ctl(CTL_SAVE), BM_SETCHECK, g_app.savedServerPresent ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CreateControlsBeforeList(HWND window, int W) {
  const int u = g_layout.unit, ch = g_layout.ch;
  const int halfU = u >> 1;

  // Step 1: computer label and the query interval selector.
  const RECT& computer = g_controls[CTL_COMPUTER_LABEL].rectangle;
  Make(CTL_COMPUTER_LABEL, CreateLabel, nullptr, Rect(4 * u, 3 * u, 56 * u, 4 * u + ch), window, 0);
  SetWindowTextW(Ctl(CTL_COMPUTER_LABEL), ComposeComputerCaption());
  HWND query = Make(CTL_QUERY_SELECTOR, CreateSelector, nullptr,
                    Rect(W - 18 * u, computer.top - halfU - u, W - 4 * u, computer.bottom), window, SELECTOR_LIST);
  SendMessageW(query, CB_RESETCONTENT, 0, 0);
  for (unsigned n = 10; n <= 90; n += 10) {
    wchar_t text[64 + STRING_CHARS];
    wsprintfW(text, L"%u", n);
    lstrcatW(text, Str(108));
    InsertSelectorItem(query, (int)(n / 10) - 1, text);
  }
  SendMessageW(query, CB_SETCURSEL, 2, 0);

  // Step 2: query interval label and the clock.
  const RECT& qs = g_controls[CTL_QUERY_SELECTOR].rectangle;
  Make(CTL_QUERY_LABEL, CreateLabel, Str(122), Rect(W - 56 * u, computer.top, qs.left - halfU - 1, computer.bottom),
       window, LABEL_RIGHT);
  const SIZE e = TextExtent(window, g_app.fonts[1], CLOCK_SAMPLE);
  const int clockLeft = (W - e.cx) / 2, clockTop = computer.top - 2 * u;
  Make(CTL_CLOCK_LABEL, CreateLabel, nullptr, Rect(clockLeft, clockTop, clockLeft + e.cx, clockTop + 2 * u + e.cy),
       window, LABEL_CENTRED, g_app.fonts[1]);
}

void CreateControlsAfterList(HWND window, int W, int H) {
  const int u = g_layout.unit, cw = g_layout.cw, ch = g_layout.ch;
  const int halfU = u >> 1;

  // Step 7: close, sync and the stand-in sync button on the same place.
  const RECT close = Rect(W - 2 * u - 10 * cw, H - 6 * u - 2 * ch, W - 2 * u, H - 3 * u);
  Make(CTL_CLOSE, CreatePushButton, Str(123), close, window, 0);
  const RECT sync = Rect(close.left - Width(close) - 3 * u, close.top, close.left - 3 * u, close.bottom);
  Make(CTL_SYNC, CreatePushButton, Str(124), sync, window, 0);
  Make(CTL_SYNC2, CreatePushButton, Str(124), sync, window, 0);

  // Step 8: the other-server selector and the save box inside row 9.
  const RECT row9 = RowLabelRect(9);
  wchar_t name9[HOST_CHARS];
  LockTable();
  lstrcpynW(name9, g_workTable[9].name, HOST_CHARS);
  UnlockTable();
  const SIZE nameExtent = TextExtent(window, g_app.fonts[0], name9);
  HWND list = Ctl(CTL_RESULT_LIST);
  const RECT other = Rect(row9.left + nameExtent.cx + u, row9.top + 1, row9.right - 12 * u, row9.bottom + 2);
  HWND otherSelector = Make(CTL_OTHER_SERVER, CreateSelector, nullptr, other, list, SELECTOR_EDITABLE);
  Make(CTL_SAVE, CreateCheckBox, Str(125), Rect(other.right + u, other.top, row9.right - u, row9.bottom - 4), list,
       0);
  FillOtherServerSelector(otherSelector);

  // Step 10: the clear box and the scheme selector above it.
  const RECT clear = Rect(sync.left, sync.top - 8 * u, close.right, close.top - 4 * u);
  Make(CTL_CLEAR, CreateCheckBox, Str(126), clear, window, 0);
  const RECT scheme = Moved(clear, 0, -(Height(clear) + 5 * u));
  HWND schemeSelector = Make(CTL_SCHEME, CreateSelector, nullptr, scheme, window, SELECTOR_LIST);
  SendMessageW(schemeSelector, CB_RESETCONTENT, 0, 0);
  InsertSelectorItem(schemeSelector, 0, Str(127));
  InsertSelectorItem(schemeSelector, 1, Str(128));
  SendMessageW(schemeSelector, CB_SETCURSEL, 0, 0);

  // Step 11: the start-up group; the status prefix.
  const RECT group = Rect(2 * (scheme.left - 12 * u) - scheme.right, scheme.top - u, sync.left - 3 * u,
                          close.bottom - 7 * u);
  Make(CTL_GROUP, CreateGroupBox, Str(129), group, window, 0);
  lstrcpynW(g_controls[CTL_STATUS].text, Str(130), 512);

  // Step 12: status line and the two start-up options.
  Make(CTL_STATUS, CreateLabel, nullptr, Rect(group.left, group.bottom + 2 * u, group.right, H - 2 * u), window,
       LABEL_CENTRED);
  const int autoLeft = group.left + 3 * u, autoTop = group.top + 6 * u - halfU;
  const RECT autoBox = Rect(autoLeft, autoTop, autoLeft + 22 * u, autoTop + 4 * u);
  Make(CTL_AUTO, CreateCheckBox, Str(131), autoBox, window, 0);
  Make(CTL_PERIODIC, CreateCheckBox, Str(132), Moved(autoBox, Width(autoBox) + 4 * u, 0), window, 0);

  // Step 13: the seconds selector.
  const RECT seconds = Moved(autoBox, 0, Height(autoBox) + 3 * u);
  HWND secondsSelector = Make(CTL_SECONDS, CreateSelector, nullptr, seconds, window, SELECTOR_LIST);
  SendMessageW(secondsSelector, CB_RESETCONTENT, 0, 0);
  wchar_t untilSuccess[2 + STRING_CHARS] = L" ";
  lstrcatW(untilSuccess, Str(133));
  InsertSelectorItem(secondsSelector, 0, untilSuccess);
  FillNumberedSelector(secondsSelector, L" %u%s", 1, Str(134));
  const uint64_t secondsItem = g_app.autostartAutoSeconds / 10;
  SendMessageW(secondsSelector, CB_SETCURSEL, secondsItem > 9 ? 0 : (WPARAM)secondsItem, 0);

  // Step 14: the interval selector.
  HWND intervalSelector = Make(CTL_INTERVAL, CreateSelector, nullptr, Moved(seconds, Width(autoBox) + 4 * u, 0),
                               window, SELECTOR_LIST);
  SendMessageW(intervalSelector, CB_RESETCONTENT, 0, 0);
  FillNumberedSelector(intervalSelector, L" %u%s", 0, Str(135));
  uint64_t q = g_app.autostartCycleMinutes / 10;
  if (q < 1) q = 1;
  if (q > 9) q = 9;
  SendMessageW(intervalSelector, CB_SETCURSEL, (WPARAM)(q - 1), 0);

  // Step 15: the log box with the help text.
  const RECT& listRect = g_controls[CTL_RESULT_LIST].rectangle;
  HWND log = Make(CTL_LOG, CreateEditBox, nullptr, Rect(listRect.left, listRect.bottom + 2 * u, group.left - 3 * u, H - u),
                  window, EDIT_READ_ONLY);
  FillHelpText(log);
}

