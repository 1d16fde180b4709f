// One SNTP exchange against simulated servers and chronyd.
#include <string.h>

#include "ntp/sntp.h"
#include "emulation_win.h"
#include "peerfixture.h"

namespace {

class Exchange : public PeerTables {
 protected:
  // A row filled with a pattern, to see that a failure leaves it untouched.
  static SERVERROW Marked() {
    SERVERROW row;
    memset(&row, 0x5A, sizeof row);
    return row;
  }
  int Ask(int rowNumber, SERVERROW* row) { return QueryServerTime(WideHost(Addr(rowNumber)).c_str(), row); }
  void ExpectRefused(int rowNumber, const std::string& options, double minMs, double maxMs) {
    Serve(rowNumber, options);
    SERVERROW row = Marked();
    const SERVERROW before = row;
    int result = -1;
    const double ms = TimedMs([&] { result = Ask(rowNumber, &row); });
    EXPECT_EQ(0, result) << options;
    EXPECT_EQ(0, memcmp(&before, &row, sizeof row)) << options << ": the row was written";
    EXPECT_GE(ms, minMs) << options;
    EXPECT_LE(ms, maxMs) << options;
    EXPECT_GE(SimCount(Addr(rowNumber)), 1) << options;
  }
};

const int64_t kMs = 10000;   // 100 ns units per millisecond
const unsigned kSlack = TimingSlack();
const double kNear = 5.0 * kMs * kSlack;   // how near a measured offset must be

TEST_F(Exchange, MeasuresOffsetDelayRootDelayAndStratum) {
  Serve(0, "offset=2.5 stratum=5 rootdelay=66");
  SERVERROW row = {};
  const uint64_t before = GetPreciseFileTime();
  ASSERT_EQ(5, Ask(0, &row));
  EXPECT_NEAR(25000000.0, (double)row.offset, kNear);
  EXPECT_LT(row.delayMs, 200u);
  EXPECT_DOUBLE_EQ(1.007080078125, row.rootDelayMs);
  EXPECT_EQ(5, row.stratum);
  EXPECT_EQ(5, row.fresh);
  EXPECT_GE(row.receiveTime, before);
  EXPECT_LE(row.receiveTime, GetPreciseFileTime());
  EXPECT_LE(row.receiveCounter, GetCounterTime());
  EXPECT_GT(row.receiveCounter, GetCounterTime() - 1000 * kMs);
  // A dozen exchanges for a feel of the spread: every one within 5 ms.
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(5, Ask(0, &row));
    EXPECT_NEAR(25000000.0, (double)row.offset, kNear);
  }
}

TEST_F(Exchange, AServerADayBehindAndAServerHoldingTheRequest) {
  Serve(1, "offset=-86400");
  Serve(2, "offset=-86400 delay=60");
  SERVERROW row = {};
  ASSERT_EQ(1, Ask(1, &row));
  EXPECT_NEAR(-864000000000.0, (double)row.offset, kNear);
  ASSERT_EQ(1, Ask(2, &row));
  // The hold is part of the round trip but, both ways being equal, not of the
  // offset. (T1 is read after the send, so the round trip may look a little short.)
  EXPECT_GE(row.delayMs, 60u - 5u * kSlack);
  EXPECT_LT(row.delayMs, 400u * kSlack);
  EXPECT_NEAR(-864000000000.0, (double)row.offset, kNear);
}

TEST_F(Exchange, AnIpv6ServerIsAskedOverIpv6) {
  ASSERT_TRUE(SimServe("::1", "offset=1 stratum=2"));
  SERVERROW row = {};
  EXPECT_EQ(2, QueryServerTime(L"::1", &row));
  EXPECT_NEAR(10000000.0, (double)row.offset, kNear);
  EXPECT_EQ(1, SimCount("::1"));
  SimStop("::1");
}

TEST_F(Exchange, ASilentServerTimesOutAfterOneSecond) {
  ExpectRefused(3, "silent=1", 990, 3000);
}

TEST_F(Exchange, RejectedRepliesFailAtOnceAndLeaveTheRowUntouched) {
  ExpectRefused(4, "len=47", 0, 900);
  ExpectRefused(5, "mode=5", 0, 900);
  ExpectRefused(6, "leap=3", 0, 900);
  ExpectRefused(7, "transmit=zero", 0, 900);
  ExpectRefused(8, "stratum=0", 0, 900);   // kiss-of-death: nothing is written any more
  ExpectRefused(9, "stratum=16", 0, 900);
}

TEST_F(Exchange, RepliesThatAreNotOursAreIgnoredUntilTheSecondIsOver) {
  ExpectRefused(0, "origin=wrong", 990, 3000);
  ExpectRefused(1, "from=" + PeerAddr(200), 990, 3000);
}

TEST_F(Exchange, TheGenuineReplyAfterADecoyIsTaken) {
  Serve(2, "offset=0.5 decoy=origin decoydelay=50");
  Serve(3, "offset=0.5 decoy=from:" + PeerAddr(201) + " decoydelay=50");
  for (int r : {2, 3}) {
    SERVERROW row = {};
    EXPECT_EQ(1, Ask(r, &row)) << Addr(r);
    EXPECT_NEAR(5000000.0, (double)row.offset, kNear);
    EXPECT_GE(row.delayMs, 40u);
  }
}

TEST_F(Exchange, AGenuineReplyQueuedRightBehindADecoyIsTaken) {
  // Both datagrams are in before the program looks: taking the decoy must not
  // lose the signal of the reply behind it.
  Serve(4, "offset=0.5 decoy=origin decoydelay=0");
  Serve(5, "offset=0.5 decoy=from:" + PeerAddr(201) + " decoydelay=0");
  for (int r : {4, 5}) {
    int answered = 0;
    for (int i = 0; i < 10; ++i) {
      SERVERROW row = {};
      answered += Ask(r, &row);
      EXPECT_NEAR(5000000.0, (double)row.offset, kNear) << Addr(r);
    }
    EXPECT_EQ(10, answered) << Addr(r);
  }
}

TEST_F(Exchange, AnEmptyHostOrOneWithoutAServerFails) {
  SERVERROW row = Marked();
  const SERVERROW before = row;
  EXPECT_EQ(0, QueryServerTime(L"", &row));
  // Nobody listens there.
  EXPECT_EQ(0, Ask(9, &row));
  EXPECT_EQ(0, memcmp(&before, &row, sizeof row));
}

TEST_F(Exchange, ChronydIsMeasuredAsARealPeer) {
  if (getenv("QL_CHRONY_MISSING")) GTEST_SKIP() << "chronyd is not installed";
  // The shortest round trip of five: the first exchange may be slowed by a
  // cold emulator (the i386 build runs under qemu here).
  SERVERROW best = {};
  best.delayMs = DELAY_NONE;
  for (int i = 0; i < 5; ++i) {
    SERVERROW row = {};
    ASSERT_EQ(kChronyStratum, QueryServerTime(WideHost(ChronyAddr()).c_str(), &row));
    if (row.delayMs < best.delayMs) best = row;
  }
  EXPECT_NEAR(0.0, (double)best.offset, kNear / 5);
  EXPECT_LE(best.delayMs, 5u);
}

DWORD WINAPI CutSoon(void* cut) {
  Sleep(150);
  SetCut(static_cast<CUTSIGNAL*>(cut));
  return 0;
}

// An attempt cuts the background round it stops: the pass waits no longer for
// its silent server, while the answer already in is kept; the next round's
// signal is its own, so a silent server has its whole second again.
TEST_F(Exchange, ACutPassStopsWaitingForItsSilentServersAndKeepsItsAnswers) {
  Serve(0, "offset=0.5");
  Serve(3, "silent=1");
  const std::wstring answering = WideHost(Addr(0)), silent = WideHost(Addr(3));
  SERVERROW rows[2] = {};
  SNTPQUERY queries[2] = {{answering.c_str(), &rows[0], 0, 0, nullptr}, {silent.c_str(), &rows[1], 0, 0, nullptr}};
  CUTSIGNAL cut, next;
  ASSERT_TRUE(OpenCutSignal(&cut));
  ASSERT_TRUE(OpenCutSignal(&next));
  HANDLE cutter = CreateThread(nullptr, 0, CutSoon, &cut, 0, nullptr);
  ASSERT_NE(cutter, nullptr);
  const double cutMs = TimedMs([&] { QueryServersTimeCut(queries, 2, nullptr, nullptr, &cut); });
  WaitForSingleObject(cutter, INFINITE);
  CloseHandle(cutter);
  EXPECT_TRUE(IsCut(&cut));
  EXPECT_GT(queries[0].result, 0);
  EXPECT_EQ(queries[1].result, 0);
  EXPECT_LT(cutMs, 800.0) << "the cut pass still waited for its silent server";

  const double wholeMs = TimedMs([&] { QueryServersTimeCut(queries, 2, nullptr, nullptr, &next); });
  EXPECT_GT(queries[0].result, 0);
  EXPECT_EQ(queries[1].result, 0);
  EXPECT_GE(wholeMs, 990.0) << "the cut reached the next round";
  CloseCutSignal(&cut);
  CloseCutSignal(&next);
}

}  // namespace
