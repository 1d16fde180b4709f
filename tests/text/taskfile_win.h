// Whether a logon task stands in the test's Wine prefix: Wine keeps each
// registered task as a file under system32\Tasks.
#pragma once
#include <windows.h>

#include <string>

#include "text/autostart.h"

inline std::wstring TaskFile(const wchar_t* name = AUTOSTART_TASK_NAME) {
  wchar_t dir[MAX_PATH] = {};
  GetWindowsDirectoryW(dir, MAX_PATH);
  return std::wstring(dir) + L"\\system32\\Tasks\\" + name;
}

// The scheduler service is a 64-bit program and writes the native system32; a
// 32-bit test would see its syswow64 there, so redirection is off for the look.
inline bool TaskFileExists(const wchar_t* name = AUTOSTART_TASK_NAME) {
  void* redirection = nullptr;
  const BOOL off = Wow64DisableWow64FsRedirection(&redirection);
  const bool exists = GetFileAttributesW(TaskFile(name).c_str()) != INVALID_FILE_ATTRIBUTES;
  if (off) Wow64RevertWow64FsRedirection(redirection);
  return exists;
}
