// Z_Scores, the IQR fences and the order in which servers are tried.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "ntp/selection.h"

namespace {

class Tables : public ::testing::Test {
 protected:
  void SetUp() override {
    InitTableLock();
    memset(g_workTable, 0, sizeof g_workTable);
    ResetServerTable();
  }
  void TearDown() override { DeleteTableLock(); }

  // Gives work row i an answer with this offset (and delay, root delay).
  static void Answer(int i, int64_t offset, uint32_t delayMs = 20, double rootDelayMs = 1.0) {
    g_workTable[i].offset = offset;
    g_workTable[i].delayMs = delayMs;
    g_workTable[i].rootDelayMs = rootDelayMs;
    g_workTable[i].result = 1;
  }

  // The inlier flags after SelectServers, by row index.
  static std::vector<int> Inliers() {
    SelectServers();
    std::vector<int> flags(SERVER_COUNT);
    for (const SERVERROW& row : g_selectionTable) flags[row.index] = row.inlier;
    return flags;
  }
};

TEST_F(Tables, ZScoresOfTheDocumentedOffsets) {
  Answer(0, 0);
  Answer(4, 100);
  Answer(7, 400);
  UpdateStatistics();
  EXPECT_NEAR(0.8006, g_workTable[0].zScore, 5e-5);
  EXPECT_NEAR(0.3203, g_workTable[4].zScore, 5e-5);
  EXPECT_NEAR(1.1209, g_workTable[7].zScore, 5e-5);
  // Published as well, and unanswered rows keep SCORE_NONE.
  EXPECT_EQ(g_workTable[7].zScore, g_publishedTable[7].zScore);
  EXPECT_EQ(SCORE_NONE, g_workTable[1].zScore);
  EXPECT_EQ(SCORE_NONE, g_publishedTable[1].zScore);
}

TEST_F(Tables, ZScoresOfOneTwoAndEqualOffsets) {
  Answer(3, 123456);
  UpdateStatistics();
  EXPECT_EQ(0.0, g_workTable[3].zScore);

  Answer(5, 123456 + 1000000);
  UpdateStatistics();
  EXPECT_NEAR(sqrt(2.0) / 2, g_workTable[3].zScore, 1e-12);
  EXPECT_NEAR(sqrt(2.0) / 2, g_workTable[5].zScore, 1e-12);

  Answer(5, 123456);
  Answer(6, 123456);
  UpdateStatistics();
  for (int i : {3, 5, 6}) EXPECT_EQ(0.0, g_workTable[i].zScore);
}

TEST_F(Tables, NoAnswerChangesNoScoreAndQualifiesNoRow) {
  g_workTable[2].zScore = 0.25;   // left from an earlier round
  UpdateStatistics();
  EXPECT_EQ(0.25, g_workTable[2].zScore);
  for (int flag : Inliers()) EXPECT_EQ(0, flag);
}

TEST_F(Tables, OneOrTwoAnswersAreInliersWithoutTheTest) {
  Answer(9, -864000000000);
  EXPECT_EQ(1, Inliers()[9]);
  Answer(1, 0);
  std::vector<int> flags = Inliers();
  EXPECT_EQ(1, flags[9]);
  EXPECT_EQ(1, flags[1]);
}

TEST_F(Tables, FiveOffsetsHaveFencesMinus23And17Inclusive) {
  // Q1 = -8, Q3 = 2, IQR = 10: fences -23 and 17.
  const int64_t offsets[] = {1000, -10, 0, 10, -30};
  for (int i = 0; i < 5; ++i) Answer(i * 2, offsets[i]);
  std::vector<int> flags = Inliers();
  EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 1, 0, 1, 0, 0, 0}), flags);

  Answer(0, 17);
  Answer(8, -23);
  flags = Inliers();
  EXPECT_EQ(1, flags[0]);
  EXPECT_EQ(1, flags[8]);

  Answer(0, 18);
  Answer(8, -24);
  flags = Inliers();
  EXPECT_EQ(0, flags[0]);
  EXPECT_EQ(0, flags[8]);
}

TEST_F(Tables, FourOffsetsHaveFencesMinus50And350) {
  Answer(0, 300);
  Answer(1, 0);
  Answer(2, 200);
  Answer(3, 100);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(1, Inliers()[i]);
  Answer(0, 350);
  EXPECT_EQ(1, Inliers()[0]);
  Answer(0, 351);
  EXPECT_EQ(0, Inliers()[0]);
  Answer(1, -50);
  EXPECT_EQ(1, Inliers()[1]);
  Answer(1, -51);
  EXPECT_EQ(0, Inliers()[1]);
}

TEST(IqrFences, QuartilePositionsForThreeToTenOffsets) {
  // Offsets growing faster than linearly, so every interpolation shows.
  int64_t x[10];
  for (int i = 0; i < 10; ++i) x[i] = 1000 * (i + 1) * (i + 1) - 7;
  struct Row { int n, q1Base, q1Quarters, q3Base, q3Quarters; };
  const Row table[] = {{3, 0, 3, 1, 3}, {4, 1, 0, 2, 0}, {5, 1, 1, 2, 1}, {6, 1, 2, 3, 2},
                       {7, 1, 3, 4, 3}, {8, 2, 0, 5, 0}, {9, 2, 1, 5, 1}, {10, 2, 2, 6, 2}};
  for (const Row& row : table) {
    const int64_t q1 = x[row.q1Base] + (x[row.q1Base + 1] - x[row.q1Base]) * row.q1Quarters / 4;
    const int64_t q3 = x[row.q3Base] + (x[row.q3Base + 1] - x[row.q3Base]) * row.q3Quarters / 4;
    int64_t low, high;
    IqrFences(x, row.n, &low, &high);
    EXPECT_EQ((int64_t)(q1 - 1.5 * (q3 - q1)), low) << "n = " << row.n;
    EXPECT_EQ((int64_t)(q3 + 1.5 * (q3 - q1)), high) << "n = " << row.n;
  }
}

TEST(IqrFences, FractionsAndFencesTruncateTowardZero) {
  // The quarter steps truncate, and a negative fence truncates up toward zero.
  const int64_t x[] = {-100, -7, -4, -1, 50};
  int64_t low, high;
  IqrFences(x, 5, &low, &high);
  // Q1 = -7 + trunc(3 / 4) = -7, Q3 = -4 + trunc(3 / 4) = -4, IQR 3: fences -11.5 and 0.5.
  EXPECT_EQ(-11, low);
  EXPECT_EQ(0, high);
}

TEST(IqrFences, OffsetsSpreadOverTheWholeRangeGiveSaturatedFencesNotOverflow) {
  // IQR = 2^64 - 3 does not fit a signed 64-bit value: the fences saturate and
  // every offset lies within them (natively under the overflow checks).
  const int64_t wide[] = {INT64_MIN, INT64_MIN + 1, INT64_MAX - 1, INT64_MAX};
  int64_t low, high;
  IqrFences(wide, 4, &low, &high);
  EXPECT_EQ(INT64_MIN, low);
  EXPECT_EQ(INT64_MAX, high);

  // Three offsets: Q1 = x0 + 3/4 (x1 - x0) with a difference of 2^63.
  const int64_t three[] = {INT64_MIN, 0, INT64_MAX};
  IqrFences(three, 3, &low, &high);
  EXPECT_EQ(INT64_MIN, low);
  EXPECT_EQ(INT64_MAX, high);

  // Far outliers around a tight cluster: the cluster's fences are exact.
  const int64_t cluster[] = {INT64_MIN, -1, 0, 1, INT64_MAX};
  IqrFences(cluster, 5, &low, &high);
  EXPECT_EQ(-2, low);   // Q1 = -1, Q3 = 0, IQR 1: -2.5 and 1.5 truncated
  EXPECT_EQ(1, high);
}

TEST_F(Tables, ExtremeOffsetsKeepTheClusterAndDropTheOutliers) {
  const int64_t offsets[] = {INT64_MIN, -1, 0, 1, INT64_MAX};
  for (int i = 0; i < 5; ++i) Answer(i, offsets[i]);
  EXPECT_EQ((std::vector<int>{0, 1, 1, 1, 0, 0, 0, 0, 0, 0}), Inliers());
  UpdateStatistics();
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(g_workTable[i].zScore >= 0.0 && g_workTable[i].zScore < 2.0) << i;
}

TEST_F(Tables, ScoresAreWrittenToTheAnsweringRowsWhateverTheirIndexField) {
  // The scores go to the rows that answered, found by position.
  Answer(2, 0);
  Answer(6, 1000000);
  g_workTable[2].index = 77;
  g_workTable[6].index = -5;
  UpdateStatistics();
  EXPECT_NEAR(sqrt(2.0) / 2, g_workTable[2].zScore, 1e-12);
  EXPECT_NEAR(sqrt(2.0) / 2, g_publishedTable[6].zScore, 1e-12);
}

TEST(SelectionSort, EqualKeysNeverDisplaceTheCandidateSoTheSortIsNotStable) {
  SERVERROW rows[4] = {};
  const uint32_t delays[] = {5, 3, 5, 3};
  for (int i = 0; i < 4; ++i) {
    rows[i].index = i;
    rows[i].delayMs = delays[i];
  }
  SortByDelay(rows, 4);
  // A stable sort would give 1 3 0 2.
  EXPECT_EQ(1, rows[0].index);
  EXPECT_EQ(3, rows[1].index);
  EXPECT_EQ(2, rows[2].index);
  EXPECT_EQ(0, rows[3].index);
}

TEST(SelectionSort, ANaNKeyNeverMoves) {
  SERVERROW rows[3] = {};
  rows[0].index = 0;
  rows[0].zScore = NAN;
  rows[1].index = 1;
  rows[1].zScore = 0.5;
  rows[2].index = 2;
  rows[2].zScore = 0.1;
  SortByZScore(rows, 3);
  EXPECT_EQ(0, rows[0].index);
  EXPECT_EQ(2, rows[1].index);
  EXPECT_EQ(1, rows[2].index);
}

TEST_F(Tables, SelectionOrdersByRootDelayThenZScoreThenDelay) {
  struct { int row; uint32_t delay; double root, z; } answers[] = {
      {1, 10, 5.0, 0.2}, {3, 10, 1.0, 0.9}, {4, 7, 3.0, 0.5}, {6, 10, 3.0, 0.2}, {8, 7, 3.0, 0.5}};
  for (auto& a : answers) Answer(a.row, 0, a.delay, a.root);
  for (auto& a : answers) g_workTable[a.row].zScore = a.z;
  SelectServers();
  const int expected[] = {8, 4, 6, 1, 3, 9, 0, 5, 7, 2};
  for (int p = 0; p < SERVER_COUNT; ++p) EXPECT_EQ(expected[p], g_selectionTable[p].index) << "position " << p;
  // The work table is left in row order.
  for (int i = 0; i < SERVER_COUNT; ++i) EXPECT_EQ(i, g_workTable[i].index);
}

}  // namespace

namespace {

// Tables where some rows name NTS servers: only authenticated rows count.
class NtsTables : public Tables {
 protected:
  static void AnswerNts(int i, int64_t offset, bool authenticated, uint32_t delayMs = 20) {
    Answer(i, offset, delayMs);
    g_workTable[i].nts = 1;
    g_workTable[i].authenticated = authenticated ? 1 : 0;
  }
  // The row index of the first candidate SetClockFromBest would try, or -1.
  static int FirstQualifying() {
    SelectServers();
    for (const SERVERROW& row : g_selectionTable)
      if (row.inlier && row.zScore < ZSCORE_LIMIT) return row.index;
    return -1;
  }
};

TEST_F(NtsTables, ForgedPlainMajorityNeitherSetsTheClockNorPushesTheAuthenticatedRowOut) {
  // Nine plain rows agree on +5 s and answer fastest; one NTS row says 0.
  for (int i = 0; i < 9; ++i) Answer(i, 50000000, 1);
  AnswerNts(9, 0, true, 40);
  UpdateStatistics();
  for (int i = 0; i < 9; ++i) EXPECT_EQ(SCORE_NONE, g_workTable[i].zScore) << i;
  for (int i = 0; i < 9; ++i) EXPECT_EQ(SCORE_NONE, g_publishedTable[i].zScore) << i;
  EXPECT_EQ(0.0, g_workTable[9].zScore);   // alone among the candidates
  EXPECT_EQ(9, FirstQualifying());
  for (const SERVERROW& row : g_selectionTable) {
    if (row.index == 9) continue;
    EXPECT_EQ(0, row.inlier) << row.index;
  }
}

TEST_F(NtsTables, WithoutAnAuthenticatedAnswerNoRowQualifies) {
  for (int i = 0; i < 9; ++i) Answer(i, 1000, 1);
  AnswerNts(9, 1000, false);   // answered, but not authenticated (kept only as a guard)
  UpdateStatistics();
  EXPECT_EQ(-1, FirstQualifying());
  // A failed NTS row that never answered still makes the table an NTS one.
  g_workTable[9].delayMs = DELAY_NONE;
  UpdateStatistics();
  EXPECT_EQ(-1, FirstQualifying());
}

TEST_F(NtsTables, StatisticsRunOverTheAuthenticatedRowsAlone) {
  // The documented three offsets on authenticated rows, plain rows far away.
  AnswerNts(0, 0, true);
  AnswerNts(4, 100, true);
  AnswerNts(7, 400, true);
  Answer(1, 100000000);
  Answer(2, -100000000);
  UpdateStatistics();
  EXPECT_NEAR(0.8006, g_workTable[0].zScore, 5e-5);
  EXPECT_NEAR(0.3203, g_workTable[4].zScore, 5e-5);
  EXPECT_NEAR(1.1209, g_workTable[7].zScore, 5e-5);
  EXPECT_EQ(SCORE_NONE, g_workTable[1].zScore);
  // Five authenticated offsets -20, 0, 10, 100, 400: fences -43 and 77 of the
  // five alone drop 100 and 400, which the plain rows' spread would have kept.
  AnswerNts(5, -20, true);
  AnswerNts(6, 10, true);
  std::vector<int> flags = Inliers();
  EXPECT_EQ((std::vector<int>{1, 0, 0, 0, 0, 1, 1, 0, 0, 0}), flags);
}

TEST_F(NtsTables, ATableWithoutNtsRowsScoresEveryAnswer) {
  Answer(0, 0);
  Answer(1, 50000000, 1);
  g_workTable[1].authenticated = 0;
  UpdateStatistics();
  EXPECT_NE(SCORE_NONE, g_workTable[0].zScore);
  EXPECT_NE(SCORE_NONE, g_workTable[1].zScore);
  EXPECT_FALSE(TableNamesNts(g_workTable));
}

TEST_F(NtsTables, ResetMarksRowsThatNameNtsHosts) {
  const wch* hosts[] = {WSTR("nts://localhost"), WSTR("  NTS://[::1]:4460"), WSTR("localhost"), WSTR("ntsx://a")};
  for (int i = 0; i < 4; ++i) WCopy(g_workTable[i].host, HOST_CHARS, hosts[i]);
  ResetServerTable();
  EXPECT_EQ(1, g_workTable[0].nts);
  EXPECT_EQ(1, g_workTable[1].nts);
  EXPECT_EQ(0, g_workTable[2].nts);
  EXPECT_EQ(0, g_workTable[3].nts);
  EXPECT_EQ(1, g_publishedTable[1].nts);
}

}  // namespace
