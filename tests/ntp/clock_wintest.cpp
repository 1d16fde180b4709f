// The local clocks under Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include "ntp/clock.h"
#include "ntp/setclock.h"
#include "ntp/sntp_codec.h"

namespace {

uint64_t SystemNow() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

TEST(Clock, PreciseWallClockFollowsTheSystemClock) {
  HMODULE module = BindPreciseClock();
  ASSERT_NE(nullptr, module);
  const uint64_t before = SystemNow();
  const uint64_t t = GetPreciseFileTime();
  const uint64_t after = SystemNow();
  // The plain clock may tick coarsely: allow 20 ms around it.
  EXPECT_GE(t + 200000, before);
  EXPECT_LE(t, after + 200000);
  FreeLibrary(module);
}

TEST(Clock, WithoutThePreciseFunctionThePlainSystemTimeIsUsed) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  EXPECT_EQ(0, BindClockFunction(kernel, "NoSuchClockFunction"));
  const uint64_t t = GetPreciseFileTime();
  EXPECT_NEAR((double)SystemNow(), (double)t, 200000.0);
  EXPECT_EQ(1, BindClockFunction(kernel, "GetSystemTimePreciseAsFileTime"));
}

TEST(Clock, CounterTimeNeverGoesBackwardsAndTracksSleep) {
  int64_t previous = GetCounterTime();
  for (int i = 0; i < 100000; ++i) {
    const int64_t t = GetCounterTime();
    ASSERT_GE(t, previous);
    previous = t;
  }
  const uint64_t ms = GetCounterMs();
  Sleep(50);
  const uint64_t elapsed = GetCounterMs() - ms;
  EXPECT_GE(elapsed, 45u);
  EXPECT_LT(elapsed, 2000u);
}

TEST(Clock, LocalCalendarTimeMatchesTheSystemConversion) {
  const uint64_t epoch = 116444736000000000ull;   // 1970-01-01 00:00 UTC
  SYSTEMTIME mine = {}, expected = {};
  ASSERT_TRUE(FileTimeToLocalSystemTime(epoch, &mine));
  FILETIME utc = {(DWORD)epoch, (DWORD)(epoch >> 32)}, local;
  FileTimeToLocalFileTime(&utc, &local);
  FileTimeToSystemTime(&local, &expected);
  EXPECT_EQ(0, memcmp(&mine, &expected, sizeof mine));
  EXPECT_EQ(1970, mine.wYear + (mine.wMonth == 12 ? 1 : 0));
  // A value no calendar can hold fails instead of producing a date.
  EXPECT_FALSE(FileTimeToLocalSystemTime(0xFFFFFFFFFFFFFFFFull, &mine));
}

TEST(LocalTime, TheUnixEpochIsEightInTheMorningLocally) {
  SYSTEMTIME local = {};
  ASSERT_TRUE(FileTimeToLocalSystemTime(116444736000000000ull, &local));
  EXPECT_EQ(1970, local.wYear);
  EXPECT_EQ(1, local.wMonth);
  EXPECT_EQ(1, local.wDay);
  EXPECT_EQ(8, local.wHour);
  EXPECT_EQ(0, local.wMinute);
  EXPECT_EQ(0, local.wSecond);
  EXPECT_EQ(0, local.wMilliseconds);
  // An evening in UTC is the next morning locally.
  // 2024-12-31 22:00:01.234 UTC.
  ASSERT_TRUE(FileTimeToLocalSystemTime(133801632000000000ull - 72000000000ull + 12340000ull, &local));
  EXPECT_EQ(2025, local.wYear);
  EXPECT_EQ(1, local.wMonth);
  EXPECT_EQ(1, local.wDay);
  EXPECT_EQ(6, local.wHour);
  EXPECT_EQ(0, local.wMinute);
  EXPECT_EQ(1, local.wSecond);
  EXPECT_EQ(234, local.wMilliseconds);
}

TEST(LocalTime, ValuesBeyondTheCalendarAndWrappedConversionsFail) {
  SYSTEMTIME local = {};
  // 2^63 and above is no time; just below it, eight hours ahead wraps round to 1601 in Wine.
  EXPECT_FALSE(FileTimeToLocalSystemTime(0x8000000000000000ull, &local));
  EXPECT_FALSE(FileTimeToLocalSystemTime(0x7FFFFFFFFFFFFFFFull, &local));
  EXPECT_FALSE(FileTimeToLocalSystemTime(0xFFFFFFFFFFFFFFFFull, &local));
}

BOOL WINAPI FailingLocalConversion(const FILETIME*, LPFILETIME local) {
  local->dwLowDateTime = 0x12345678;   // what a failed call may leave behind
  local->dwHighDateTime = 0x01D00000;
  return FALSE;
}

BOOL WINAPI WrappingLocalConversion(const FILETIME* utc, LPFILETIME local) {
  const uint64_t t = (((uint64_t)utc->dwHighDateTime << 32) | utc->dwLowDateTime) - 0x0100000000000000ull;
  local->dwLowDateTime = (DWORD)t;
  local->dwHighDateTime = (DWORD)(t >> 32);
  return TRUE;
}

TEST(LocalTime, AFailedOrWrappedLocalConversionIsAFailureNotAnUnwrittenTime) {
  SYSTEMTIME local = {};
  SetLocalFileTimeFunction(FailingLocalConversion);
  EXPECT_FALSE(FileTimeToLocalSystemTime(133801632000000000ull, &local));
  SetLocalFileTimeFunction(WrappingLocalConversion);
  EXPECT_FALSE(FileTimeToLocalSystemTime(133801632000000000ull, &local));
  SetLocalFileTimeFunction(nullptr);
  EXPECT_TRUE(FileTimeToLocalSystemTime(133801632000000000ull, &local));
  EXPECT_EQ(8, local.wHour);
}

TEST(Clock, TheStepAllowanceGrowsOnlyWhileTheCoarseClockIsBound) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  DWORD adjustment = 0, increment = 0;
  BOOL disabled = FALSE;
  ASSERT_TRUE(GetSystemTimeAdjustment(&adjustment, &increment, &disabled));
  // Wine, like Windows 8 and later, reports the 15.625 ms tick even though the
  // precise clock exists.
  EXPECT_EQ(156250u, increment);
  ASSERT_EQ(1, BindClockFunction(kernel, "GetSystemTimePreciseAsFileTime"));
  EXPECT_EQ(CLOCK_STEP_ALLOWANCE, ClockStepAllowance());
  ASSERT_EQ(0, BindClockFunction(kernel, "NoSuchClockFunction"));
  EXPECT_EQ(CLOCK_STEP_ALLOWANCE + 2 * (int64_t)increment, ClockStepAllowance());
  ASSERT_EQ(1, BindClockFunction(kernel, "GetSystemTimePreciseAsFileTime"));
  EXPECT_EQ(CLOCK_STEP_ALLOWANCE, ClockStepAllowance());
}

TEST(Privilege, TheSystemTimePrivilegeCanBeEnabledAsAdministrator) {
  EXPECT_EQ(1, EnableSystemTimePrivilege());
}

}  // namespace
