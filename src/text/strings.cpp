#include "text/strings.h"

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "app/appstate.h"
#include "text/iniconfig.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/serverlists.h"
#include "text/textfile.h"

#define SERVER_LEAD_ID 117   // "同步时间服务器": the log line naming the server in use

// " %s #": the clock setting appends the server's number, host and "..." to it.
// The old text is cut so that the blank, " #" and the terminator always fit.
static void RewriteServerLead() {
  wch* slot = g_stringTable.slot[SERVER_LEAD_ID - STRING_FIRST_ID];
  WCopy(g_stringTable.scratch, STRING_CHARS - 3, slot);
  wsprintfW(slot, L" %s #", g_stringTable.scratch);
}

void LoadInterfaceStrings() {
  ZeroMemory(&g_stringTable, sizeof(g_stringTable));
  const INIDOC* doc = g_app.iniPresent ? IniDocument() : nullptr;
  uint32_t supplied = doc ? CopyIniStrings(doc, g_stringTable.slot, STRING_COUNT) : 0;
  // A partial translation keeps the built-in text for every string it lacks,
  // so no control is left without a caption.
  HINSTANCE module = GetModuleHandleW(nullptr);
  for (uint32_t i = supplied; i < STRING_COUNT; ++i)
    LoadStringW(module, STRING_FIRST_ID + i, g_stringTable.slot[i], STRING_CHARS);
  RewriteServerLead();
}

void AppendLog(HWND logBox, const wchar_t* text, int lineEnd) {
  if (!logBox) return;
  int end = GetWindowTextLengthW(logBox);
  SendMessageW(logBox, EM_SETSEL, (WPARAM)end, (LPARAM)end);
  if (text) SendMessageW(logBox, EM_REPLACESEL, FALSE, (LPARAM)text);
  SendMessageW(logBox, EM_SCROLLCARET, 0, 0);
  if (lineEnd) SendMessageW(logBox, EM_REPLACESEL, FALSE, (LPARAM)L"\r\n");
}

void FillHelpText(HWND logBox) {
  RAWLINES raw = {0, nullptr};
  void* block = nullptr;
  wch* converted = nullptr;
  uint32_t first = 0;
  if (g_app.iniPresent) {
    uint64_t bytes = 0;
    block = ReadWholeFile(g_app.iniPath, INI_MAX_BYTES + 1, &bytes);
    wch* text = block && bytes <= INI_MAX_BYTES ? TextOfBlock(block, bytes, &converted) : nullptr;
    if (text && SplitLines(&raw, text))
      first = HelpTextStart(&raw);
    else
      raw.count = 0;   // unreadable now: the log box stays empty
  } else {
    block = LoadTextResource(146, nullptr);
    if (block) SplitLines(&raw, (wch*)block);
  }
  for (uint32_t i = first; i < raw.count; ++i) {
    wch* line = HelpLine(raw.items[i]);
    if (line) AppendLog(logBox, line, 1);
  }
  ReleaseBlock(&raw.items);
  ReleaseBlock(&converted);
  ReleaseBlock(&block);
}

// Display name of the Computer folder, or an empty text.
static void ComputerFolderName(wchar_t* out, int cap) {
  out[0] = 0;
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  wchar_t path[MAX_PATH + 1] = {0};
  SHGetFolderPathW(nullptr, CSIDL_DRIVES, nullptr, SHGFP_TYPE_CURRENT, path);
  IShellItem* item = nullptr;
  if (SUCCEEDED(SHCreateItemFromParsingName(path, nullptr, IID_PPV_ARGS(&item))) && item) {
    wchar_t* name = nullptr;
    if (SUCCEEDED(item->GetDisplayName(SIGDN_NORMALDISPLAY, &name)) && name) {
      WCopy(out, (uint32_t)cap, name);
      CoTaskMemFree(name);
    }
    item->Release();
  }
  if (SUCCEEDED(init)) CoUninitialize();
}

static void Append(wchar_t* dst, int cap, const wchar_t* src) {
  int len = lstrlenW(dst);
  WCopy(dst + len, (uint32_t)(cap - len), src);
}

const wchar_t* ComposeComputerCaption() {
  static wchar_t caption[512];
  ComputerFolderName(caption, 512);
  wchar_t dns[16] = {0};
  DWORD size = 16;
  if (GetComputerNameExW(ComputerNameDnsFullyQualified, dns, &size)) {
    Append(caption, 512, L"[");
    Append(caption, 512, dns);
    Append(caption, 512, L"]");
  }
  Append(caption, 512, Str(102));
  return caption;
}
