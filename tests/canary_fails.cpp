// Fails on purpose. The test command expects ctest to report this binary as
// failed; if it ever passes, a failing test could go unnoticed.
#include <gtest/gtest.h>

TEST(Canary, FailsSoTheRunnerIsSeenToReportFailures) { EXPECT_EQ(1, 2); }
