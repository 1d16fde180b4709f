// The local clocks under Windows.
#include <gtest/gtest.h>
#include <windows.h>

#include "ntp/clock.h"
#include "ntp/setclock.h"

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

TEST(Privilege, TheSystemTimePrivilegeCanBeEnabledAsAdministrator) {
  EXPECT_EQ(1, EnableSystemTimePrivilege());
}

}  // namespace
