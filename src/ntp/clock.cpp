#include "ntp/clock.h"

#include "ntp/sntp_codec.h"

typedef VOID(WINAPI* CLOCKFUNCTION)(LPFILETIME);

// Written once at start-up, before any worker thread runs; only read afterwards.
static CLOCKFUNCTION g_clockFunction;
static int64_t g_counterFrequency;

int BindClockFunction(HMODULE module, const char* preciseName) {
  CLOCKFUNCTION precise = nullptr;
  if (module && preciseName)
    precise = reinterpret_cast<CLOCKFUNCTION>(reinterpret_cast<void*>(GetProcAddress(module, preciseName)));
  if (precise) {
    g_clockFunction = precise;
    return 1;
  }
  CLOCKFUNCTION plain = nullptr;
  if (module)
    plain = reinterpret_cast<CLOCKFUNCTION>(reinterpret_cast<void*>(GetProcAddress(module, "GetSystemTimeAsFileTime")));
  g_clockFunction = plain ? plain : GetSystemTimeAsFileTime;
  return 0;
}

HMODULE BindPreciseClock() {
  HMODULE module = LoadLibraryW(L"Kernel32.DLL");
  BindClockFunction(module, "GetSystemTimePreciseAsFileTime");
  GetCounterTime();
  return module;
}

uint64_t GetPreciseFileTime() {
  FILETIME ft;
  (g_clockFunction ? g_clockFunction : GetSystemTimeAsFileTime)(&ft);
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

int64_t GetCounterTime() {
  if (!g_counterFrequency) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    g_counterFrequency = frequency.QuadPart;
  }
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return CounterTo100ns(counter.QuadPart, g_counterFrequency);
}

uint64_t GetCounterMs() {
  return (uint64_t)GetCounterTime() / 10000;
}

BOOL FileTimeToLocalSystemTime(uint64_t fileTime, SYSTEMTIME* local) {
  FILETIME utc, localTime;
  utc.dwLowDateTime = (DWORD)fileTime;
  utc.dwHighDateTime = (DWORD)(fileTime >> 32);
  FileTimeToLocalFileTime(&utc, &localTime);
  return FileTimeToSystemTime(&localTime, local);
}
