// What setting the clock asks of the system, recorded through the clock setter:
// the chosen sample's time aged by the counter, 10 ms ahead, as local time.
#include <gtest/gtest.h>
#include <windows.h>
#include <string.h>

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "ntp/setclock.h"
#include "emulation_win.h"

namespace {

struct Recorder {
  static int calls;
  static SYSTEMTIME asked;
  static int64_t counterAtCall;
  static BOOL answer;
  static int privilege;
  static BOOL WINAPI SetLocal(const SYSTEMTIME* t) {
    counterAtCall = GetCounterTime();
    ++calls;
    asked = *t;
    return answer;
  }
  static int Privilege() { return privilege; }
};
int Recorder::calls;
SYSTEMTIME Recorder::asked;
int64_t Recorder::counterAtCall;
BOOL Recorder::answer;
int Recorder::privilege;

// The local calendar time back to UTC through the system's own zone rules.
uint64_t LocalToUtc(const SYSTEMTIME& local) {
  SYSTEMTIME utc;
  FILETIME ft;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &ft)) return 0;
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

const uint64_t k2025 = 133801632000000000ull;   // 2025-01-01 00:00:00 UTC
const int64_t kSecond = 10000000;

BOOL WINAPI FailingLocalConversion(const FILETIME*, LPFILETIME) { return FALSE; }

class ClockSetting : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static HMODULE clockModule = BindPreciseClock();
    (void)clockModule;
    static bool lockReady = false;
    if (!lockReady) InitTableLock();
    lockReady = true;
  }
  void SetUp() override {
    memset(g_workTable, 0, sizeof g_workTable);
    ResetServerTable();
    g_engineHooks = ENGINEHOOKS();
    Recorder::calls = 0;
    Recorder::answer = TRUE;
    Recorder::privilege = 1;
    memset(&Recorder::asked, 0, sizeof Recorder::asked);
    const CLOCKSETTER setter = {Recorder::Privilege, Recorder::SetLocal};
    SetClockSetter(&setter);
  }
  void TearDown() override {
    SetClockSetter(nullptr);
    SetLocalFileTimeFunction(nullptr);
  }
  // Row i answered `age` ago (counter time), measuring `offset`.
  static void Answered(int i, uint64_t receiveTime, int64_t offset, int64_t age, uint32_t delayMs = 20) {
    SERVERROW& row = g_workTable[i];
    row.delayMs = delayMs;
    row.offset = offset;
    row.result = 2;
    row.stratum = 2;
    row.fresh = 2;
    row.zScore = 0.0;
    row.receiveTime = receiveTime;
    row.receiveCounter = GetCounterTime() - age;
    wcscpy(row.host, L"127.0.0.1");
  }
};

TEST_F(ClockSetting, TheTimeSetIsTheSampleAgedByTheCounterAndTenMillisecondsAhead) {
  Answered(0, k2025, 25 * kSecond / 10, 3 * kSecond);   // 2.5 s ahead, answered 3 s ago
  ASSERT_EQ(0, SetClockFromBest(nullptr));
  ASSERT_EQ(1, Recorder::calls);
  const uint64_t expected =
      k2025 + 25 * kSecond / 10 + (uint64_t)(Recorder::counterAtCall - g_workTable[0].receiveCounter) + 100000;
  const uint64_t set = LocalToUtc(Recorder::asked);
  // The calendar time holds whole milliseconds, and the estimate is taken a
  // moment before the setter is called.
  EXPECT_LE(set, expected);
  const unsigned slack = TimingSlack();
  EXPECT_LT(expected - set, 20000u * slack) << "set " << set << ", expected " << expected;
  // As local calendar time at UTC+8: 2025-01-01 08:00:05.51.
  EXPECT_EQ(2025, Recorder::asked.wYear);
  EXPECT_EQ(1, Recorder::asked.wMonth);
  EXPECT_EQ(1, Recorder::asked.wDay);
  EXPECT_EQ(8, Recorder::asked.wHour);
  EXPECT_EQ(0, Recorder::asked.wMinute);
  EXPECT_EQ(5, Recorder::asked.wSecond);
  EXPECT_NEAR(510, Recorder::asked.wMilliseconds, 2 * slack);
}

TEST_F(ClockSetting, ASampleTakenJustNowSetsTheClockTenMillisecondsAheadOfNow) {
  const uint64_t now = GetPreciseFileTime();
  Answered(3, now, 0, 0);
  ASSERT_EQ(0, SetClockFromBest(nullptr));
  const int64_t lead = (int64_t)(LocalToUtc(Recorder::asked) - now);
  EXPECT_GE(lead, 90000);    // 10 ms, less the millisecond the calendar drops
  EXPECT_LT(lead, 300000);   // and whatever this test took
}

TEST_F(ClockSetting, WithoutThePrivilegeNothingIsSetAndTheCodeIsMinusThree) {
  Answered(0, k2025, 0, 0);
  Recorder::privilege = 0;
  EXPECT_EQ(SYNC_NO_PRIVILEGE, SetClockFromBest(nullptr));
  EXPECT_EQ(0, Recorder::calls);
  EXPECT_EQ(2, g_workTable[0].fresh);   // nothing used
}

TEST_F(ClockSetting, ARefusedSettingTriesTheNextCandidateAndFailingAllIsMinusOne) {
  Answered(0, k2025, 0, 0, 10);
  Answered(1, k2025, 1000, 0, 30);
  Recorder::answer = FALSE;
  EXPECT_EQ(SYNC_SET_FAILED, SetClockFromBest(nullptr));
  EXPECT_EQ(2, Recorder::calls);
  EXPECT_NE(0, g_workTable[0].fresh);
}

TEST_F(ClockSetting, AFailedLocalConversionSetsNothing) {
  Answered(0, k2025, 0, 0);
  SetLocalFileTimeFunction(FailingLocalConversion);
  EXPECT_EQ(SYNC_SET_FAILED, SetClockFromBest(nullptr));
  EXPECT_EQ(0, Recorder::calls);
}

}  // namespace
