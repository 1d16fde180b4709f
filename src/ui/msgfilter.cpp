#include "ui/msgfilter.h"

#include "app/ids.h"

namespace {

MESSAGEFILTER BindUser32() {
  MESSAGEFILTER calls = {nullptr, nullptr};
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  if (!user32) return calls;
  calls.forWindow = (BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT))(void*)GetProcAddress(
      user32, "ChangeWindowMessageFilterEx");
  calls.forProcess = (BOOL(WINAPI*)(UINT, DWORD))(void*)GetProcAddress(user32, "ChangeWindowMessageFilter");
  return calls;
}

}  // namespace

MESSAGEFILTER (*g_bindMessageFilter)() = BindUser32;

int AllowShellMessages(HWND window) {
  const MESSAGEFILTER calls = g_bindMessageFilter();
  // "TaskbarCreated" is Explorer's broadcast after it restarts; without it a
  // window hidden in the tray loses its icon for good. The tray callback is sent
  // by Explorer too, and nothing documents that Shell_NotifyIcon opens the
  // filter for it, so it is allowed here; the most a lower process can do with
  // it is show the window. The handoff message is left filtered: only a later
  // start of this program sends it, and the manifest starts every copy elevated,
  // at the same integrity, so letting it through would only let lower processes
  // pop the window up.
  const UINT messages[] = {RegisterWindowMessageW(L"TaskbarCreated"), WM_TRAYICON};
  int allowed = 0;
  for (UINT message : messages) {
    if (message == 0) continue;
    if (calls.forWindow)
      allowed += calls.forWindow(window, message, MSGFLT_ALLOW, nullptr) ? 1 : 0;
    else if (calls.forProcess)
      allowed += calls.forProcess(message, MSGFLT_ADD) ? 1 : 0;
  }
  return allowed;
}
