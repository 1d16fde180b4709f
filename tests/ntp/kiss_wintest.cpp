// The per-host record of refusals and back-offs, on a clock the test moves.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "ntp/kiss.h"
#include "ntp/sntp_codec.h"

namespace {

uint64_t g_nowMs;
uint64_t TestNow() { return g_nowMs; }

class KissRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    KissReset();
    g_nowMs = 1000;
    SetKissClock(TestNow);
  }
  void TearDown() override {
    SetKissClock(nullptr);
    KissReset();
  }
  // How long `host` is left out from now, probing millisecond by millisecond
  // around the expected end.
  static bool HeldFor(const wch* host, uint64_t ms) {
    const uint64_t start = g_nowMs;
    g_nowMs = start + ms - 1;
    const bool before = KissHoldsBack(host);
    g_nowMs = start + ms;
    const bool after = KissHoldsBack(host);
    g_nowMs = start;
    return before && !after;
  }
};

TEST_F(KissRecord, RateBackOffDoublesFromSixtySecondsUpToOneHour) {
  const wch* host = L"ntp.example";
  const uint64_t expected[] = {60000, 120000, 240000, 480000, 960000, 1920000, 3600000, 3600000};
  for (uint64_t ms : expected) {
    KissReceived(host, SNTP_KISS_RATE);
    EXPECT_TRUE(HeldFor(host, ms)) << ms;
    g_nowMs += ms;
  }
  KissAnswered(host);
  KissReceived(host, SNTP_KISS_RATE);
  EXPECT_TRUE(HeldFor(host, 60000));
}

TEST_F(KissRecord, RefusalsLastTheRunAndOutliveAGoodAnswer) {
  KissReceived(L"a.example", SNTP_KISS_DENY);
  KissReceived(L"b.example", SNTP_KISS_RSTR);
  g_nowMs += 100u * 3600000u;
  KissAnswered(L"a.example");
  EXPECT_TRUE(KissHoldsBack(L"a.example"));
  EXPECT_TRUE(KissHoldsBack(L"B.EXAMPLE"));   // host names compare without regard to case
  EXPECT_FALSE(KissHoldsBack(L"c.example"));
  EXPECT_FALSE(KissHoldsBack(L""));
  EXPECT_FALSE(KissHoldsBack(nullptr));
  // A refusal after a rate limit turns it into a refusal.
  KissReceived(L"c.example", SNTP_KISS_RATE);
  KissReceived(L"c.example", SNTP_KISS_DENY);
  g_nowMs += 3600000;
  EXPECT_TRUE(KissHoldsBack(L"c.example"));
}

TEST_F(KissRecord, OtherCodesChangeNothing) {
  for (uint32_t code : {SNTP_KISS_CODE('I', 'N', 'I', 'T'), SNTP_KISS_CODE('S', 'I', 'M', 0), 0u,
                        SNTP_KISS_CODE('d', 'e', 'n', 'y')})
    KissReceived(L"a.example", code);
  EXPECT_FALSE(KissHoldsBack(L"a.example"));
}

TEST_F(KissRecord, MoreHostsThanRecordsNeverLoseARefusal) {
  for (int i = 0; i < KISS_RECORDS; ++i) KissReceived(std::to_wstring(i).c_str(), SNTP_KISS_DENY);
  // Every slot is a refusal: a further host is not recorded, none is forgotten.
  KissReceived(L"extra", SNTP_KISS_DENY);
  for (int i = 0; i < KISS_RECORDS; ++i) EXPECT_TRUE(KissHoldsBack(std::to_wstring(i).c_str())) << i;
  // Back-offs that have run out make room again.
  KissReset();
  for (int i = 0; i < KISS_RECORDS; ++i) KissReceived(std::to_wstring(i).c_str(), SNTP_KISS_RATE);
  g_nowMs += 60000;
  KissReceived(L"new", SNTP_KISS_DENY);
  EXPECT_TRUE(KissHoldsBack(L"new"));
  // An overlong host is compared as far as a row holds it.
  const std::wstring longHost(300, L'x');
  KissReceived(longHost.c_str(), SNTP_KISS_DENY);
  EXPECT_TRUE(KissHoldsBack(std::wstring(127, L'x').c_str()));
}

}  // namespace
