// Whether this test runs as an i386 program through qemu's user-mode emulator
// (a kernel without IA-32 emulation, with qemu-i386 registered as the handler
// of i386 programs). Timing there is too coarse for even generous bounds, so
// timed tests skip; where 32-bit programs run natively, and in the x86-64
// build, they run. Wine shows the host's root as drive Z:, so the handler's
// entry can be read from inside the test; a registered, enabled handler takes
// every i386 program, whatever the kernel could run itself.
#pragma once
#include <windows.h>
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
  static const bool emulated = ReadsEnabled(L"Z:\\proc\\sys\\fs\\binfmt_misc\\status") &&
                               ReadsEnabled(L"Z:\\proc\\sys\\fs\\binfmt_misc\\qemu-i386");
  return emulated;
#endif
}

#define QL_SKIP_UNDER_QEMU() \
  if (RunsUnderQemu()) GTEST_SKIP() << "i386 under qemu: timing too coarse for these bounds"
