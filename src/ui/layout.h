// The layout unit, the two fonts, the colour table and the placement of the main
// window. Every size in the window is a multiple of the unit, which follows the
// pixel height of the system's interface font, so the window scales with DPI.
#pragma once
#include <windows.h>

#define COLOUR_COUNT 14
#define BRUSH_CLOCK_BACK 4     // blue: clock label and status line
#define BRUSH_WHITE 5          // log box, result cells
#define BRUSH_WINDOW 6         // window background, other static controls
#define BRUSH_HEADER 7         // list header items
#define CLIENT_UNITS_W 212     // client area in layout units
#define CLIENT_UNITS_H 108
#define PLACE_MARGIN 4         // pixels kept inside the work area

extern const COLORREF kColourTable[COLOUR_COUNT];

struct LAYOUT {
  int cw, ch;   // width and height of "O" in the interface font
  int unit;     // u = ch / 3
};
extern LAYOUT g_layout;

// The unit for an "O" of height ch: the remainder of ch / 3 is dropped.
inline int UnitFromHeight(int ch) { return ch / 3; }

// Creates the fourteen solid brushes into g_app.brushes; DeleteBrushes frees them.
void CreateBrushes();
void DeleteBrushes();

// Interface font (stock), "O" metrics, unit and the clock font (weight 600,
// height 4u) into g_app.fonts[0], [1] and g_layout.
void MakeFonts();
void DeleteFonts();

// Extent of text in font on the window's device context (the screen's when null).
SIZE TextExtent(HWND window, HFONT font, const wchar_t* text);

RECT GetWorkArea();
// A w x h rectangle centred on the work area's size, counted from the screen origin.
RECT CentredRect(int w, int h);
RECT CentredRectIn(const RECT& work, int w, int h);
// Moved (never resized) to lie PLACE_MARGIN pixels inside the work area where it can.
RECT ClampToWorkArea(RECT r);
RECT ClampToRect(const RECT& work, RECT r);

// Rectangles are written as the formulas of their four edges.
inline RECT Rect(int left, int top, int right, int bottom) {
  RECT r = {left, top, right, bottom};
  return r;
}
inline int Width(const RECT& r) { return r.right - r.left; }
inline int Height(const RECT& r) { return r.bottom - r.top; }

// Rows 0..9 of the results list, label part of column 0, in list coordinates;
// empty when the row does not exist.
RECT RowLabelRect(int row);

void PlaceMainWindow(HWND window, int show, int topmost);
void MoveToRect(HWND window, const RECT& r, BOOL repaint);
// The outer window rectangle for a client rectangle, by the window's own styles.
RECT OuterSize(HWND window, RECT client);

// The answer to WM_CTLCOLORSTATIC: colours set on dc, brush returned.
HBRUSH StaticColours(HDC dc, HWND control);
