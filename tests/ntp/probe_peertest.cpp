// Probe rounds over the ten rows, and the probe of row 9.
#include <string.h>

#include <math.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "ntp/probe.h"
#include "ntp/selection.h"
#include "ntp/sntp.h"
#include "emulation_win.h"
#include "peerfixture.h"

namespace {
const unsigned kSlack = TimingSlack();
}  // namespace

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
  EXPECT_NEAR(2500000.0, (double)g_publishedTable[3].offset, 50000.0 * kSlack);
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
  EXPECT_NEAR(-2000000.0, (double)g_publishedTable[9].offset, 50000.0 * kSlack);
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

// --- The rows of a pass are asked at once ----------------------------------------

const double kSecond100ns = 10000000.0;

TEST_F(Probe, APassWaitsOneSecondForAllItsSilentServersTogether) {
  for (int r = 0; r < 10; ++r) Serve(r, r % 2 ? "silent=1" : "offset=0.05");
  const double ms = TimedMs([this] { Round(1); });
  // Sequentially the five silent servers cost five seconds.
  EXPECT_GE(ms, 990.0);
  EXPECT_LT(ms, 2500.0);
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(r % 2 ? 0 : 1, g_workTable[r].result) << "row " << r;
    EXPECT_EQ(r % 2 ? DELAY_NONE : g_workTable[r].delayMs, g_publishedTable[r].delayMs) << "row " << r;
    EXPECT_EQ(1, SimCount(Addr(r))) << "row " << r;
  }
}

TEST_F(Probe, AForeignReplyOnOneRowLeavesTheOthersAlone) {
  // Row 0's server answers with a wrong origin, row 1's from row 4's address;
  // rows 2 and 3 get a decoy of either kind before their genuine reply.
  Serve(0, "offset=0.3 origin=wrong");
  Serve(1, "offset=0.3 from=" + Addr(4));
  Serve(2, "offset=0.2 decoy=origin decoydelay=30");
  Serve(3, "offset=0.2 decoy=from:" + Addr(5) + " decoydelay=30");
  Serve(4, "offset=-0.1");
  Serve(5, "offset=-0.1");
  Serve(6, "offset=-0.1");
  Round(1);
  for (int r : {0, 1}) {
    EXPECT_EQ(0, g_workTable[r].result) << "row " << r;
    EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs) << "row " << r;
    EXPECT_EQ(SCORE_NONE, g_publishedTable[r].zScore) << "row " << r;
  }
  for (int r = 2; r <= 6; ++r) {
    ASSERT_EQ(1, g_workTable[r].result) << "row " << r;
    EXPECT_NEAR(r < 4 ? 0.2 * kSecond100ns : -0.1 * kSecond100ns, (double)g_publishedTable[r].offset, 200000.0)
        << "row " << r;
  }
  // The decoyed rows waited for their genuine replies; the others did not wait for them.
  EXPECT_GE(g_workTable[2].delayMs, 25u);
  EXPECT_GE(g_workTable[3].delayMs, 25u);
  EXPECT_LT(g_workTable[6].delayMs, 25u);
}

TEST_F(Probe, EachRowKeepsItsOwnRoundTrip) {
  Serve(0, "offset=0.1 delay=300");
  Serve(1, "offset=0.1 delay=100");
  Serve(2, "offset=0.1");
  Round(1);
  for (int r = 0; r < 3; ++r) {
    ASSERT_EQ(1, g_workTable[r].result) << "row " << r;
    EXPECT_NEAR(0.1 * kSecond100ns, (double)g_workTable[r].offset, 200000.0) << "row " << r;
  }
  EXPECT_GE(g_workTable[0].delayMs, 290u);
  EXPECT_GE(g_workTable[1].delayMs, 90u);
  EXPECT_LT(g_workTable[1].delayMs, 290u);
  EXPECT_LT(g_workTable[2].delayMs, 90u);
  // T4 stamps follow the order the replies came in, not the rows'.
  EXPECT_LT(g_workTable[2].receiveCounter, g_workTable[1].receiveCounter);
  EXPECT_LT(g_workTable[1].receiveCounter, g_workTable[0].receiveCounter);
}

// Offsets 0, 1 s and 4 s: mean 1.667 s, deviation 2.082 s.
const double kZ[] = {0.8006, 0.3203, 1.1209};

TEST_F(Probe, ZScoresAndResultsOfAMixedRoundFollowTheAnswers) {
  Serve(0, "offset=0 stratum=2");
  Serve(1, "silent=1");
  Serve(2, "offset=1 stratum=3");
  Serve(3, "stratum=16");
  Serve(4, "leap=3");
  Serve(5, "len=47");
  Serve(6, "stratum=0");   // a kiss-of-death with no code the etiquette knows
  Serve(7, "offset=4 every=2 stratum=4");
  Serve(8, "mode=5");
  // Row 9 has no host.
  Round(2);
  const int expected[] = {2, 0, 3, 0, 0, 0, 0, 4, 0, 0};
  for (int r = 0; r < 10; ++r) {
    EXPECT_EQ(expected[r], g_workTable[r].result) << "row " << r;
    EXPECT_EQ(0, memcmp(&g_workTable[r], &g_publishedTable[r], sizeof(SERVERROW))) << "row " << r;
    if (!expected[r]) {
      EXPECT_EQ(DELAY_NONE, g_workTable[r].delayMs) << "row " << r;
      EXPECT_EQ(SCORE_NONE, g_workTable[r].zScore) << "row " << r;
    }
  }
  EXPECT_NEAR(kZ[0], g_workTable[0].zScore, 0.01);
  EXPECT_NEAR(kZ[1], g_workTable[2].zScore, 0.01);
  EXPECT_NEAR(kZ[2], g_workTable[7].zScore, 0.01);
  EXPECT_EQ(2, SimCount(Addr(7)));   // answered in pass 2 only
  EXPECT_EQ(1, SimCount(Addr(0)));
  EXPECT_EQ(2, SimCount(Addr(1)));
}

// The Z_Scores over these offsets (seconds), as the statistics define them.
std::vector<double> ZScores(const std::vector<double>& offsets) {
  double mean = 0.0, squares = 0.0;
  for (double x : offsets) mean += x / offsets.size();
  for (double x : offsets) squares += (x - mean) * (x - mean);
  const double deviation = sqrt(squares / (offsets.size() - 1));
  std::vector<double> z;
  for (double x : offsets) z.push_back(fabs(x - mean) / deviation);
  return z;
}

// What a pass asking its rows one after the other gives, worked out by hand: rows
// that fail keep their earlier sample until the round ends, so the last good
// answer's statistics still count those samples; then the failed rows lose
// their delay.
TEST_F(Probe, APassEndsAsTheSequentialPassDid) {
  Serve(1, "offset=2");
  Serve(5, "offset=-1");
  Round(1);
  ASSERT_EQ(1, g_workTable[1].result);
  ASSERT_EQ(1, g_workTable[5].result);
  const SERVERROW earlier1 = g_workTable[1], earlier5 = g_workTable[5];
  // Offsets seconds apart, so that milliseconds of measuring noise leave the Z_Scores alone.
  const char* behaviours[] = {"offset=4",     "silent=1",    "offset=0 stratum=3", "stratum=16", "offset=1 delay=40",
                              "origin=wrong", "offset=-0.5", "leap=3",             "offset=0.2", "offset=0.1 delay=5"};
  for (int r = 0; r < 10; ++r) Serve(r, behaviours[r]);
  Round(1);
  const int result[] = {1, 0, 3, 0, 1, 0, 1, 0, 1, 1};
  const double offset[] = {4, 2, 0, 0, 1, -1, -0.5, 0, 0.2, 0.1};   // rows 1 and 5: their earlier samples
  // Answered rows and the two that still held a sample when the last answer came.
  const int counted[] = {0, 1, 2, 4, 5, 6, 8, 9};
  std::vector<double> countedOffsets;
  for (int r : counted) countedOffsets.push_back(offset[r]);
  const std::vector<double> z = ZScores(countedOffsets);
  for (int r = 0; r < 10; ++r) {
    const SERVERROW& row = g_publishedTable[r];
    EXPECT_EQ(result[r], row.result) << "row " << r;
    EXPECT_EQ(r, row.index) << "row " << r;
    EXPECT_EQ(0, memcmp(&g_workTable[r], &row, sizeof row)) << "row " << r;
    if (!result[r]) {
      EXPECT_EQ(DELAY_NONE, row.delayMs) << "row " << r;
      continue;
    }
    EXPECT_NE(DELAY_NONE, row.delayMs) << "row " << r;
    EXPECT_EQ(result[r], row.stratum) << "row " << r;
    EXPECT_NEAR(offset[r] * kSecond100ns, (double)row.offset, 200000.0) << "row " << r;
    const size_t k = std::find(std::begin(counted), std::end(counted), r) - std::begin(counted);
    EXPECT_NEAR(z[k], row.zScore, 0.01) << "row " << r;
  }
  // The failed rows keep the rest of their earlier samples.
  EXPECT_EQ(earlier1.offset, g_workTable[1].offset);
  EXPECT_EQ(earlier1.receiveTime, g_workTable[1].receiveTime);
  EXPECT_EQ(earlier5.offset, g_workTable[5].offset);
  EXPECT_EQ(earlier5.receiveTime, g_workTable[5].receiveTime);
}

DWORD WINAPI CutAfter300Ms(void* cut) {
  Sleep(300);
  SetCut(static_cast<CUTSIGNAL*>(cut));
  return 0;
}

// An attempt cuts the background round it stops and asks every server itself;
// the cut round must not leave a row worse than it found it. A row still waiting
// when the cut comes, or not asked at all, keeps its earlier sample.
TEST_F(Probe, ACutRoundKeepsTheSamplesOfTheRowsItDidNotHearFrom) {
  CUTSIGNAL cut;
  ASSERT_TRUE(OpenCutSignal(&cut));
  struct CutCloses {
    CUTSIGNAL* cut;
    ~CutCloses() { CloseCutSignal(cut); }
  } cutCloses = {&cut};
  for (int r = 0; r < 3; ++r) Serve(r, r == 2 ? "offset=-1" : "offset=1");
  Round(1);
  SERVERROW earlier[SERVER_COUNT];
  memcpy(earlier, g_workTable, sizeof earlier);
  Serve(0, "offset=0.5");
  Serve(1, "offset=1 delay=900");
  Serve(2, "silent=1");
  HANDLE cutter = CreateThread(nullptr, 0, CutAfter300Ms, &cut, 0, nullptr);
  ASSERT_NE(cutter, nullptr);
  const double ms = TimedMs([&] { ProbeRound(2, &cut, 0); });
  WaitForSingleObject(cutter, INFINITE);
  CloseHandle(cutter);
  EXPECT_LT(ms, 800.0) << "the cut round still waited";
  EXPECT_EQ(1, g_workTable[0].result);
  EXPECT_NEAR(0.5 * kSecond100ns, (double)g_workTable[0].offset, 200000.0);
  for (int r : {1, 2}) {
    EXPECT_EQ(earlier[r].result, g_workTable[r].result) << "row " << r;
    EXPECT_EQ(earlier[r].delayMs, g_publishedTable[r].delayMs) << "row " << r;
    EXPECT_EQ(earlier[r].offset, g_publishedTable[r].offset) << "row " << r;
    EXPECT_LT(g_publishedTable[r].zScore, SCORE_NONE) << "row " << r;
  }
  // The statistics go on counting them: offsets 0.5, 1 and -1 s.
  const std::vector<double> z = ZScores({0.5, 1, -1});
  for (int r = 0; r < 3; ++r) EXPECT_NEAR(z[r], g_publishedTable[r].zScore, 0.01) << "row " << r;

  // A round that starts cut asks nobody and changes nothing.
  memcpy(earlier, g_workTable, sizeof earlier);
  SimReset();
  ProbeRound(2, &cut, 0);
  EXPECT_EQ("", SimOrder());
  for (int r = 0; r < SERVER_COUNT; ++r) EXPECT_EQ(0, memcmp(&earlier[r], &g_workTable[r], sizeof earlier[r])) << r;
}

// The process's open handles, sockets and events among them, counted by asking
// about every handle value in a range far beyond what this test opens (Wine's
// GetProcessHandleCount always says 0).
int OpenHandles() {
  int n = 0;
  for (uintptr_t v = 4; v < 65536; v += 4) {
    DWORD flags;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
  }
  return n;
}

TEST_F(Probe, APassReleasesEverySocketAndEvent) {
  Serve(0, "offset=0.1");
  Serve(1, "silent=1");
  Serve(2, "origin=wrong");
  Serve(3, "stratum=0");
  Serve(4, "decoy=origin decoydelay=0");
  Serve(6, "len=47");
  // Row 5 has no host: it fails before any socket is made.
  Round(1);   // Winsock's own first-use handles are in from here on
  const int before = OpenHandles();
  ASSERT_GT(before, 0);
  for (int i = 0; i < 3; ++i) Round(2);
  SERVERROW row = {};
  EXPECT_EQ(1, QueryServerTime(WideHost(Addr(0)).c_str(), &row));
  EXPECT_EQ(before, OpenHandles());
}

}  // namespace
