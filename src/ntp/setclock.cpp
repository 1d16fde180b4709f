#include "ntp/setclock.h"

#include <windows.h>
#include <stdio.h>

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/probe.h"
#include "ntp/selection.h"

int EnableSystemTimePrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 0;
  TOKEN_PRIVILEGES privileges = {};
  int ok = 0;
  if (LookupPrivilegeValueW(nullptr, L"SeSystemtimePrivilege", &privileges.Privileges[0].Luid)) {
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // AdjustTokenPrivileges succeeds even for a privilege the token lacks; only
    // the last error tells, and without the privilege every setting would fail.
    ok = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
         GetLastError() != ERROR_NOT_ALL_ASSIGNED;
  }
  CloseHandle(token);
  return ok;
}

static CLOCKSETTER g_setter;

void SetClockSetter(const CLOCKSETTER* setter) { g_setter = setter ? *setter : CLOCKSETTER(); }

#define NOTE_CHARS 128   // an interface string, terminator included

// "<note><index>: <host>...", the text naming a candidate; the note is the
// window's (string 117), and empty without one.
static void LogCandidate(const SERVERROW& row) {
  if (!g_engineHooks.appendLog) return;
  wchar_t note[NOTE_CHARS];
  note[0] = 0;
  if (g_engineHooks.candidateNote) lstrcpynW(note, g_engineHooks.candidateNote(), NOTE_CHARS);
  wchar_t text[NOTE_CHARS + HOST_CHARS + 32];
  _snwprintf(text, sizeof text / sizeof text[0], L"%ls%d: %ls...", note, row.index, row.host);
  text[sizeof text / sizeof text[0] - 1] = 0;
  g_engineHooks.appendLog(text);
}

int SetClockFromBest(SYNCOUTCOME* outcome) {
  if (!(g_setter.enablePrivilege ? g_setter.enablePrivilege : EnableSystemTimePrivilege)()) return SYNC_NO_PRIVILEGE;
  SelectServers();
  int code = SYNC_NO_SERVER;
  int chosen = -1;
  for (int p = 0; p < SERVER_COUNT && chosen < 0; ++p) {
    const SERVERROW& row = g_selectionTable[p];
    if (!row.inlier || !(row.zScore < ZSCORE_LIMIT)) continue;
    code = SYNC_SET_FAILED;
    LogCandidate(row);
    const uint64_t target = EstimateServerTime(&row) + CLOCK_LEAD_100NS;
    SYSTEMTIME local = {};
    if (FileTimeToLocalSystemTime(target, &local) && (g_setter.setLocalTime ? g_setter.setLocalTime : SetLocalTime)(&local))
      chosen = p;
  }
  if (chosen < 0) return code;
  LockTable();
  for (int i = 0; i < SERVER_COUNT; ++i) {
    g_workTable[i].fresh = 0;
    g_selectionTable[i].fresh = 0;
    g_publishedTable[i].fresh = 0;
  }
  UnlockTable();
  if (outcome) {
    outcome->delayMs = g_selectionTable[chosen].delayMs;
    outcome->zScore = g_selectionTable[chosen].zScore;
  }
  return chosen;
}
