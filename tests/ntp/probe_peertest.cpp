// Probe rounds over the ten rows, and the probe of row 9.
#include <string.h>

#include "ntp/probe.h"
#include "peerfixture.h"

namespace {

class Probe : public PeerTables {
 protected:
  void Round(unsigned passes) { ProbeServers(&passes); }
  std::string Order(std::initializer_list<int> rows) const {
    std::string out;
    for (int r : rows) out += (out.empty() ? "" : ",") + Addr(r);
    return out;
  }
};

TEST_F(Probe, AllSilentServersCostTwentyExchangesAndEndUnanswered) {
  for (int r = 0; r < 10; ++r) Serve(r, "silent=1");
  Round(2);
  int exchanges = 0;
  for (int r = 0; r < 10; ++r) exchanges += SimCount(Addr(r));
  EXPECT_EQ(20, exchanges);
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(DELAY_NONE, g_workTable[r].delayMs);
    EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs);
    EXPECT_EQ(SCORE_NONE, g_workTable[r].zScore);
    EXPECT_EQ(SCORE_NONE, g_publishedTable[r].zScore);
    EXPECT_EQ(0, g_workTable[r].result);
  }
  EXPECT_FALSE(AnyServerAnswered());
}

TEST_F(Probe, ASecondPassAsksOnlyTheRowsThatHaveNotAnswered) {
  for (int r = 0; r < 10; ++r) Serve(r, r == 2 || r == 5 ? "silent=1" : "");
  Round(2);
  EXPECT_EQ(Order({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 2, 5}), SimOrder());
  EXPECT_EQ(DELAY_NONE, g_publishedTable[2].delayMs);
  EXPECT_NE(DELAY_NONE, g_publishedTable[3].delayMs);
  EXPECT_TRUE(AnyServerAnswered());
}

TEST_F(Probe, WhenAllAnswerAtOnceTheSecondPassAsksNobody) {
  for (int r = 0; r < 10; ++r) Serve(r, "offset=0.01");
  Round(2);
  EXPECT_EQ(Order({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), SimOrder());
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(1, g_publishedTable[r].result);
    EXPECT_LT(g_publishedTable[r].zScore, SCORE_NONE);
    EXPECT_EQ(0, memcmp(&g_workTable[r], &g_publishedTable[r], sizeof(SERVERROW))) << "row " << r;
  }
}

TEST_F(Probe, AServerThatAnswersOnlyInPassTwoEndsAnswered) {
  Serve(3, "every=2 offset=0.25");
  Round(2);
  EXPECT_EQ(2, SimCount(Addr(3)));
  EXPECT_EQ(1, g_workTable[3].result);
  EXPECT_NEAR(2500000.0, (double)g_publishedTable[3].offset, 50000.0);
  EXPECT_EQ(0.0, g_publishedTable[3].zScore);   // the only answer
}

TEST_F(Probe, AServerThatFallsSilentKeepsItsOldSampleButLosesItsDelay) {
  Serve(4, "offset=0.3");
  Serve(6, "offset=0.3");
  Round(1);
  const int64_t oldOffset = g_publishedTable[4].offset;
  ASSERT_NE(DELAY_NONE, g_publishedTable[4].delayMs);
  Serve(4, "silent=1");
  Round(1);
  EXPECT_EQ(DELAY_NONE, g_workTable[4].delayMs);
  EXPECT_EQ(DELAY_NONE, g_publishedTable[4].delayMs);
  EXPECT_EQ(oldOffset, g_publishedTable[4].offset);
  EXPECT_EQ(0, g_publishedTable[4].result);
}

TEST_F(Probe, NoPassesAskNobodyAndMarkEveryRowUnanswered) {
  Serve(0);
  Round(1);
  ASSERT_NE(DELAY_NONE, g_workTable[0].delayMs);
  SimReset();
  Round(0);
  EXPECT_EQ("", SimOrder());
  for (int r = 0; r < 10; ++r) EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs);
}

TEST_F(Probe, ASilentOtherServerIsAskedFourTimesAndPublishesNothing) {
  Serve(9, "offset=0.2");
  Round(1);
  const SERVERROW published = g_publishedTable[9];
  ASSERT_EQ(1, published.result);
  Serve(9, "silent=1");
  SimReset();
  ProbeOtherServer(4);
  EXPECT_EQ(Order({9, 9, 9, 9}), SimOrder());
  EXPECT_EQ(0, memcmp(&published, &g_publishedTable[9], sizeof published));
  EXPECT_EQ(DELAY_NONE, g_workTable[9].delayMs);
  EXPECT_EQ(0, g_workTable[9].inlier);
  EXPECT_EQ(std::vector<int>{9}, LogRecorder::clearedRows);
}

TEST_F(Probe, AnAnsweringOtherServerIsAskedOnceAndPublished) {
  Serve(9, "offset=-0.2 stratum=4");
  ProbeOtherServer(4);
  EXPECT_EQ(1, SimCount(Addr(9)));
  EXPECT_EQ(4, g_publishedTable[9].result);
  EXPECT_NEAR(-2000000.0, (double)g_publishedTable[9].offset, 50000.0);
  EXPECT_EQ(0.0, g_workTable[9].zScore);
}

TEST_F(Probe, AKissOfDeathOtherServerIsNeverUsable) {
  Serve(9, "stratum=0");
  ProbeOtherServer(4);
  EXPECT_EQ(4, SimCount(Addr(9)));
  EXPECT_EQ(0, g_workTable[9].result);
  EXPECT_EQ(DELAY_NONE, g_workTable[9].delayMs);
  EXPECT_FALSE(AnyServerAnswered());
}

}  // namespace
