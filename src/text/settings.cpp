#include "text/settings.h"

#include "app/appstate.h"
#include "app/cmdline.h"
#include "text/autostart.h"
#include "text/autostart_task.h"
#include "text/memblock.h"
#include "text/strings.h"
#include "text/wch.h"

namespace {

// Longest path GetModuleFileNameW can return, terminator included.
const DWORD kModulePathChars = 32768;

#define ID_PATH_TOO_LONG 146   // the log line of an autostart entry refused for its length

}  // namespace

LONG RegWriteString(HKEY root, const wchar_t* subkey, const wchar_t* valueName, const wchar_t* text) {
  HKEY key = nullptr;
  LONG status = RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  if (!text) text = L"";
  // The stored size leaves the terminator out.
  DWORD bytes = (DWORD)(WLen(text) * sizeof(wchar_t));
  status = RegSetValueExW(key, valueName, 0, REG_SZ, (const BYTE*)text, bytes);
  RegCloseKey(key);
  return status;
}

LONG RegDeleteValue(HKEY root, const wchar_t* subkey, const wchar_t* valueName) {
  HKEY key = nullptr;
  LONG status = RegOpenKeyExW(root, subkey, 0, KEY_SET_VALUE, &key);
  if (status != ERROR_SUCCESS) return status;
  status = RegDeleteValueW(key, valueName);
  RegCloseKey(key);
  return status;
}

void WriteAutostartEntry(int automatic, HWND secondsSelector, HWND intervalSelector) {
  HWND selector = automatic ? secondsSelector : intervalSelector;
  LRESULT index = selector ? SendMessageW(selector, CB_GETCURSEL, 0, 0) : CB_ERR;
  // No item selected (a hidden mode beyond the listed values): the first item,
  // so the entry never carries a negative number.
  if (index < 0) index = 0;
  unsigned long long number = automatic ? (unsigned long long)index * 10 : ((unsigned long long)index + 1) * 10;

  // The full path, not argv[0]: a relative path would not start at logon.
  wchar_t* path = (wchar_t*)NewBlock(kModulePathChars * sizeof(wchar_t));
  if (path) {
    DWORD n = GetModuleFileNameW(nullptr, path, kModulePathChars);
    if (n == 0 || n >= kModulePathChars)
      WCopy(path, kModulePathChars, (g_cmdLine.argv && g_cmdLine.argc > 0) ? g_cmdLine.argv[0] : L"");
    WriteAutostartCommand(path, automatic, number);
  }
  ReleaseBlock(&path);

  if (secondsSelector) EnableWindow(secondsSelector, automatic ? TRUE : FALSE);
  if (intervalSelector) EnableWindow(intervalSelector, automatic ? FALSE : TRUE);
}

int WriteAutostartCommand(const wchar_t* path, int automatic, unsigned long long number) {
  // Composed into a buffer of the read side's size: what does not fit there
  // could not be read back.
  wchar_t line[REG_READ_CHARS];
  if (!ComposeAutostartLine(line, REG_READ_CHARS, path, automatic, number)) {
    if (g_autostartLog) {
      wchar_t report[STRING_CHARS + 2];
      WCopy(report, STRING_CHARS, Str(ID_PATH_TOO_LONG));
      WCopy(report + WLen(report), 3, L"\r\n");
      g_autostartLog(report);
    }
    return 0;
  }
  RegWriteString(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, line);
  // The Run value alone never starts a program that requires elevation under
  // UAC; the logon task with the same command does.
  wchar_t* xml = (wchar_t*)NewBlock(AUTOSTART_XML_CHARS * sizeof(wchar_t));
  if (xml && ComposeAutostartTaskXml(xml, AUTOSTART_XML_CHARS, path, automatic, number))
    RegisterAutostartTask(AUTOSTART_TASK_NAME, xml);
  ReleaseBlock(&xml);
  // Left in place, the old task would start the program a second time, with
  // whatever options it was registered with, racing this build's task.
  DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME);
  return 1;
}

void DeleteAutostartEntry() {
  RegDeleteValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE);
  DeleteAutostartTask(AUTOSTART_TASK_NAME);
  DeleteAutostartTask(AUTOSTART_OLD_TASK_NAME);
}

void SaveOtherServer(const wchar_t* text) {
  WCopy(g_app.savedServer, APP_TEXT_CHARS, text ? text : L"");
  g_app.savedServerPresent = 1;
  RegWriteString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr, g_app.savedServer);
}

void ForgetOtherServer() {
  g_app.savedServer[0] = 0;
  g_app.savedServerPresent = 0;
  RegDeleteValue(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr);
}
