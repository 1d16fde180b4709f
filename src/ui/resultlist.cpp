#include "ui/resultlist.h"

#include <new>

#include "app/appstate.h"
#include "ntp/serverrow.h"
#include "text/strings.h"
#include "ui/layout.h"

#define ID_TIMEOUT 101
#define CELL_CHARS 512

LISTVIEW* g_listView;

static wchar_t g_headerText[CELL_CHARS];

// The header items are owner-drawn (the list's procedure paints them). Setting
// a column's title makes some list views rewrite the item's format, dropping
// that flag, so it is put back after every change.
static void MarkOwnerDrawn(HWND header, int column) {
  if (!header) return;
  HDITEMW h;
  ZeroMemory(&h, sizeof h);
  h.mask = HDI_FORMAT;
  if (!SendMessageW(header, HDM_GETITEMW, (WPARAM)column, (LPARAM)&h)) return;
  if ((h.fmt & (HDF_OWNERDRAW | HDF_STRING)) == (HDF_OWNERDRAW | HDF_STRING)) return;
  h.fmt |= HDF_OWNERDRAW | HDF_STRING;
  SendMessageW(header, HDM_SETITEMW, (WPARAM)column, (LPARAM)&h);
}

void LISTVIEW::SetColumnTitle(int column, const wchar_t* text) {
  LVCOLUMNW c;
  ZeroMemory(&c, sizeof c);
  c.mask = LVCF_TEXT | LVCF_SUBITEM;
  c.pszText = (LPWSTR)text;
  c.cchTextMax = text ? lstrlenW(text) : 0;
  c.iSubItem = column;
  SendMessageW(list, LVM_SETCOLUMNW, (WPARAM)column, (LPARAM)&c);
  MarkOwnerDrawn(header, column);
}

void LISTVIEW::SetColumnLayout(int column, int width, const wchar_t* text, int format, UINT extraMask) {
  LVCOLUMNW c;
  ZeroMemory(&c, sizeof c);
  c.mask = extraMask | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM | LVCF_IDEALWIDTH;
  c.fmt = format;
  c.cx = width;
  c.cxIdeal = width;
  c.pszText = (LPWSTR)text;
  c.cchTextMax = text ? lstrlenW(text) : 0;
  c.iSubItem = column;
  LVCOLUMNW probe;
  ZeroMemory(&probe, sizeof probe);
  probe.mask = LVCF_WIDTH;
  if (!SendMessageW(list, LVM_GETCOLUMNW, (WPARAM)column, (LPARAM)&probe))
    SendMessageW(list, LVM_INSERTCOLUMNW, (WPARAM)column, (LPARAM)&c);
  SendMessageW(list, LVM_SETCOLUMNW, (WPARAM)column, (LPARAM)&c);
  MarkOwnerDrawn(header, column);
}

void LISTVIEW::ForgetCells() {
  ZeroMemory(known, sizeof known);
  ZeroMemory(staged, sizeof staged);
  anyStaged = false;
}

static bool InCache(int row, int column) {
  return row >= 0 && row < CACHED_ROWS && column >= 0 && column < RESULT_COLUMNS;
}

bool LISTVIEW::SetItem(int row, int column, const wchar_t* text) {
  LVITEMW item;
  ZeroMemory(&item, sizeof item);
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = column;
  item.pszText = (LPWSTR)text;
  return SendMessageW(list, LVM_SETITEMW, 0, (LPARAM)&item) != 0;
}

void LISTVIEW::Remember(int row, int column, const wchar_t* text) {
  known[row][column] = lstrlenW(text) < CACHED_CHARS;
  if (known[row][column]) lstrcpynW(written[row][column], text, CACHED_CHARS);
}

void LISTVIEW::SetCellText(int row, int column, const wchar_t* text) {
  if (!text) text = L"";
  const bool cached = InCache(row, column);
  if (cached && known[row][column]) {
    if (lstrcmpW(written[row][column], text) == 0) return;
    // The program wrote this cell before, so its row exists: no need to ask.
    known[row][column] = false;
    if (SetItem(row, column, text)) Remember(row, column, text);
    return;
  }
  // One read tells whether the row exists and what the cell shows, so that a
  // cell that already shows the text is neither set nor repainted.
  wchar_t shown[CELL_CHARS] = {};
  LVITEMW probe;
  ZeroMemory(&probe, sizeof probe);
  probe.mask = LVIF_TEXT;
  probe.iItem = row;
  probe.iSubItem = column;
  probe.pszText = shown;
  probe.cchTextMax = CELL_CHARS;
  if (!SendMessageW(list, LVM_GETITEMW, 0, (LPARAM)&probe)) {
    LVITEMW insert;
    ZeroMemory(&insert, sizeof insert);
    insert.mask = LVIF_TEXT;
    insert.iItem = row;
    insert.pszText = (LPWSTR)(column == 0 ? text : L"");
    SendMessageW(list, LVM_INSERTITEMW, 0, (LPARAM)&insert);
  } else {
    shown[CELL_CHARS - 1] = 0;
    if (probe.pszText == shown && lstrcmpW(shown, text) == 0) {
      if (cached) Remember(row, column, text);
      return;
    }
  }
  if (SetItem(row, column, text) && cached) Remember(row, column, text);
}

void LISTVIEW::StageCellText(int row, int column, const wchar_t* text) {
  if (!text) text = L"";
  if (!InCache(row, column) || lstrlenW(text) >= CACHED_CHARS) {
    SetCellText(row, column, text);
    return;
  }
  if (known[row][column] && lstrcmpW(written[row][column], text) == 0) return;
  Remember(row, column, text);
  staged[row][column] = true;
  anyStaged = true;
}

void LISTVIEW::ShowStagedCells() {
  if (anyStaged) SendMessageW(list, WM_SHOWCELLS, 0, 0);
}

// The windows inside the list (the other-server selector, its edit field and
// the save box, all over row 9's first cell), and whether each had anything
// to repaint already.
struct CHILDREN {
  HWND window[8];
  bool due[8];
  int count;
};

static BOOL CALLBACK NoteChild(HWND child, LPARAM parameter) {
  CHILDREN* c = (CHILDREN*)parameter;
  if (c->count >= 8) return FALSE;
  c->window[c->count] = child;
  c->due[c->count] = GetUpdateRect(child, nullptr, FALSE) != 0;
  ++c->count;
  return TRUE;
}

// With full-row select a list view repaints the whole row for every cell set,
// and as it does not clip its children, the windows over that row as well. The
// rest of the row has not changed: the list's update region is put back to what
// it was plus the changed cells, and a child window that was not due before and
// covers none of those cells is not due after.
void LISTVIEW::SetStagedCells() {
  if (!anyStaged) return;
  anyStaged = false;
  CHILDREN children;
  children.count = 0;
  EnumChildWindows(list, NoteChild, (LPARAM)&children);
  HRGN due = CreateRectRgn(0, 0, 0, 0);
  HRGN cells = CreateRectRgn(0, 0, 0, 0);
  HRGN one = CreateRectRgn(0, 0, 0, 0);
  bool narrow = due && cells && one && GetUpdateRgn(list, due, FALSE) != ERROR;
  for (int row = 0; row < CACHED_ROWS; ++row) {
    for (int column = 0; column < RESULT_COLUMNS; ++column) {
      if (!staged[row][column]) continue;
      staged[row][column] = false;
      if (!SetItem(row, column, written[row][column])) {
        // No such row after all: the full path inserts it.
        wchar_t text[CACHED_CHARS];
        lstrcpynW(text, written[row][column], CACHED_CHARS);
        known[row][column] = false;
        SetCellText(row, column, text);
        narrow = false;
        continue;
      }
      RECT r;
      r.top = column;
      r.left = LVIR_BOUNDS;
      // Column 0's bounds are the whole row's.
      if (!narrow || column == 0 || !SendMessageW(list, LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&r)) {
        narrow = false;
        continue;
      }
      SetRectRgn(one, r.left, r.top, r.right, r.bottom);
      CombineRgn(cells, cells, one, RGN_OR);
    }
  }
  if (narrow) {
    RedrawWindow(list, nullptr, nullptr, RDW_VALIDATE | RDW_NOCHILDREN);
    CombineRgn(due, due, cells, RGN_OR);
    RedrawWindow(list, nullptr, due, RDW_INVALIDATE | RDW_ERASE | RDW_NOCHILDREN);
    for (int i = 0; i < children.count; ++i) {
      RECT r;
      if (children.due[i] || !GetWindowRect(children.window[i], &r)) continue;
      MapWindowPoints(nullptr, list, (POINT*)&r, 2);
      if (!RectInRegion(cells, &r)) RedrawWindow(children.window[i], nullptr, nullptr, RDW_VALIDATE | RDW_NOCHILDREN);
    }
  }
  if (one) DeleteObject(one);
  if (cells) DeleteObject(cells);
  if (due) DeleteObject(due);
}

const wchar_t* LISTVIEW::GetHeaderText(int column) {
  ZeroMemory(g_headerText, sizeof g_headerText);
  HDITEMW h;
  ZeroMemory(&h, sizeof h);
  h.mask = HDI_TEXT;
  h.pszText = g_headerText;
  h.cchTextMax = CELL_CHARS;
  SendMessageW(header, HDM_GETITEMW, (WPARAM)column, (LPARAM)&h);
  g_headerText[CELL_CHARS - 1] = 0;
  return g_headerText;
}

// A report list takes its row height from its small-image list: one image of
// 1 x height pixels sets it.
static void InstallRowHeight(HWND list, int height) {
  if (height < 1) height = 1;
  HIMAGELIST images = ImageList_Create(1, height, ILC_MASK, 1, 0);
  if (!images) return;
  ImageList_AddIcon(images, nullptr);
  HIMAGELIST old = (HIMAGELIST)SendMessageW(list, LVM_SETIMAGELIST, LVSIL_SMALL, (LPARAM)images);
  if (old && old != images) ImageList_Destroy(old);
}

void LISTVIEW::SetRowHeight(int height) { InstallRowHeight(list, height); }

HWND CreateListView(const LISTVIEWPARAM* p) {
  WINDOWDESC* ld = p->listDesc;
  WINDOWDESC* hd = p->headerDesc;
  ld->sizeB = p->rowHeight;
  const RECT& r = ld->rectangle;
  HWND list = CreateWindowExW(0, WC_LISTVIEWW, nullptr, p->extraStyle | 0x50800001, r.left, r.top, r.right - r.left,
                              r.bottom - r.top, p->parent, nullptr, GetModuleHandleW(nullptr), nullptr);
  ld->handle = list;
  if (!list) return nullptr;
  SendMessageW(list, WM_SETFONT, (WPARAM)g_app.fonts[0], TRUE);
  LONG_PTR style = GetWindowLongPtrW(list, GWL_STYLE);
  SetWindowLongPtrW(list, GWL_STYLE, (style & ~(LONG_PTR)2) | LIST_STYLE_REPLACE);
  LRESULT ex = SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, ex | p->extraExStyle | LIST_EX_STYLE);
  ld->previousProcedure = (WNDPROC)SetWindowLongPtrW(list, GWLP_WNDPROC, (LONG_PTR)p->listProcedure);
  HWND header = (HWND)SendMessageW(list, LVM_GETHEADER, 0, 0);
  hd->handle = header;
  if (header) {
    SetWindowLongPtrW(header, GWL_STYLE, GetWindowLongPtrW(header, GWL_STYLE) | p->extraHeaderStyle);
    hd->previousProcedure = (WNDPROC)SetWindowLongPtrW(header, GWLP_WNDPROC, (LONG_PTR)p->headerProcedure);
  }
  hd->sizeB = p->rowHeight;
  InstallRowHeight(list, p->rowHeight);
  return list;
}

void SetResultColumns() {
  static const int kLetters[RESULT_COLUMNS] = {0, 22, 20, 16, 14, 12, 8};
  const int w = g_layout.cw;
  // Column 0 takes what the others leave of the list's inside: measured on its
  // outer width, the columns would overrun the border and bring up a
  // horizontal scroll bar that covers row 9.
  const RECT& r = g_controls[CTL_RESULT_LIST].rectangle;
  int width = r.right - r.left;
  RECT client;
  if (g_listView->list && GetClientRect(g_listView->list, &client) && client.right > 0) width = client.right;
  for (int c = 0; c < RESULT_COLUMNS; ++c)
    g_listView->SetColumnLayout(c, c == 0 ? width - 92 * w : kLetters[c] * w, nullptr, COLUMN_FORMAT, 0);
}

void FitRowsToList(int rowHeight) {
  if (!g_listView || !g_listView->list) return;
  RECT client, item, header = {0, 0, 0, 0};
  if (!GetClientRect(g_listView->list, &client)) return;
  item.left = LVIR_BOUNDS;
  if (!SendMessageW(g_listView->list, LVM_GETITEMRECT, 0, (LPARAM)&item)) return;
  if (g_listView->header) GetWindowRect(g_listView->header, &header);
  const int itemHeight = item.bottom - item.top;
  const int needed = (header.bottom - header.top) + SERVER_COUNT * itemHeight;
  const int missing = needed - (client.bottom - client.top);
  if (missing <= 0 || itemHeight <= 1) return;
  const int shrink = (missing + SERVER_COUNT - 1) / SERVER_COUNT;
  if (shrink >= rowHeight) return;
  g_listView->SetRowHeight(rowHeight - shrink);
}

void ClearResultRow(int row) {
  if (!g_listView) return;
  g_listView->SetCellText(row, 1, nullptr);
  g_listView->SetCellText(row, 2, nullptr);
  g_listView->SetCellText(row, 3, Str(ID_TIMEOUT));
  g_listView->SetCellText(row, 4, nullptr);
  g_listView->SetCellText(row, 5, nullptr);
  g_listView->SetCellText(row, 6, nullptr);
}

void DrawLine(HDC dc, POINT from, POINT to, int penStyle, int width, COLORREF colour) {
  HPEN pen = CreatePen(penStyle, width, colour);
  HGDIOBJ old = SelectObject(dc, pen);
  MoveToEx(dc, from.x, from.y, nullptr);
  LineTo(dc, to.x, to.y);
  SelectObject(dc, old);
  DeleteObject(pen);
}

LRESULT DrawResultCell(NMLVCUSTOMDRAW* draw) {
  const DWORD stage = draw->nmcd.dwDrawStage;
  if (stage == CDDS_PREPAINT || stage == CDDS_ITEMPREPAINT) return CDRF_NOTIFYSUBITEMDRAW;
  if (stage != (CDDS_ITEMPREPAINT | CDDS_SUBITEM)) return CDRF_DODEFAULT;
  HDC dc = draw->nmcd.hdc;
  const int u = g_layout.unit;
  const int column = draw->iSubItem;
  const int row = (int)draw->nmcd.dwItemSpec;
  RECT r = draw->nmcd.rc;
  r.top -= 3;
  r.right -= 1;
  if (column == 0) {
    // Column 0's rectangle covers the whole row in some versions: take the label's.
    RECT label;
    label.top = 0;
    label.left = LVIR_LABEL;
    if (SendMessageW(draw->nmcd.hdr.hwndFrom, LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&label)) {
      r.left = label.left;
      r.right = label.right - 1;
    }
    r.left -= 4;
  }
  // A cell outside the part being repainted (with full-row select some list
  // views repaint column 0 for every changed cell of its row) is left alone.
  const RECT reach = {r.left, r.top - u, r.right + 1, r.bottom + u};
  if (!RectVisible(dc, &reach)) return CDRF_SKIPDEFAULT;
  RECT fill = {r.left, r.top + 2, r.right, r.bottom - 2};
  FillRect(dc, &fill, g_app.brushes[BRUSH_WHITE]);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, 0x00000000);
  // The list has already selected its font, the interface font, for the cells;
  // selecting a font again is not free on every platform (some re-read their
  // font settings each time).
  HGDIOBJ oldFont = GetCurrentObject(dc, OBJ_FONT) == g_app.fonts[0] ? nullptr : SelectObject(dc, g_app.fonts[0]);
  DrawLine(dc, POINT{r.left, r.bottom - 2}, POINT{r.right, r.bottom - 2}, PS_SOLID, 1, RGB(160, 160, 160));
  const int columns = g_listView && g_listView->header ? (int)SendMessageW(g_listView->header, HDM_GETITEMCOUNT, 0, 0) : 0;
  const COLORREF edge = column + 1 == columns ? RGB(100, 100, 100) : RGB(160, 160, 160);
  DrawLine(dc, POINT{r.right, r.top - u}, POINT{r.right, r.bottom + u}, PS_SOLID, 1, edge);
  wchar_t text[CELL_CHARS];
  text[0] = 0;
  LVITEMW item;
  ZeroMemory(&item, sizeof item);
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = CELL_CHARS;
  SendMessageW(draw->nmcd.hdr.hwndFrom, LVM_GETITEMTEXTW, (WPARAM)row, (LPARAM)&item);
  text[CELL_CHARS - 1] = 0;
  RECT t = r;
  t.left += u;
  if (column == 2) t.left += 2 * u;
  if (column == 3) t.right -= 9 * u;
  if (column == 4) t.right -= 6 * u;
  if (column == 5 || column == 6) t.right -= 4 * u;
  UINT align = column == 1 ? DT_CENTER : (column == 0 || column == 2) ? DT_LEFT : DT_RIGHT;
  DrawTextExW(dc, text, -1, &t, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS | align, nullptr);
  if (oldFont) SelectObject(dc, oldFont);
  return CDRF_SKIPDEFAULT;
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

static LRESULT CALLBACK ResultListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam) {
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

static LRESULT CALLBACK ListHeaderProc(HWND header, UINT message, WPARAM wParam, LPARAM lParam) {
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

// An emptied list with the names of rows 0..8 and an empty row 9, and the
// column titles.
static void InitialFill() {
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

void CreateResultList(HWND window, int W) {
  const int u = g_layout.unit;

  // Steps 3 to 5: the results list, its wrapper and its final height.
  const RECT& clock = g_controls[CTL_CLOCK_LABEL].rectangle;
  WINDOWDESC* listDesc = &g_controls[CTL_RESULT_LIST];
  WINDOWDESC* headerDesc = &g_controls[CTL_HEADER];
  const int listTop = clock.bottom - clock.top + 3 * u;
  listDesc->rectangle = Rect(u, listTop, W - u, listTop + 65 * u);
  listDesc->parent = window;
  LISTVIEWPARAM lp = {};
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
}

void StageResultCell(int row, int column, const wchar_t* text) {
  if (g_listView) g_listView->StageCellText(row, column, text);
}

void ShowResultCells() {
  if (g_listView) g_listView->ShowStagedCells();
}

void ForgetResultCells() {
  if (g_listView) g_listView->ForgetCells();
}
