// Exchanges whose wall clock is coarse, jumps or steps back. The clocks are
// exported from this executable and bound by name in place of the system's.
#include <string.h>

#include "ntp/sntp.h"
#include "peerfixture.h"

namespace {

// Added to the real time at the exchange's first (T1) and second (T4) reading.
int64_t g_shiftT1, g_shiftT4;
int g_reads;

uint64_t RealNow() {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  return ((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime;
}

}  // namespace

// A wall clock read at T1 and T4 of one exchange in turn.
extern "C" __declspec(dllexport) void WINAPI QlTestClock(LPFILETIME ft) {
  const uint64_t t = RealNow() + (uint64_t)((g_reads++ % 2 == 0) ? g_shiftT1 : g_shiftT4);
  ft->dwLowDateTime = (DWORD)t;
  ft->dwHighDateTime = (DWORD)(t >> 32);
}

namespace {

const int64_t kMs = 10000;

class ClockStep : public PeerTables {
 protected:
  void TearDown() override {
    BindClockFunction(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime");
    PeerTables::TearDown();
  }
  // Binds QlTestClock as the precise clock, or as the ordinary one the program
  // falls back to where the precise one is missing.
  static void BindTestClock(bool asPrecise) {
    HMODULE self = GetModuleHandleW(nullptr);
    // A WINAPI export carries its stdcall decoration on i386, in the form the
    // toolchain gives it.
    const char* name = "QlTestClock";
    for (const char* n : {"QlTestClock", "QlTestClock@4", "_QlTestClock@4"}) {
      if (GetProcAddress(self, n)) {
        name = n;
        break;
      }
    }
    ASSERT_EQ(asPrecise ? 1 : 0, BindClockFunctions(self, asPrecise ? name : "NoSuchPreciseClock", name));
  }
  // Answers out of `tries` exchanges with row 0's server; `row` keeps the last sample.
  int Answers(int tries, SERVERROW* row) {
    int answered = 0;
    for (int i = 0; i < tries; ++i) {
      g_reads = 0;
      if (QueryServerTime(WideHost(Addr(0)).c_str(), row)) ++answered;
    }
    return answered;
  }
};

// T1 read just before the ordinary clock's tick and T4 just after the next:
// the wall interval is 15.5 ms longer than the counter's.
const int64_t kCoarseLag = 155 * kMs / 10;

TEST_F(ClockStep, ACoarseOrdinaryClockLosesNoAnswers) {
  Serve(0);
  BindTestClock(false);
  g_shiftT1 = -kCoarseLag;
  g_shiftT4 = 0;
  SERVERROW row = {};
  EXPECT_EQ(20, Answers(20, &row));
  EXPECT_GE(row.delayMs, 15u);
  EXPECT_LT(row.delayMs, 60u);
}

TEST_F(ClockStep, ThePreciseClockKeepsTheTenMillisecondCheck) {
  Serve(0);
  BindTestClock(true);
  g_shiftT1 = -kCoarseLag;
  g_shiftT4 = 0;
  SERVERROW row = {};
  EXPECT_EQ(0, Answers(5, &row));
  g_shiftT1 = -5 * kMs;   // within 10 ms
  EXPECT_EQ(5, Answers(5, &row));
}

TEST_F(ClockStep, AJumpIsStillCaughtWithTheCoarseClock) {
  Serve(0);
  BindTestClock(false);
  g_shiftT1 = 0;
  g_shiftT4 = 60 * kMs;   // beyond 10 ms plus two 15.625 ms ticks
  SERVERROW row;
  memset(&row, 0x5A, sizeof row);
  const SERVERROW before = row;
  EXPECT_EQ(0, Answers(3, &row));
  EXPECT_EQ(0, memcmp(&before, &row, sizeof row));
  g_shiftT4 = -60 * kMs;
  EXPECT_EQ(0, Answers(3, &row));
}

TEST_F(ClockStep, AWallClockSteppedBackALittleFailsInsteadOfWrappingTheDelay) {
  Serve(0);
  BindTestClock(true);
  g_shiftT1 = 0;
  g_shiftT4 = -9 * kMs;   // T4 before T1, though within 10 ms of the counter
  SERVERROW row;
  memset(&row, 0x5A, sizeof row);
  const SERVERROW before = row;
  EXPECT_EQ(0, Answers(3, &row));
  EXPECT_EQ(0, memcmp(&before, &row, sizeof row));
  EXPECT_GE(SimCount(Addr(0)), 3);
}

}  // namespace
