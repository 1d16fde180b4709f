#include "ntp/clock.h"

#include "ntp/sntp_codec.h"

typedef VOID(WINAPI* CLOCKFUNCTION)(LPFILETIME);

// Written once at start-up, before any worker thread runs; only read afterwards.
static CLOCKFUNCTION g_clockFunction;
static int64_t g_counterFrequency;
static int64_t g_stepAllowance = CLOCK_STEP_ALLOWANCE;
static LOCALFILETIMEFUNCTION g_localFileTime;

static CLOCKFUNCTION LookUp(HMODULE module, const char* name) {
  if (!module || !name) return nullptr;
  return reinterpret_cast<CLOCKFUNCTION>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The ordinary clock advances in steps of the system's time increment (about
// 15.6 ms), so one exchange's wall interval may be off by a step at each end.
// Systems report that increment even where the precise clock is bound, so it
// loosens the check only for the ordinary clock.
static int64_t CoarseClockAllowance() {
  DWORD adjustment = 0, increment = 0;
  BOOL disabled = FALSE;
  if (!GetSystemTimeAdjustment(&adjustment, &increment, &disabled)) increment = 156250;
  if (increment > 10000000) increment = 10000000;   // no system ticks slower than a second
  return CLOCK_STEP_ALLOWANCE + 2 * (int64_t)increment;
}

int BindClockFunctions(HMODULE module, const char* preciseName, const char* plainName) {
  CLOCKFUNCTION precise = LookUp(module, preciseName);
  if (precise) {
    g_clockFunction = precise;
    g_stepAllowance = CLOCK_STEP_ALLOWANCE;
    return 1;
  }
  CLOCKFUNCTION plain = LookUp(module, plainName);
  g_clockFunction = plain ? plain : GetSystemTimeAsFileTime;
  g_stepAllowance = CoarseClockAllowance();
  return 0;
}

int BindClockFunction(HMODULE module, const char* preciseName) {
  return BindClockFunctions(module, preciseName, "GetSystemTimeAsFileTime");
}

int64_t ClockStepAllowance() {
  return g_clockFunction ? g_stepAllowance : CoarseClockAllowance();
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

void SetLocalFileTimeFunction(LOCALFILETIMEFUNCTION function) { g_localFileTime = function; }

// No time zone is further than a day from UTC; a larger difference means the
// conversion wrapped round the 64-bit range (Wine does, near its ends).
static const uint64_t kMaxZoneDistance = 864000000000ull;

BOOL FileTimeToLocalSystemTime(uint64_t fileTime, SYSTEMTIME* local) {
  if (fileTime >= 0x8000000000000000ull) return FALSE;   // beyond every calendar
  FILETIME utc, localTime;
  utc.dwLowDateTime = (DWORD)fileTime;
  utc.dwHighDateTime = (DWORD)(fileTime >> 32);
  if (!(g_localFileTime ? g_localFileTime : FileTimeToLocalFileTime)(&utc, &localTime)) return FALSE;
  const uint64_t converted = ((uint64_t)localTime.dwHighDateTime << 32) | localTime.dwLowDateTime;
  const uint64_t distance = converted > fileTime ? converted - fileTime : fileTime - converted;
  if (converted >= 0x8000000000000000ull || distance > kMaxZoneDistance) return FALSE;
  return FileTimeToSystemTime(&localTime, local);
}
