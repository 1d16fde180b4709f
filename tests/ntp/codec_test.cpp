// The SNTP packet, the timestamp conversion and the arithmetic of one exchange.
#include <gtest/gtest.h>
#include <string.h>

#include "ntp/sntp_codec.h"

namespace {

// The bytes of a 32-bit value in network order, read back as the packet holds them.
uint32_t Net(uint32_t host) {
  uint8_t b[4] = {(uint8_t)(host >> 24), (uint8_t)(host >> 16), (uint8_t)(host >> 8), (uint8_t)host};
  uint32_t v;
  memcpy(&v, b, 4);
  return v;
}

void Put32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v >> 24);
  p[1] = (uint8_t)(v >> 16);
  p[2] = (uint8_t)(v >> 8);
  p[3] = (uint8_t)v;
}

const uint64_t kNonce = 0x0123456789ABCDEFull;

// A well-formed server reply to the request carrying kNonce.
struct Reply {
  uint8_t b[SNTP_PACKET_BYTES] = {};
  Reply() {
    b[0] = 0x24;   // LI 0, version 4, mode 4
    b[1] = 2;
    Put32(b + 4, 0x00000042);
    Put32(b + 24, (uint32_t)(kNonce >> 32));
    Put32(b + 28, (uint32_t)kNonce);
    Put32(b + 32, 3944678400u);   // 2025-01-01 00:00:00
    Put32(b + 36, 0x80000000u);
    Put32(b + 40, 3944678401u);
    Put32(b + 44, 0);
  }
};

}  // namespace

TEST(NtpToFileTime, ConvertsTheDocumentedInstants) {
  EXPECT_EQ(133801632000000000ull, NtpToFileTime(Net(3944678400u), Net(0)));
  EXPECT_EQ(133801632000000000ull + 5000000, NtpToFileTime(Net(3944678400u), Net(0x80000000u)));
  EXPECT_EQ(133801632000000000ull + 9999999, NtpToFileTime(Net(3944678400u), Net(0xFFFFFFFFu)));
  // 1970-01-01, the Unix epoch, is 2208988800 s after 1900.
  EXPECT_EQ(116444736000000000ull, NtpToFileTime(Net(2208988800u), Net(0)));
}

TEST(NtpToFileTime, SecondsWithTheTopBitClearBelongToTheEraAfter2036) {
  // 2036-02-07 06:28:16 UTC is the first second of era 1: seconds 0 there.
  const uint64_t eraStart = FILETIME_1900 + 0x100000000ull * FILETIME_PER_SECOND;
  EXPECT_EQ(eraStart, NtpToFileTime(Net(0), Net(0)));
  EXPECT_EQ(eraStart + 3600 * FILETIME_PER_SECOND, NtpToFileTime(Net(3600), Net(0)));
  // The last second of era 0 stays where it was, and so does 1968-01-20 (top bit set).
  EXPECT_EQ(FILETIME_1900 + 0xFFFFFFFFull * FILETIME_PER_SECOND, NtpToFileTime(Net(0xFFFFFFFFu), Net(0)));
  EXPECT_EQ(FILETIME_1900 + 0x80000000ull * FILETIME_PER_SECOND, NtpToFileTime(Net(0x80000000u), Net(0)));
}

TEST(SampleArithmetic, RootDelayDelayAndOffset) {
  EXPECT_DOUBLE_EQ(1000.0, RootDelayToMs(0x00010000));
  EXPECT_DOUBLE_EQ(1.007080078125, RootDelayToMs(0x00000042));
  EXPECT_EQ(65535999.984741211, RootDelayToMs(0xFFFFFFFFu));

  const uint64_t t1 = 133801632000000000ull;
  EXPECT_EQ(1u, DelayMs(t1, t1 + 14999));
  EXPECT_EQ(2u, DelayMs(t1, t1 + 15000));
  EXPECT_EQ(0u, DelayMs(t1, t1 + 4999));
  EXPECT_EQ(0u, DelayMs(t1, t1));

  // Server one second ahead, no transit time.
  EXPECT_EQ(10000000, ClockOffset(t1, t1 + 10000000, t1 + 10000000, t1));
  // Server one day behind with a 20 ms round trip of which 10 ms are server hold.
  const int64_t day = 864000000000;
  EXPECT_EQ(-day, ClockOffset(t1, t1 - day + 50000, t1 - day + 150000, t1 + 200000));
  // Truncation toward zero of an odd sum.
  EXPECT_EQ(0, ClockOffset(t1, t1 + 1, t1, t1));
  EXPECT_EQ(0, ClockOffset(t1, t1 - 1, t1, t1));
}

TEST(SampleArithmetic, AWallClockStepDuringTheExchangeIsDetected) {
  const uint64_t t1 = 133801632000000000ull;
  EXPECT_FALSE(WallClockStepped(t1, t1 + 300000, 5000, 5000 + 300000));
  EXPECT_FALSE(WallClockStepped(t1, t1 + 300000 + 100000, 5000, 5000 + 300000));   // 10 ms: tolerated
  EXPECT_TRUE(WallClockStepped(t1, t1 + 300000 + 100001, 5000, 5000 + 300000));
  EXPECT_TRUE(WallClockStepped(t1, t1 - 10000000, 5000, 5000 + 300000));           // stepped back 1 s
}

TEST(SampleArithmetic, AWallClockSteppedBackALittleNeverGivesAWrappedDelay) {
  const uint64_t t1 = 133801632000000000ull;
  // 5 ms back with a counter interval of 1 ms: within 10 ms, but T4 < T1 would
  // give a delay of 3,133,608,134 ms.
  EXPECT_TRUE(WallClockStepped(t1, t1 - 50000, 5000, 5000 + 10000));
  EXPECT_TRUE(WallClockStepped(t1, t1 - 1, 5000, 5000));
  EXPECT_FALSE(WallClockStepped(t1, t1, 5000, 5000));
  // A counter that ran backwards, and extreme values, are steps as well.
  EXPECT_TRUE(WallClockStepped(t1, t1 + 10000, 5000, 4000));
  EXPECT_TRUE(WallClockStepped(0, UINT64_MAX, INT64_MIN, INT64_MAX));
  // The allowance is the caller's: a coarse clock may be given more.
  EXPECT_TRUE(WallClockStepped(t1, t1 + 500000, 0, 300000, CLOCK_STEP_ALLOWANCE));
  EXPECT_FALSE(WallClockStepped(t1, t1 + 500000, 0, 300000, CLOCK_STEP_ALLOWANCE + 312500));
}

TEST(SampleArithmetic, OffsetOfExtremeTimestampsIsDefined) {
  // Natively under the undefined-behaviour sanitizer: no signed overflow.
  EXPECT_EQ(-1, ClockOffset(0, UINT64_MAX, UINT64_MAX, 0));   // wraps to -2, halved
  ClockOffset(UINT64_MAX, 0, 0, UINT64_MAX);
  ClockOffset(0x8000000000000000ull, 0x7FFFFFFFFFFFFFFFull, 0, 0);
  EXPECT_EQ(0u, DelayMs(UINT64_MAX, UINT64_MAX));
}

TEST(CounterConversion, NeverOverflowsAndNeverGoesBackwards) {
  const int64_t f = 10000000;   // a 10 MHz counter
  EXPECT_EQ(0, CounterTo100ns(0, f));
  EXPECT_EQ(123456789, CounterTo100ns(123456789, f));
  // Past the 25.6 hours after which counter * 10^7 leaves the signed range.
  const int64_t twoDays = 2LL * 86400 * f;
  EXPECT_EQ(twoDays, CounterTo100ns(twoDays, f));
  const int64_t huge = INT64_MAX / 2;
  EXPECT_LE(CounterTo100ns(huge, f), CounterTo100ns(huge + 1, f));
  // A 3 GHz counter after a year of uptime, exactly.
  const int64_t g = 3000000000LL, year = 365LL * 86400;
  EXPECT_EQ(year * 10000000 + 3, CounterTo100ns(year * g + 1000, g));
  int64_t previous = 0;
  for (int64_t c = 0; c < 40000000; c += 3333331) {
    const int64_t t = CounterTo100ns(c, 3579545);
    EXPECT_GE(t, previous);
    previous = t;
  }
}

TEST(Request, CarriesTheClientHeaderAndTheNonceOnly) {
  uint8_t p[SNTP_PACKET_BYTES];
  memset(p, 0xAA, sizeof p);
  BuildRequest(p, kNonce);
  EXPECT_EQ(0x23, p[0]);
  for (int i = 1; i < 40; ++i) EXPECT_EQ(0, p[i]) << "byte " << i;
  EXPECT_EQ(0x01, p[40]);
  EXPECT_EQ(0xEF, p[47]);
}

TEST(Reply, AGenuineReplyDecodes) {
  Reply r;
  SNTPREPLY out;
  ASSERT_EQ(SNTP_OK, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  EXPECT_EQ(2, out.stratum);
  EXPECT_EQ(0x42u, out.rootDelayRaw);
  EXPECT_EQ(133801632000000000ull + 5000000, out.receiveTime);
  EXPECT_EQ(133801632000000000ull + 10000000, out.transmitTime);
  // Longer datagrams (extension fields, a MAC) are fine; so is stratum 15.
  uint8_t longer[68] = {};
  memcpy(longer, r.b, sizeof r.b);
  longer[1] = 15;
  EXPECT_EQ(SNTP_OK, DecodeReply(longer, sizeof longer, kNonce, &out));
  EXPECT_EQ(15, out.stratum);
}

TEST(Reply, BadRepliesAreRefusedWithTheirReason) {
  SNTPREPLY out;
  {
    Reply r;
    EXPECT_EQ(SNTP_BAD_LENGTH, DecodeReply(r.b, 47, kNonce, &out));
    EXPECT_EQ(SNTP_BAD_LENGTH, DecodeReply(r.b, 0, kNonce, &out));
  }
  {
    Reply r;
    EXPECT_EQ(SNTP_IGNORE_ORIGIN, DecodeReply(r.b, sizeof r.b, kNonce + 1, &out));
  }
  for (int mode : {0, 1, 2, 3, 5, 6, 7}) {
    Reply r;
    r.b[0] = (uint8_t)(0x20 | mode);
    EXPECT_EQ(SNTP_BAD_MODE, DecodeReply(r.b, sizeof r.b, kNonce, &out)) << "mode " << mode;
  }
  {
    Reply r;
    r.b[0] = 0xE4;   // LI 3
    EXPECT_EQ(SNTP_BAD_LEAP, DecodeReply(r.b, sizeof r.b, kNonce, &out));
    r.b[0] = 0x64;   // LI 1 (a leap second today) is a synchronised server
    EXPECT_EQ(SNTP_OK, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  }
  for (int stratum : {16, 17, 255}) {
    Reply r;
    r.b[1] = (uint8_t)stratum;
    EXPECT_EQ(SNTP_BAD_STRATUM, DecodeReply(r.b, sizeof r.b, kNonce, &out)) << "stratum " << stratum;
  }
  {
    Reply r;
    memset(r.b + 40, 0, 8);
    EXPECT_EQ(SNTP_BAD_TRANSMIT, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  }
}

TEST(Reply, AZeroReceiveTimestampIsRefusedRatherThanReadAsTheYear2036) {
  SNTPREPLY out;
  Reply r;
  memset(r.b + 32, 0, 8);
  EXPECT_EQ(SNTP_BAD_RECEIVE, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  // Only the whole timestamp counts: a receive time on a whole second is fine.
  Reply whole;
  Put32(whole.b + 36, 0);
  EXPECT_EQ(SNTP_OK, DecodeReply(whole.b, sizeof whole.b, kNonce, &out));
}

TEST(Reply, AReplySentBeforeItsRequestArrivedIsRefused) {
  SNTPREPLY out;
  Reply r;
  Put32(r.b + 40, 3944678400u);   // T3 half a second before T2
  Put32(r.b + 44, 0);
  EXPECT_EQ(SNTP_BAD_ORDER, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  Put32(r.b + 44, 0x80000000u);   // T3 = T2: a server that answers in no time
  EXPECT_EQ(SNTP_OK, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  // Across the era boundary, a 2036 transmit after a 2036 receive is in order.
  Reply era;
  Put32(era.b + 32, 0xFFFFFFFFu);
  Put32(era.b + 40, 1);
  EXPECT_EQ(SNTP_OK, DecodeReply(era.b, sizeof era.b, kNonce, &out));
}

TEST(KissOfDeath, AStratumZeroReplyIsClassifiedWithItsCodeBeforeTheLeapCheck) {
  SNTPREPLY out;
  for (uint8_t flags : {0xE4, 0x24}) {   // leap indicator 3, as real servers send it, and 0
    Reply r;
    r.b[0] = flags;
    r.b[1] = 0;
    memcpy(r.b + 12, "RATE", 4);
    out.kissCode = 0;
    EXPECT_EQ(SNTP_KISS, DecodeReply(r.b, sizeof r.b, kNonce, &out)) << (int)flags;
    EXPECT_EQ(SNTP_KISS_RATE, out.kissCode);
  }
  Reply deny;
  deny.b[0] = 0xE4;
  deny.b[1] = 0;
  memcpy(deny.b + 12, "DENY", 4);
  ASSERT_EQ(SNTP_KISS, DecodeReply(deny.b, sizeof deny.b, kNonce, &out));
  EXPECT_EQ(SNTP_KISS_DENY, out.kissCode);
  EXPECT_EQ(SNTP_KISS_CODE('R', 'S', 'T', 'R'), SNTP_KISS_RSTR);
  // A refused reply leaves no code behind from an earlier kiss.
  Reply ok;
  ASSERT_EQ(SNTP_OK, DecodeReply(ok.b, sizeof ok.b, kNonce, &out));
  EXPECT_EQ(0u, out.kissCode);
}

TEST(KissOfDeath, AKissThatDoesNotProveItAnswersTheRequestIsNoKiss) {
  SNTPREPLY out;
  Reply r;
  r.b[0] = 0xE4;
  r.b[1] = 0;
  memcpy(r.b + 12, "DENY", 4);
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, DecodeReply(r.b, sizeof r.b, kNonce ^ 1, &out));
  EXPECT_EQ(0u, out.kissCode);
  EXPECT_EQ(SNTP_BAD_LENGTH, DecodeReply(r.b, 47, kNonce, &out));
  EXPECT_EQ(0u, out.kissCode);
  r.b[0] = 0xE3;   // mode 3: a client's packet, not a server's
  EXPECT_EQ(SNTP_BAD_MODE, DecodeReply(r.b, sizeof r.b, kNonce, &out));
  EXPECT_EQ(0u, out.kissCode);
}

TEST(Reply, RandomDatagramsNeverReadOutOfBoundsNorPassAsGenuine) {
  // Natively this runs under the address sanitizer.
  uint32_t state = 12345;
  SNTPREPLY out;
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    const size_t length = (size_t)(i % 97);
    uint8_t* data = new uint8_t[length + 1];   // exact size, so an overread is caught
    for (size_t k = 0; k < length; ++k) data[k] = (uint8_t)((state = state * 1664525u + 1013904223u) >> 24);
    if (length >= 32 && (i & 1)) {
      Put32(data + 24, (uint32_t)(kNonce >> 32));
      Put32(data + 28, (uint32_t)kNonce);
    }
    if (DecodeReply(data, length, kNonce, &out) == SNTP_OK) {
      ++accepted;
      EXPECT_GE(length, 48u);
      EXPECT_EQ(4, data[0] & 7);
      EXPECT_NE(3, data[0] >> 6);
      EXPECT_TRUE(out.stratum >= 1 && out.stratum <= 15);
      EXPECT_NE(0u, out.receiveTime);
      EXPECT_GE(out.transmitTime, out.receiveTime);
    }
    delete[] data;
  }
  EXPECT_GT(accepted, 0);   // the generator does reach the accepting path
}
