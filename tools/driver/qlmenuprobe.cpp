// qlmenuprobe: a DLL that qldriver loads into the program (a remote thread that
// calls LoadLibraryW) to read what only the window's own process can read: the
// state of the close item in the main window's system menu. Menus are objects of
// the process that made them, so another process cannot ask for them.
#include <windows.h>

// Thread procedure: GetMenuState of SC_CLOSE (MF_GRAYED 1, MF_DISABLED 2), or
// 0xFFFFFFFF when the window has no system menu or the menu no close item.
extern "C" __declspec(dllexport) DWORD WINAPI CloseItemState(LPVOID window) {
  HMENU menu = GetSystemMenu((HWND)window, FALSE);
  if (!menu) return 0xFFFFFFFF;
  return GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND);
}
