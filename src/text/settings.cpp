#include "text/settings.h"

#include "app/appstate.h"
#include "app/cmdline.h"
#include "text/memblock.h"
#include "text/wch.h"

namespace {

// Longest path GetModuleFileNameW can return, terminator included.
const DWORD kModulePathChars = 32768;

// Decimal digits of n at out; returns the number written (at most 20).
int FormatUnsigned(wchar_t* out, unsigned long long n) {
  wchar_t digits[20];
  int count = 0;
  do {
    digits[count++] = (wchar_t)(L'0' + n % 10);
    n /= 10;
  } while (n);
  for (int i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

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
  const wchar_t* option = automatic ? L"/AutoSync" : L"/CycleSync";

  // The full path, not argv[0]: a relative path would not start at logon.
  wchar_t* text = (wchar_t*)NewBlock((kModulePathChars + 64) * sizeof(wchar_t));
  if (text) {
    DWORD n = GetModuleFileNameW(nullptr, text + 1, kModulePathChars);
    const wchar_t* path = text + 1;
    if (n == 0 || n >= kModulePathChars) {
      path = (g_cmdLine.argv && g_cmdLine.argc > 0) ? g_cmdLine.argv[0] : L"";
      WCopy(text + 1, kModulePathChars, path);
    }
    unsigned long pos = 1 + WLen(text + 1);
    text[0] = L'"';
    text[pos++] = L'"';
    text[pos++] = L' ';
    for (const wchar_t* p = option; *p; ++p) text[pos++] = *p;
    text[pos++] = L' ';
    pos += FormatUnsigned(text + pos, number);
    text[pos] = 0;
    RegWriteString(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE, text);
    ReleaseBlock(&text);
  }

  if (secondsSelector) EnableWindow(secondsSelector, automatic ? TRUE : FALSE);
  if (intervalSelector) EnableWindow(intervalSelector, automatic ? FALSE : TRUE);
}

void DeleteAutostartEntry() {
  RegDeleteValue(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE);
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
