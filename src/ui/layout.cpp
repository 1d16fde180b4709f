#include "ui/layout.h"

#include <commctrl.h>

#include "app/appstate.h"
#include "ui/base.h"

const COLORREF kColourTable[COLOUR_COUNT] = {
    0x000008C8, 0x000000FF, 0x00F02080, 0x0000FFFF, 0x00FF0000, 0x00FFFFFF, 0x00F4F4F4,
    0x00E4E4E4, 0x00A0A0A0, 0x00646464, 0x00000000, 0x00E4FFE4, 0x00A0FFB0, 0x00FFA0A0,
};

LAYOUT g_layout;

void CreateBrushes() {
  for (int i = 0; i < COLOUR_COUNT; ++i) g_app.brushes[i] = CreateSolidBrush(kColourTable[i]);
}

void DeleteBrushes() {
  for (int i = 0; i < COLOUR_COUNT; ++i) {
    if (g_app.brushes[i]) DeleteObject(g_app.brushes[i]);
    g_app.brushes[i] = nullptr;
  }
}

void MakeFonts() {
  HFONT gui = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
  g_app.fonts[0] = gui;
  LOGFONTW lf;
  ZeroMemory(&lf, sizeof lf);
  GetObjectW(gui, sizeof lf, &lf);
  SIZE o = TextExtent(nullptr, gui, L"O");
  g_layout.cw = o.cx;
  g_layout.ch = o.cy;
  g_layout.unit = UnitFromHeight(o.cy);
  LOGFONTW clock = lf;
  clock.lfWeight = 600;
  clock.lfHeight = 4 * g_layout.unit;
  g_app.fonts[1] = CreateFontIndirectW(&clock);
}

void DeleteFonts() {
  // The interface font is a stock object: deleting it would do nothing.
  if (g_app.fonts[1]) DeleteObject(g_app.fonts[1]);
  g_app.fonts[0] = g_app.fonts[1] = nullptr;
}

SIZE TextExtent(HWND window, HFONT font, const wchar_t* text) {
  SIZE size = {0, 0};
  HDC dc = GetDC(window);
  if (!dc) return size;
  HGDIOBJ old = SelectObject(dc, font);
  GetTextExtentPointW(dc, text, lstrlenW(text), &size);
  SelectObject(dc, old);
  ReleaseDC(window, dc);
  return size;
}

RECT GetWorkArea() {
  RECT work = {0, 0, 0, 0};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
  return work;
}

RECT CentredRectIn(const RECT& work, int w, int h) {
  // The work area's own origin is not added: the window centres on its size.
  const int x = (work.right - work.left - w) / 2;
  const int y = (work.bottom - work.top - h) / 2;
  RECT r = {x, y, x + w, y + h};
  return r;
}

RECT CentredRect(int w, int h) { return CentredRectIn(GetWorkArea(), w, h); }

RECT ClampToRect(const RECT& work, RECT r) {
  if (r.left < work.left + PLACE_MARGIN) OffsetRect(&r, work.left + PLACE_MARGIN - r.left, 0);
  if (r.top < work.top + PLACE_MARGIN) OffsetRect(&r, 0, work.top + PLACE_MARGIN - r.top);
  if (r.right > work.right - PLACE_MARGIN) OffsetRect(&r, work.right - PLACE_MARGIN - r.right, 0);
  if (r.bottom > work.bottom - PLACE_MARGIN) OffsetRect(&r, 0, work.bottom - PLACE_MARGIN - r.bottom);
  return r;
}

RECT ClampToWorkArea(RECT r) { return ClampToRect(GetWorkArea(), r); }

RECT RowLabelRect(int row) {
  RECT r = Rect(LVIR_LABEL, 0, 0, 0);
  if (!SendMessageW(Ctl(CTL_RESULT_LIST), LVM_GETSUBITEMRECT, (WPARAM)row, (LPARAM)&r)) r = Rect(0, 0, 0, 0);
  return r;
}

void PlaceMainWindow(HWND window, int show, int topmost) {
  RECT now;
  if (!GetWindowRect(window, &now)) return;
  RECT r = ClampToWorkArea(CentredRect(now.right - now.left, now.bottom - now.top));
  SetWindowPos(window, topmost ? HWND_TOPMOST : HWND_NOTOPMOST, r.left, r.top, r.right - r.left,
               r.bottom - r.top, show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW);
}

void MoveToRect(HWND window, const RECT& r, BOOL repaint) {
  MoveWindow(window, r.left, r.top, r.right - r.left, r.bottom - r.top, repaint);
}

RECT OuterSize(HWND window, RECT client) {
  AdjustWindowRectEx(&client, (DWORD)GetWindowLongPtrW(window, GWL_STYLE), GetMenu(window) != nullptr,
                     (DWORD)GetWindowLongPtrW(window, GWL_EXSTYLE));
  return client;
}

HBRUSH StaticColours(HDC dc, HWND control) {
  SetBkMode(dc, TRANSPARENT);
  if (control && control == Ctl(CTL_LOG)) {
    SetTextColor(dc, 0x00000000);
    SetBkColor(dc, 0x00FFFFFF);
    return g_app.brushes[BRUSH_WHITE];
  }
  if (control && (control == Ctl(CTL_CLOCK_LABEL) || control == Ctl(CTL_STATUS))) {
    SetTextColor(dc, 0x0000FFFF);
    SetBkColor(dc, 0x00FF0000);
    return g_app.brushes[BRUSH_CLOCK_BACK];
  }
  SetTextColor(dc, 0x00000000);
  SetBkColor(dc, 0x00F4F4F4);
  return g_app.brushes[BRUSH_WINDOW];
}
