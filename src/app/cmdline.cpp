#include "app/cmdline.h"

#include <shellapi.h>
#include <stdint.h>

#include "app/appstate.h"
#include "ntp/serverrow.h"
#include "text/lines.h"
#include "text/memblock.h"
#include "text/serverlists.h"
#include "text/settings.h"

CMDLINE g_cmdLine;

namespace {

const DWORD kProcessLineChars = 1024;   // expansion buffer of the process command line
const DWORD kAutostartLineChars = REG_READ_CHARS;  // expansion buffer of the autostart entry
const int kExpandTries = 4;             // the environment may grow between two calls

// The one buffer of every registry read: 1024 bytes, cleared before each read.
// The autostart entry is written only when it fits here (text/settings.h).
wchar_t g_regBuffer[REG_READ_CHARS];

// Expands environment references in text into a buffer of `chars` characters,
// or into a block as large as the expansion needs, and splits the result with
// CommandLineToArgvW. When the expansion fails the text is split unexpanded.
// Returns the LocalAlloc'd argument array (the caller frees it) or null.
wchar_t** ExpandAndSplit(const wchar_t* text, DWORD chars, int* argc) {
  wchar_t local[kProcessLineChars];
  if (chars > kProcessLineChars) chars = kProcessLineChars;
  wchar_t* block = nullptr;
  wchar_t* buffer = local;
  DWORD capacity = chars;
  const wchar_t* expanded = nullptr;
  for (int attempt = 0; attempt < kExpandTries; ++attempt) {
    DWORD needed = ExpandEnvironmentStringsW(text, buffer, capacity);
    if (needed == 0) break;
    if (needed <= capacity) {
      expanded = buffer;
      break;
    }
    ReleaseBlock(&block);
    block = (wchar_t*)NewBlock((uint64_t)needed * sizeof(wchar_t));
    if (!block) break;
    buffer = block;
    capacity = needed;
  }
  *argc = 0;
  wchar_t** argv = CommandLineToArgvW(expanded ? expanded : text, argc);
  ReleaseBlock(&block);
  if (!argv) *argc = 0;
  return argv;
}

int IsOption(const wchar_t* arg, const wchar_t* name) {
  return lstrcmpiW(arg, name) == 0;
}

// Decimal value of an all-digit text; too large for 64 bits gives UINT64_MAX.
uint64_t ToUnsigned64(const wchar_t* s) {
  uint64_t value = 0;
  for (; *s; ++s) {
    uint64_t digit = (uint64_t)(*s - L'0');
    if (value > (UINT64_MAX - digit) / 10) return UINT64_MAX;
    value = value * 10 + digit;
  }
  return value;
}

// The option value that follows argv[i], when there is one and it is all digits.
int NumberAfter(wchar_t** argv, int argc, int i, uint64_t* value) {
  if (i + 1 >= argc || !IsAllDigits(argv[i + 1])) return 0;
  *value = ToUnsigned64(argv[i + 1]);
  return 1;
}

}  // namespace

const wchar_t* RegReadString(HKEY root, const wchar_t* subkey, const wchar_t* valueName) {
  ZeroMemory(g_regBuffer, sizeof g_regBuffer);
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) return nullptr;
  DWORD bytes = sizeof g_regBuffer;
  LSTATUS status = RegGetValueW(key, nullptr, valueName, RRF_RT_REG_SZ, nullptr, g_regBuffer, &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS) {
    ZeroMemory(g_regBuffer, sizeof g_regBuffer);
    return nullptr;
  }
  return g_regBuffer;
}

int BuildCommandLine(CMDLINE* cmd, const wchar_t* commandLine) {
  if (cmd->argv) LocalFree(cmd->argv);
  cmd->argv = nullptr;
  cmd->argc = 0;
  if (!commandLine) commandLine = GetCommandLineW();
  int argc = 0;
  wchar_t** argv = ExpandAndSplit(commandLine, kProcessLineChars, &argc);
  if (!argv) return 0;
  cmd->argv = argv;
  cmd->argc = argc;
  return 1;
}

void FreeCommandLine(CMDLINE* cmd) {
  if (cmd->argv) LocalFree(cmd->argv);
  cmd->argv = nullptr;
  cmd->argc = 0;
}

void ReadAutostartEntry() {
  const wchar_t* entry = RegReadString(HKEY_LOCAL_MACHINE, AUTOSTART_KEY, AUTOSTART_VALUE);
  if (entry) {
    int argc = 0;
    wchar_t** argv = ExpandAndSplit(entry, kAutostartLineChars, &argc);
    // The program path in first place matches no option; "/NTP" is not read here.
    for (int i = 0; argv && i < argc; ++i) {
      if (IsOption(argv[i], L"/AutoSync")) {
        NumberAfter(argv, argc, i, &g_app.autostartAutoSeconds);
        g_app.autoChecked = 1;
        g_app.runMode = 2;
      } else if (IsOption(argv[i], L"/CycleSync")) {
        NumberAfter(argv, argc, i, &g_app.autostartCycleMinutes);
        g_app.cycleChecked = 1;
        g_app.runMode = 1;
      }
    }
    if (argv) LocalFree(argv);
    if (g_app.cycleChecked) g_app.autoChecked = 0;
  }

  const wchar_t* saved = RegReadString(HKEY_LOCAL_MACHINE, SETTINGS_KEY, nullptr);
  if (saved) {
    WCopy(g_app.savedServer, APP_TEXT_CHARS, saved);
    g_app.savedServerPresent = 1;
  }
}

int AsksForHiddenMode(const CMDLINE* cmd) {
  for (int i = 1; cmd->argv && i < cmd->argc; ++i)
    if (IsOption(cmd->argv[i], L"/AutoSync") || IsOption(cmd->argv[i], L"/CycleSync")) return 1;
  return 0;
}

void ParseCommandLine() {
  int autoOnLine = 0, cycleOnLine = 0;
  wchar_t** argv = g_cmdLine.argv;
  int argc = argv ? g_cmdLine.argc : 0;
  // Each value is looked at again as an argument of its own: "/NTP /AutoSync"
  // names the host "/AutoSync" and also turns automatic mode on.
  for (int i = 1; i < argc; ++i) {
    if (IsOption(argv[i], L"/AutoSync")) {
      NumberAfter(argv, argc, i, &g_app.autoSyncLimit);
      g_app.autoChecked = 1;
      g_app.commandLineMode = 1;
      g_app.runMode = 2;
      autoOnLine = 1;
    } else if (IsOption(argv[i], L"/CycleSync")) {
      NumberAfter(argv, argc, i, &g_app.cycleMinutes);
      g_app.cycleChecked = 1;
      g_app.commandLineMode = 1;
      g_app.runMode = 1;
      cycleOnLine = 1;
    } else if (IsOption(argv[i], L"/NTP")) {
      if (i + 1 < argc) {
        g_app.customServerGiven = 1;
        WCopy(g_app.customServer, APP_TEXT_CHARS, argv[i + 1]);
      }
    }
  }

  if (g_app.autoChecked && g_app.cycleChecked) g_app.autoChecked = 0;
  // The process command line alone starts a hidden mode; periodic synchronisation
  // includes automatic synchronisation, so it wins when both options are given.
  g_app.runMode = cycleOnLine ? 1 : autoOnLine ? 2 : 0;

  wch* host = g_workTable[SERVER_COUNT - 1].host;
  if (g_app.customServerGiven)
    WCopy(host, HOST_CHARS, g_app.customServer);
  else if (g_app.savedServerPresent)
    WCopy(host, HOST_CHARS, g_app.savedServer);
  if (!host[0] && g_extraList && ExtraListCount() > 0) WCopy(host, HOST_CHARS, g_extraList[0].host);
}
