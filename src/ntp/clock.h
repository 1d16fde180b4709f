// The local clocks: precise UTC wall-clock time, a monotonic counter time and
// the conversion of UTC to local calendar time.
#pragma once
#include <windows.h>
#include <stdint.h>

// Binds the wall clock to GetSystemTimePreciseAsFileTime of "Kernel32.DLL", or to
// GetSystemTimeAsFileTime where the system lacks it, and caches the counter
// frequency. Returns the loaded module, which the caller frees at shutdown.
HMODULE BindPreciseClock();

// Binds the wall clock to the function `preciseName` of `module`, falling back to
// GetSystemTimeAsFileTime. Returns 1 when the precise function was found.
int BindClockFunction(HMODULE module, const char* preciseName);

// As BindClockFunction, with the fallback looked up as `plainName` in `module`
// (GetSystemTimeAsFileTime when it is not there either). Tests bind their own
// clocks through it.
int BindClockFunctions(HMODULE module, const char* preciseName, const char* plainName);

// How far the wall-clock and counter intervals of one exchange may differ before
// the wall clock counts as stepped, in 100 ns: 10 ms, plus two increments of the
// ordinary system clock while that coarse clock is the one bound.
int64_t ClockStepAllowance();

// Current UTC time as FILETIME (100 ns since 1601-01-01).
uint64_t GetPreciseFileTime();

// Performance-counter time in 100 ns units; only differences are meaningful.
int64_t GetCounterTime();

// Monotonic milliseconds, GetCounterTime() / 10000.
uint64_t GetCounterMs();

// UTC FILETIME value to local calendar time. Nonzero on success; values of 2^63
// and above, and local times that wrapped round, fail.
BOOL FileTimeToLocalSystemTime(uint64_t fileTime, SYSTEMTIME* local);

// The UTC-to-local conversion FileTimeToLocalSystemTime uses; null restores
// FileTimeToLocalFileTime. A seam for the tests.
typedef BOOL(WINAPI* LOCALFILETIMEFUNCTION)(const FILETIME*, LPFILETIME);
void SetLocalFileTimeFunction(LOCALFILETIMEFUNCTION function);
