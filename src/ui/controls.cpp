#include "ui/controls.h"

#include <commctrl.h>

#include <new>

#include "app/appstate.h"
#include "ntp/serverrow.h"
#include "text/serverlists.h"
#include "text/strings.h"
#include "ui/base.h"
#include "ui/layout.h"
#include "ui/resultlist.h"

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

static RECT Rect(int left, int top, int right, int bottom) {
  RECT r = {left, top, right, bottom};
  return r;
}

static RECT Moved(const RECT& r, int dx, int dy) { return Rect(r.left + dx, r.top + dy, r.right + dx, r.bottom + dy); }

static int Width(const RECT& r) { return r.right - r.left; }
static int Height(const RECT& r) { return r.bottom - r.top; }

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

// Rows 0..9, label part of column 0, in list coordinates.
static RECT RowLabelRect(int row) {
  RECT r = Rect(LVIR_LABEL, 0, 0, 0);
  if (!SendMessageW(Ctl(CTL_RESULT_LIST), LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&r)) r = Rect(0, 0, 0, 0);
  return r;
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

// Computer label, an emptied list with the names of rows 0..8 and an empty row 9,
// and the column titles.
static void InitialFill() {
  SetWindowTextW(Ctl(CTL_COMPUTER_LABEL), ComposeComputerCaption());
  SendMessageW(Ctl(CTL_RESULT_LIST), LVM_DELETEALLITEMS, 0, 0);
  if (!g_listView) return;
  g_listView->ForgetCells();
  for (int row = 0; row < 9; ++row) {
    wchar_t name[HOST_CHARS];
    LockTable();
    lstrcpynW(name, g_workTable[row].name, HOST_CHARS);
    UnlockTable();
    g_listView->SetCellText(row, 0, name);
  }
  // Asking for row 10 appends the missing row at the end, which becomes row 9.
  g_listView->SetCellText(10, 0, nullptr);
  static const int kTitles[RESULT_COLUMNS] = {103, 104, 105, 106, 107, 143, 144};
  for (int c = 0; c < RESULT_COLUMNS; ++c) g_listView->SetColumnTitle(c, Str(kTitles[c]));
}

void CreateControls(HWND window, int W, int H) {
  const int u = g_layout.unit, cw = g_layout.cw, ch = g_layout.ch;
  const int halfU = u >> 1;

  // Step 1: computer label and the query interval selector.
  const RECT& computer = g_controls[CTL_COMPUTER_LABEL].rectangle;
  Make(CTL_COMPUTER_LABEL, CreateLabel, nullptr, Rect(4 * u, 3 * u, 56 * u, 4 * u + ch), window, 0);
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

  // Steps 3 to 5: the results list, its wrapper and its final height.
  const RECT& clock = g_controls[CTL_CLOCK_LABEL].rectangle;
  WINDOWDESC* listDesc = &g_controls[CTL_RESULT_LIST];
  WINDOWDESC* headerDesc = &g_controls[CTL_HEADER];
  const int listTop = clock.bottom - clock.top + 3 * u;
  listDesc->rectangle = Rect(u, listTop, W - u, listTop + 65 * u);
  listDesc->parent = window;
  LISTVIEWPARAM lp;
  ZeroMemory(&lp, sizeof lp);
  lp.parent = window;
  lp.listDesc = listDesc;
  lp.headerDesc = headerDesc;
  lp.listProcedure = ResultListProc;
  lp.headerProcedure = ListHeaderProc;
  lp.extraHeaderStyle = HEADER_EXTRA_STYLE;
  lp.rowHeight = 65 * u / 11;
  CreateListView(&lp);
  // Lives until the process ends; static storage, so the program needs no
  // throwing allocator (and none of the exception machinery it pulls in).
  alignas(LISTVIEW) static unsigned char listViewStorage[sizeof(LISTVIEW)];
  // A window made again (the tests make one per suite) gets a wrapper of its own list.
  g_listView = ::new (listViewStorage) LISTVIEW(listDesc->handle, headerDesc->handle);
  listDesc->rectangle.bottom = listDesc->rectangle.top + 11 * (headerDesc->sizeB + 1);
  g_listView->SetRowHeight(listDesc->sizeB);
  headerDesc->sizeB += 2;
  MoveToRect(listDesc->handle, listDesc->rectangle, TRUE);

  // Step 6: columns, then the first fill. The list lays itself out again for
  // every column and row while it may redraw: once at the end is enough.
  SendMessageW(listDesc->handle, WM_SETREDRAW, FALSE, 0);
  SetResultColumns();
  InitialFill();
  SendMessageW(listDesc->handle, WM_SETREDRAW, TRUE, 0);
  FitRowsToList(listDesc->sizeB);

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
  HWND list = listDesc->handle;
  const RECT other = Rect(row9.left + nameExtent.cx + u, row9.top + 1, row9.right - 12 * u, row9.bottom + 2);
  HWND otherSelector = Make(CTL_OTHER_SERVER, CreateSelector, nullptr, other, list, SELECTOR_EDITABLE);
  Make(CTL_SAVE, CreateCheckBox, Str(125), Rect(other.right + u, other.top, row9.right - u, row9.bottom - 4), list,
       0);
  FillOtherServerSelector(otherSelector);

  // Step 9: every row in its unanswered state.
  for (int row = 0; row < SERVER_COUNT; ++row) {
    wchar_t name[HOST_CHARS];
    LockTable();
    lstrcpynW(name, g_workTable[row].name, HOST_CHARS);
    UnlockTable();
    if (!g_listView) break;
    g_listView->SetCellText(row, 0, name);
    g_listView->SetCellText(row, 1, nullptr);
    g_listView->SetCellText(row, 2, nullptr);
    g_listView->SetCellText(row, 3, Str(101));
    g_listView->SetCellText(row, 4, nullptr);
  }

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
  const RECT& listRect = listDesc->rectangle;
  HWND log = Make(CTL_LOG, CreateEditBox, nullptr, Rect(listRect.left, listRect.bottom + 2 * u, group.left - 3 * u, H - u),
                  window, EDIT_READ_ONLY);
  FillHelpText(log);
}

static void PaintHeaderItem(const DRAWITEMSTRUCT* item) {
  const wchar_t* text = g_listView ? g_listView->GetHeaderText((int)item->itemID) : L"";
  HDC dc = item->hDC;
  RECT r = item->rcItem;
  r.bottom -= 1;
  SetBkColor(dc, RGB(228, 228, 228));
  FillRect(dc, &r, g_app.brushes[BRUSH_HEADER]);
  const int headerRow = g_controls[CTL_HEADER].sizeB;
  DrawLine(dc, POINT{r.left, r.bottom - 2}, POINT{r.right, r.bottom - 2}, PS_SOLID, 1, RGB(100, 100, 100));
  DrawLine(dc, POINT{r.left - 1, r.top}, POINT{r.left - 1, r.bottom - 1}, PS_SOLID, 1, RGB(100, 100, 100));
  DrawLine(dc, POINT{r.right - 1, r.top}, POINT{r.right - 1, r.bottom + headerRow}, PS_SOLID, 1, RGB(160, 160, 160));
  DrawLine(dc, POINT{r.left, r.bottom - 1}, POINT{r.right - 2, r.bottom}, PS_SOLID, 2, RGB(255, 255, 255));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(0, 0, 255));
  HGDIOBJ oldFont = SelectObject(dc, g_app.fonts[0]);
  r.top -= 1;
  r.left += 1;
  DrawTextExW(dc, (LPWSTR)text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS,
              nullptr);
  SelectObject(dc, oldFont);
  UpdateWindow(item->hwndItem);
}

LRESULT CALLBACK ResultListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_SHOWCELLS) {
    if (g_listView) g_listView->SetStagedCells();
    return 0;
  }
  const LRESULT result = CallWindowProcW(g_controls[CTL_RESULT_LIST].previousProcedure, list, message, wParam, lParam);
  if (message == WM_DRAWITEM) {
    const DRAWITEMSTRUCT* item = (const DRAWITEMSTRUCT*)lParam;
    if (item && item->hwndItem && item->hwndItem == Ctl(CTL_HEADER)) {
      PaintHeaderItem(item);
      return (LRESULT)g_app.brushes[BRUSH_HEADER];
    }
  } else if (message == WM_COMMAND && lParam) {
    // The other-server selector and the save box are the list's children: their
    // commands go on to the main window, as every other control's do.
    SendMessageW(GetParent(list), WM_COMMAND, wParam, lParam);
  }
  return result;
}

LRESULT CALLBACK ListHeaderProc(HWND header, UINT message, WPARAM wParam, LPARAM lParam) {
  WINDOWDESC* d = &g_controls[CTL_HEADER];
  const LRESULT result = CallWindowProcW(d->previousProcedure, header, message, wParam, lParam);
  if (message == HDM_LAYOUT && lParam) {
    HDLAYOUT* layout = (HDLAYOUT*)lParam;
    const RECT r0 = RowLabelRect(0);
    if (layout->pwpos) layout->pwpos->cy = d->sizeB;
    if (layout->prc) layout->prc->top = d->sizeB - 1;
    d->rectangle = Rect(r0.left, r0.top, Width(g_controls[CTL_RESULT_LIST].rectangle), r0.top + d->sizeB);
    MoveToRect(header, d->rectangle, FALSE);
    RedrawWindow(Ctl(CTL_RESULT_LIST), nullptr, nullptr, RDW_INVALIDATE | RDW_INTERNALPAINT);
  }
  return result;
}
