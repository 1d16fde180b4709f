// The results list: a report list view with one row per server and seven
// columns, its header drawn by the list's subclass procedure and every cell
// drawn by the program. The list passes its children's commands on to its
// parent, so the main window gets them as it does every other control's.
#pragma once
#include <windows.h>
#include <commctrl.h>

#include "ui/base.h"

#define RESULT_COLUMNS 7
#define COLUMN_FORMAT 0xC000   // owner-drawn header item with a string
#define LIST_STYLE_REPLACE 0x8005
#define LIST_EX_STYLE 0x10020  // full-row select, double buffering
#define HEADER_EXTRA_STYLE 0x0802

#define CACHED_ROWS 10
#define CACHED_CHARS 48   // longer texts are not remembered and always go to the list

// Sent to the list by a thread that staged cells: the window thread sets them.
#define WM_SHOWCELLS (WM_APP + 1)

class LISTVIEW {
 public:
  HWND list;
  HWND header;
  LISTVIEW(HWND l, HWND h) : list(l), header(h) { ForgetCells(); }
  virtual ~LISTVIEW() {}
  void SetColumnTitle(int column, const wchar_t* text);
  void SetColumnLayout(int column, int width, const wchar_t* text, int format, UINT extraMask);
  // A null text empties the cell; a row comes into being when it is first set.
  void SetCellText(int row, int column, const wchar_t* text);
  // The same for a row that exists, held back until ShowStagedCells: the
  // refresh gives every cell of a row each second, and the window thread then
  // sets all that changed in one message and repaints only those cells.
  void StageCellText(int row, int column, const wchar_t* text);
  // From any thread: one synchronous message, none when nothing changed.
  void ShowStagedCells();
  // Window thread: what the list's procedure does with WM_SHOWCELLS.
  void SetStagedCells();
  // The header item's title, in one buffer shared by every call (window thread only).
  const wchar_t* GetHeaderText(int column);
  void SetRowHeight(int height);
  // After the rows were deleted: nothing written is known any more.
  void ForgetCells();

 private:
  // What the program last wrote into each cell. The display refresh asks for
  // every cell each second; a cell asked for the text it shows costs no message
  // to the window thread at all. Only one thread writes cells at a time: the
  // window thread while it builds the list, then the refresh worker, paused
  // while an attempt (which may clear row 9) runs.
  wchar_t written[CACHED_ROWS][RESULT_COLUMNS][CACHED_CHARS];
  bool known[CACHED_ROWS][RESULT_COLUMNS];
  bool staged[CACHED_ROWS][RESULT_COLUMNS];   // written holds a text the list does not show yet
  bool anyStaged;

  bool SetItem(int row, int column, const wchar_t* text);
  void Remember(int row, int column, const wchar_t* text);
};

extern LISTVIEW* g_listView;

struct LISTVIEWPARAM {
  HWND parent;
  WINDOWDESC* listDesc;
  WINDOWDESC* headerDesc;
  WNDPROC listProcedure;
  WNDPROC headerProcedure;
  DWORD extraStyle;
  DWORD extraExStyle;
  DWORD extraHeaderStyle;
  int rowHeight;
};

HWND CreateListView(const LISTVIEWPARAM* p);
// The list of the main window (client width w) under the clock label, with its
// wrapper, columns and every row in its unanswered state.
void CreateResultList(HWND window, int w);
// The seven column widths (in letter widths) of the list's stored width.
void SetResultColumns();
// Some list views make a row a pixel taller than its image and start the rows
// below the header rather than on its last line, so ten rows of the given
// height may not fit: the rows are then made just short enough that no
// vertical scroll bar hides row 9. Called once the rows exist.
void FitRowsToList(int rowHeight);
// Cells 1 to 6 of a row back to "no answer": empty, and "超时" in column 3.
void ClearResultRow(int row);
// The wrapper's staging and showing of cells, for the synchronisation view;
// nothing happens before the list exists.
void StageResultCell(int row, int column, const wchar_t* text);
void ShowResultCells();
// The next texts go to the list whatever it was given before.
void ForgetResultCells();
LRESULT DrawResultCell(NMLVCUSTOMDRAW* draw);
void DrawLine(HDC dc, POINT from, POINT to, int penStyle, int width, COLORREF colour);
