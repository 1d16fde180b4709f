#include "text/serverlists.h"

#include <windows.h>

#include "app/appstate.h"
#include "app/cmdline.h"
#include "ntp/serverrow.h"
#include "text/iniconfig.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/textfile.h"

// The interface strings are taken from the document after loading, so the file's
// text and the document built on it stay until exit (or until a reload).
static void* g_iniBlock;       // the file as read
static wch* g_iniConverted;    // its UTF-16 form when the file is ANSI
static INIDOC g_iniDoc;
static bool g_iniDocReady;

const INIDOC* IniDocument() { return g_iniDocReady ? &g_iniDoc : nullptr; }

static void ForgetIniFile() {
  if (g_iniDocReady) FreeIniDoc(&g_iniDoc);
  g_iniDocReady = false;
  ReleaseBlock(&g_iniBlock);
  ReleaseBlock(&g_iniConverted);
}

// Reads and parses the INI file. A file that is missing, a directory, larger than
// INI_MAX_BYTES, unreadable or not convertible counts as no file at all.
static bool ReadIniFile(const wchar_t* path) {
  WIN32_FILE_ATTRIBUTE_DATA info;
  if (!path[0] || !GetFileAttributesExW(path, GetFileExInfoStandard, &info)) return false;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  if (info.nFileSizeHigh || info.nFileSizeLow > INI_MAX_BYTES) return false;   // before reading it

  uint64_t bytes = 0;
  void* block = ReadWholeFile(path, INI_MAX_BYTES + 1, &bytes);
  if (!block) return false;
  wch* converted = nullptr;
  wch* text = bytes > INI_MAX_BYTES ? nullptr : TextOfBlock(block, bytes, &converted);
  if (!text) {
    ReleaseBlock(&block);
    return false;
  }
  if (converted) ReleaseBlock(&block);   // the converted copy is the text from now on

  InitIniDoc(&g_iniDoc, 0);
  g_iniBlock = block;
  g_iniConverted = converted;
  g_iniDocReady = true;
  if (!g_iniDoc.lines.content || !SplitLines(&g_iniDoc.lines.raw, text) ||
      !FilterLines(&g_iniDoc.lines) || !ParseSections(&g_iniDoc)) {
    ForgetIniFile();
    return false;
  }
  return true;
}

static TEXTLINES* ResourceLines(int id, TEXTLINES* lines, void** copy) {
  InitTextLines(lines, 1);
  *copy = LoadTextResource(id, nullptr);
  if (!*copy || !lines->content) return nullptr;
  SplitLines(&lines->raw, (wch*)*copy);
  FilterLines(lines);
  return lines;
}

static void LoadBuiltInLists() {
  TEXTLINES lines;
  void* copy;
  if (ResourceLines(147, &lines, &copy)) ApplyListServerRows(&lines, g_workTable, SERVER_COUNT);
  FreeTextLines(&lines);
  ReleaseBlock(&copy);

  if (ResourceLines(148, &lines, &copy)) SetExtraList(BuildListExtraList(&lines));
  FreeTextLines(&lines);
  ReleaseBlock(&copy);
}

void LoadServerLists() {
  ForgetIniFile();
  SetExtraList(nullptr);
  ClearServerNames(g_workTable, SERVER_COUNT);

  const wchar_t* program = g_cmdLine.argv && g_cmdLine.argc > 0 ? g_cmdLine.argv[0] : nullptr;
  ComposeIniPath(g_app.iniPath, INI_PATH_CHARS, program);
  g_app.iniPresent = ReadIniFile(g_app.iniPath) ? 1 : 0;

  // Rows and the extra list that a configuration file does not supply stay
  // empty: a file written for a local network must never lead to public hosts.
  if (g_app.iniPresent) {
    ApplyIniServerRows(&g_iniDoc, g_workTable, SERVER_COUNT);
    SetExtraList(BuildIniExtraList(&g_iniDoc));
  } else {
    LoadBuiltInLists();
  }

  // Row #9 starts with the host the other-server selector shows first.
  if (ExtraListCount()) WCopy(g_workTable[SERVER_COUNT - 1].host, HOST_CHARS, g_extraList[0].host);
}
