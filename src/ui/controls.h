// The window's controls: one factory for every child window, the typed factories
// with their fixed styles, the creation of the nineteen controls in their order
// and at their computed rectangles, and the subclass procedures of the results
// list and its header. No control has an identifier: commands are told apart by
// the sender's handle. The list passes its children's commands on to its
// parent, so the main window gets them as it does every other control's.
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

// Creates and fills every control of the main window, whose client area is w x h.
void CreateControls(HWND window, int w, int h);

LRESULT CALLBACK ResultListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK ListHeaderProc(HWND header, UINT message, WPARAM wParam, LPARAM lParam);
