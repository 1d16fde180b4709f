// Whether this test runs as an i386 program through qemu's user-mode emulator
// (a kernel without IA-32 emulation): timing there is coarse, so timed tests
// widen their upper bounds. Wine shows the host's root as drive Z:, so a
// binfmt_misc handler's entry can be read from inside the test; a registered,
// enabled handler takes every i386 program, whatever the kernel could run.
#pragma once
#include <windows.h>
#include <stdio.h>
#include <string.h>

inline bool ReadsEnabled(const wchar_t* path) {
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char text[16] = {};
  DWORD n = 0;
  const BOOL read = ReadFile(file, text, sizeof text - 1, &n, nullptr);
  CloseHandle(file);
  return read && strncmp(text, "enabled", 7) == 0;
}

inline bool RunsUnderQemu() {
#ifdef _WIN64
  return false;
#else
  // The unpacked 32-bit Wine's wrapper says so in the environment, which Wine
  // hands on to the Windows process; an installed one is seen by its handler.
  static const bool emulated =
      GetEnvironmentVariableW(L"QL_I386_EMULATED", nullptr, 0) > 0 ||
      (ReadsEnabled(L"Z:\\proc\\sys\\fs\\binfmt_misc\\status") &&
       ReadsEnabled(L"Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386"));
  return emulated;
#endif
}

// The factor by which a timed test widens its bounds: under qemu, code is
// translated on first use, threads wake late and counters are read late, so a
// bound met natively with room to spare can be missed. Lower bounds that are a
// period which must have passed stay as they are. Says so where it is asked.
inline unsigned TimingSlack() {
  const unsigned slack = RunsUnderQemu() ? 4 : 1;
  if (slack > 1) printf("[   NOTE   ] i386 under qemu: time bounds widened x%u\n", slack);
  return slack;
}
