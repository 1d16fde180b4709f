// Setting the clock end to end. Under Wine SetLocalTime succeeds only within
// half a second of the host clock (which it never changes), so a server's
// simulated offset decides whether setting from it succeeds.
#include <string.h>

#include "ntp/probe.h"
#include "ntp/setclock.h"
#include "peerfixture.h"
#include "text/strings.h"

namespace {

class SetClock : public PeerTables {
 protected:
  static void SetUpTestSuite() {
    PeerTables::SetUpTestSuite();
    LoadInterfaceStrings();
  }
  // An attempt's round, then the clock set from its best row.
  static int RoundAndSet(SYNCOUTCOME* outcome) {
    const unsigned passes = SYNC_PROBE_PASSES;
    ProbeServers(&passes);
    return SetClockFromBest(outcome);
  }
  // " 同步时间服务器 #<row>: <host>...", the text naming a candidate.
  std::wstring Candidate(int row) const {
    return std::wstring(Str(117)) + std::to_wstring(row) + L": " + WideHost(Addr(row)) + L"...";
  }
};

TEST_F(SetClock, AQualifyingServerSetsTheClockAndMarksEverySampleUsed) {
  Serve(0, "offset=0.2");
  Serve(1, "offset=0.25 delay=30");
  SYNCOUTCOME outcome = {};
  const int code = RoundAndSet(&outcome);
  ASSERT_EQ(0, code) << "log: " << std::string(LogRecorder::text.begin(), LogRecorder::text.end());
  EXPECT_EQ(0, g_selectionTable[0].index);
  EXPECT_EQ(g_selectionTable[0].delayMs, outcome.delayMs);
  EXPECT_EQ(g_selectionTable[0].zScore, outcome.zScore);
  EXPECT_EQ(Candidate(0), LogRecorder::text);
  for (int i = 0; i < SERVER_COUNT; ++i) {
    EXPECT_EQ(0, g_workTable[i].fresh);
    EXPECT_EQ(0, g_selectionTable[i].fresh);
    EXPECT_EQ(0, g_publishedTable[i].fresh);
  }
}

TEST_F(SetClock, WhenTheFastestServerIsTooFarOffTheNextCandidateIsTried) {
  Serve(0, "offset=3");
  Serve(1, "offset=0.1 delay=40");
  SYNCOUTCOME outcome = {};
  EXPECT_EQ(1, RoundAndSet(&outcome));
  EXPECT_EQ(1, g_selectionTable[1].index);
  EXPECT_EQ(g_workTable[1].delayMs, outcome.delayMs);
  // Both candidates on one line, fastest first.
  EXPECT_EQ(Candidate(0) + Candidate(1), LogRecorder::text);
}

TEST_F(SetClock, WhenEveryCandidateFailsTheCodeIsMinusOne) {
  Serve(0, "offset=3");
  EXPECT_EQ(SYNC_SET_FAILED, RoundAndSet(nullptr));
  EXPECT_EQ(Candidate(0), LogRecorder::text);
  EXPECT_NE(0, g_workTable[0].fresh);   // nothing was set, nothing used
}

TEST_F(SetClock, NoAnswerGivesMinusTwoAndWritesNothing) {
  SYNCOUTCOME outcome = {12345, 0.5};
  EXPECT_EQ(SYNC_NO_SERVER, RoundAndSet(&outcome));
  EXPECT_TRUE(LogRecorder::text.empty());
  EXPECT_EQ(12345u, outcome.delayMs);
}

TEST_F(SetClock, ARowWithZScoreOneIsNotUsed) {
  Serve(0, "offset=0.1");
  const unsigned passes = 1;
  ProbeServers(&passes);
  ASSERT_EQ(1, g_workTable[0].result);
  g_workTable[0].zScore = 1.0;
  EXPECT_EQ(SYNC_NO_SERVER, SetClockFromBest(nullptr));
  g_workTable[0].zScore = 0.999;
  EXPECT_EQ(0, SetClockFromBest(nullptr));
}

TEST_F(SetClock, AfterASuccessTheSameSamplesServeAgain) {
  Serve(0, "offset=0.1");
  ASSERT_EQ(0, RoundAndSet(nullptr));
  SimReset();
  EXPECT_EQ(0, SetClockFromBest(nullptr));   // the quick scheme: no new exchange
  EXPECT_EQ("", SimOrder());
}

}  // namespace
