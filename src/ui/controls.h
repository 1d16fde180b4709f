// The window's controls: one factory for every child window, the typed factories
// with their fixed styles, and the creation of the controls around the results
// list in their order and at their computed rectangles. No control has an
// identifier: commands are told apart by the sender's handle.
#pragma once
#include <windows.h>

#define STYLE_PUSH_BUTTON 0x50000F00u
#define STYLE_CHECK_BOX 0x50000003u
#define STYLE_GROUP_BOX 0x50000007u
#define STYLE_SELECTOR 0x50200240u
#define STYLE_LABEL 0x50000000u
#define STYLE_EDIT_BOX 0x50201104u
#define SELECTOR_LIST 3u        // drop-down list only
#define SELECTOR_EDITABLE 2u    // drop-down with an edit field
#define LABEL_RIGHT 2u
#define LABEL_CENTRED 0x201u
#define EDIT_READ_ONLY 0x00900800u

HWND CreateControl(const wchar_t* className, const wchar_t* text, const RECT& r, HWND parent, HFONT font,
                   DWORD style, DWORD extendedStyle);
HWND CreatePushButton(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);
HWND CreateCheckBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);
HWND CreateGroupBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);
HWND CreateSelector(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);
HWND CreateLabel(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);
HWND CreateEditBox(const wchar_t* text, const RECT& r, HWND parent, HFONT font, DWORD extra);

// The main window's client area is w x h. The controls are made in a fixed
// order, which is their z-order: those placed above the results list, then the
// list (CreateResultList), then the rest, two of them inside the list's row 9.
void CreateControlsBeforeList(HWND window, int w);
void CreateControlsAfterList(HWND window, int w, int h);
