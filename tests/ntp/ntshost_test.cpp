// The per-host Network Time Security records: sharing by host name, the cookie
// store that each request draws one from and each reply refills, the one key
// exchange a round allows, and the judge that lets nothing but an authentic
// answer to the request through.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "ntp/nts_host.h"
#include "testaes.h"

namespace {

typedef std::vector<uint8_t> Bytes;

const uint8_t kC2s[NTS_KEY_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                     17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kS2c[NTS_KEY_BYTES] = {0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a,
                                     0x9b, 0x9c, 0x9d, 0x9e, 0x9f, 0xa0, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5,
                                     0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xab, 0xac, 0xad, 0xae, 0xaf};

NTSKERESPONSE KeResponse(int cookies, uint8_t mark) {
  NTSKERESPONSE r = {};
  r.errorCode = r.warningCode = -1;
  strcpy(r.server, "127.0.0.2");
  r.port = 11127;
  r.cookieCount = cookies;
  for (int i = 0; i < cookies; ++i) {
    r.cookies[i].length = 100;
    memset(r.cookies[i].bytes, mark + i, 100);
  }
  return r;
}

class NtsHostRecords : public ::testing::Test {
 protected:
  void SetUp() override { NtsHostsReset(); }
  void TearDown() override { NtsHostsReset(); }
};

TEST_F(NtsHostRecords, RowsNamingOneHostShareItsRecordAndAFullTableReusesTheLeastUsed) {
  NTSHOST* a = NtsHostAt(WSTR("Time.Example"), 0);
  ASSERT_NE(nullptr, a);
  EXPECT_EQ(a, NtsHostAt(WSTR("  time.example\t"), 0));
  EXPECT_NE(a, NtsHostAt(WSTR("time.example.net"), 0));
  EXPECT_EQ(nullptr, NtsHostAt(WSTR("   "), 0));
  EXPECT_EQ(nullptr, NtsHostAt(nullptr, 0));

  const NTSKERESPONSE ke = KeResponse(8, 0x10);
  NtsTakeKeyExchange(a, kC2s, kS2c, &ke);
  const wch* names[] = {WSTR("h1"), WSTR("h2"), WSTR("h3"), WSTR("h4"), WSTR("h5"), WSTR("h6"),
                        WSTR("h7"), WSTR("h8"), WSTR("h9")};
  // Ten records: "time.example.net" and h1..h8 fill them beside a; a is used
  // again, so h9 takes the place of the least recently used, "time.example.net".
  for (int i = 0; i < 8; ++i) ASSERT_NE(nullptr, NtsHostAt(names[i], 0));
  ASSERT_EQ(a, NtsHostAt(WSTR("time.example"), 0));
  EXPECT_EQ(8, a->cookieCount);
  NTSHOST* nine = NtsHostAt(names[8], 0);
  ASSERT_NE(nullptr, nine);
  EXPECT_NE(a, nine);
  EXPECT_EQ(a, NtsHostAt(WSTR("TIME.EXAMPLE"), 0));
  EXPECT_TRUE(a->keyed);
  NTSHOST* again = NtsHostAt(WSTR("time.example.net"), 0);
  EXPECT_FALSE(again->keyed);
  EXPECT_EQ(0, again->cookieCount);
}

TEST_F(NtsHostRecords, KeyExchangeServersOnOtherPortsOfOneHostKeepKeysOfTheirOwn) {
  NTSHOST* standard = NtsHostAt(WSTR("localhost"), 0);
  ASSERT_NE(nullptr, standard);
  EXPECT_EQ(standard, NtsHostAt(WSTR("LOCALHOST"), 4460));   // the standard port by number
  EXPECT_EQ(standard, NtsHostAt(WSTR("localhost"), 0));
  const NTSKERESPONSE ke = KeResponse(8, 0x20);
  NtsTakeKeyExchange(standard, kC2s, kS2c, &ke);
  NTSHOST* other = NtsHostAt(WSTR("localhost"), 4461);
  ASSERT_NE(nullptr, other);
  EXPECT_NE(standard, other);
  EXPECT_EQ(4461, other->kePort);
  EXPECT_FALSE(other->keyed);   // a server with another certificate gets no keys of the first
  EXPECT_EQ(other, NtsHostAt(WSTR(" localhost "), 4461));
  EXPECT_TRUE(NtsHostAt(WSTR("localhost"), 0)->keyed);
}

TEST_F(NtsHostRecords, EachCookieGoesOnceAndPlaceholdersAskForTheStoreToBeFullAgain) {
  NTSHOST* h = NtsHostAt(WSTR("localhost"), 0);
  NTSCOOKIE c;
  int placeholders = -1;
  EXPECT_TRUE(NtsNeedsKeyExchange(h));
  EXPECT_FALSE(NtsTakeCookie(h, &c, &placeholders));

  const NTSKERESPONSE ke = KeResponse(8, 0x10);
  NtsTakeKeyExchange(h, kC2s, kS2c, &ke);
  EXPECT_FALSE(NtsNeedsKeyExchange(h));
  EXPECT_STREQ("127.0.0.2", h->server);
  EXPECT_EQ(11127, h->port);
  // Oldest first, each once; a full store asks for none beyond the one back.
  ASSERT_TRUE(NtsTakeCookie(h, &c, &placeholders));
  EXPECT_EQ(0x10, c.bytes[0]);
  EXPECT_EQ(0, placeholders);
  ASSERT_TRUE(NtsTakeCookie(h, &c, &placeholders));
  EXPECT_EQ(0x11, c.bytes[0]);
  EXPECT_EQ(1, placeholders);
  EXPECT_EQ(6, h->cookieCount);
  // A reply to the second request brings 1 + 1: the store is full again, and
  // a surplus finds no room.
  const NTSKERESPONSE more = KeResponse(4, 0x40);
  NtsAddCookies(h, more.cookies, 2);
  EXPECT_EQ(8, h->cookieCount);
  NtsAddCookies(h, more.cookies + 2, 2);
  EXPECT_EQ(8, h->cookieCount);
  EXPECT_EQ(0x41, h->cookies[7].bytes[0]);

  for (int i = 0; i < 8; ++i) ASSERT_TRUE(NtsTakeCookie(h, &c, &placeholders));
  EXPECT_EQ(7, placeholders);
  EXPECT_FALSE(NtsTakeCookie(h, &c, &placeholders));
  EXPECT_TRUE(NtsNeedsKeyExchange(h));

  NtsTakeKeyExchange(h, kC2s, kS2c, &ke);
  NtsForgetKeys(h);
  EXPECT_TRUE(NtsNeedsKeyExchange(h));
  EXPECT_EQ(0, h->cookieCount);
  const uint8_t zero[NTS_KEY_BYTES] = {};
  EXPECT_EQ(0, memcmp(zero, h->s2cKey, NTS_KEY_BYTES));
}

TEST_F(NtsHostRecords, OneKeyExchangeARoundSoAFailedOneWaitsForTheNext) {
  NTSHOST* h = NtsHostAt(WSTR("localhost"), 0);
  const uint32_t round = NtsRound();
  EXPECT_TRUE(NtsClaimKeyExchange(h, round));
  EXPECT_FALSE(NtsClaimKeyExchange(h, round));
  EXPECT_TRUE(NtsClaimKeyExchange(NtsHostAt(WSTR("other"), 0), round));   // per host
  NtsNextRound();
  EXPECT_NE(round, NtsRound());
  EXPECT_TRUE(NtsClaimKeyExchange(h, NtsRound()));
  EXPECT_FALSE(NtsClaimKeyExchange(h, NtsRound()));
  EXPECT_EQ(2u, h->keCount);
}

TEST_F(NtsHostRecords, TheBackOffDoublesFromTwoSecondsToAnHourAndAnAuthenticatedAnswerEndsIt) {
  NTSHOST* h = NtsHostAt(WSTR("localhost"), 0);
  EXPECT_FALSE(NtsBackingOff(h, 0));
  uint64_t now = 5000;
  const uint64_t waits[] = {2000,   4000,    8000,    16000,   32000,   64000,  128000,
                            256000, 512000, 1024000, 2048000, 3600000, 3600000};
  for (uint64_t wait : waits) {
    NtsNoteFailure(h, now);
    EXPECT_TRUE(NtsBackingOff(h, now + wait - 1)) << wait;
    EXPECT_FALSE(NtsBackingOff(h, now + wait)) << wait;
    now += wait;
  }
  for (int i = 0; i < 100; ++i) NtsNoteFailure(h, now);   // no overflow of the doubling
  EXPECT_EQ(now + NTS_BACKOFF_MAX_MS, h->retryAtMs);
  NtsNoteExchange(h, true, now);
  EXPECT_FALSE(NtsBackingOff(h, now));
  NtsNoteFailure(h, now);
  EXPECT_EQ(now + NTS_BACKOFF_FIRST_MS, h->retryAtMs);   // from the start again
}

TEST_F(NtsHostRecords, CookiesSpentWithoutOneAuthenticAnswerCountAsAFailure) {
  NTSHOST* h = NtsHostAt(WSTR("localhost"), 0);
  const NTSKERESPONSE ke = KeResponse(2, 0x10);
  NtsTakeKeyExchange(h, kC2s, kS2c, &ke);
  NTSCOOKIE cookie;
  int placeholders;
  ASSERT_TRUE(NtsTakeCookie(h, &cookie, &placeholders));
  NtsNoteExchange(h, false, 100);   // a cookie left: silence alone is no failure
  EXPECT_EQ(0u, h->failures);
  ASSERT_TRUE(NtsTakeCookie(h, &cookie, &placeholders));
  NtsNoteExchange(h, false, 100);   // the last one spent in vain
  EXPECT_EQ(1u, h->failures);
  EXPECT_TRUE(NtsBackingOff(h, 2099));
  EXPECT_FALSE(NtsBackingOff(h, 2100));

  // An answer brings a cookie back and ends the back-off; a NAK that takes
  // the keys is the server's restart, not a failure.
  NtsTakeKeyExchange(h, kC2s, kS2c, &ke);
  ASSERT_TRUE(NtsTakeCookie(h, &cookie, &placeholders));
  const NTSCOOKIE back = ke.cookies[0];
  NtsAddCookies(h, &back, 1);
  NtsNoteExchange(h, true, 3000);
  EXPECT_EQ(0u, h->failures);
  EXPECT_FALSE(NtsBackingOff(h, 3000));
  NtsForgetKeys(h);
  NtsNoteExchange(h, false, 3000);
  EXPECT_EQ(0u, h->failures);
}

// The judge against replies a server would make.
class NtsJudge : public NtsHostRecords {
 protected:
  const uint64_t kNonce = 0x1122334455667788ull;
  NTSHOST* host = nullptr;
  NTSPENDING pending = {};
  uint8_t aeadNonce[NTS_NONCE_BYTES];

  void SetUp() override {
    NtsHostsReset();
    ASSERT_NE(nullptr, TestAes());
    host = NtsHostAt(WSTR("localhost"), 0);
    const NTSKERESPONSE ke = KeResponse(8, 0x10);
    NtsTakeKeyExchange(host, kC2s, kS2c, &ke);
    NTSCOOKIE c;
    int placeholders;
    ASSERT_TRUE(NtsTakeCookie(host, &c, &placeholders));
    pending.host = host;
    pending.nonce = kNonce;
    for (int i = 0; i < NTS_UID_BYTES; ++i) pending.uid[i] = (uint8_t)(0xC0 + i);
    pending.aes = TestAes();
    NtsPendingKey(&pending);
    for (int i = 0; i < NTS_NONCE_BYTES; ++i) aeadNonce[i] = (uint8_t)(0x33 * i);
  }

  // A reply to `nonce` echoing uid (unless null), with `cookies` new cookies
  // encrypted under `key` (no authenticator when null).
  Bytes Reply(uint64_t nonce, const uint8_t* uid, int cookies, const uint8_t* key, uint8_t flags = 0x24,
              uint8_t stratum = 2, uint32_t refid = 0) {
    uint8_t p[2048] = {};
    p[0] = flags;
    p[1] = stratum;
    for (int i = 0; i < 4; ++i) p[12 + i] = (uint8_t)(refid >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i) p[24 + i] = (uint8_t)(nonce >> (56 - 8 * i));
    p[32] = 0xEB;
    p[40] = 0xEB;
    p[43] = 1;
    size_t n = SNTP_PACKET_BYTES;
    if (uid) n = AppendNtsField(p, sizeof p, n, NTS_EF_UNIQUE_ID, uid, NTS_UID_BYTES);
    uint8_t inner[1200];
    size_t innerLength = 0;
    for (int i = 0; i < cookies; ++i) {
      uint8_t body[100];
      memset(body, 0x60 + i, sizeof body);
      innerLength = AppendNtsField(inner, sizeof inner, innerLength, NTS_EF_COOKIE, body, sizeof body);
    }
    if (key) n = AppendNtsAuthenticator(p, sizeof p, n, inner, innerLength, aeadNonce, TestAes(), key);
    return Bytes(p, p + n);
  }

  SNTPCHECK Judge(const Bytes& b, SNTPREPLY* r) { return NtsJudgeReply(&pending, b.data(), b.size(), r); }
};

TEST_F(NtsJudge, AnAuthenticAnswerRefillsTheStoreAndPassesThePlainChecks) {
  SNTPREPLY r;
  EXPECT_EQ(SNTP_OK, Judge(Reply(kNonce, pending.uid, 1, kS2c), &r));
  EXPECT_EQ(2, r.stratum);
  EXPECT_EQ(8, host->cookieCount);
  EXPECT_EQ(0x60, host->cookies[7].bytes[0]);
  EXPECT_EQ(1, pending.cookiesAdded);
  // Authentic, but the server's clock is unsynchronised: its cookies are good,
  // its time is not.
  NTSCOOKIE c;
  int placeholders;
  ASSERT_TRUE(NtsTakeCookie(host, &c, &placeholders));
  EXPECT_EQ(SNTP_BAD_LEAP, Judge(Reply(kNonce, pending.uid, 1, kS2c, 0xE4), &r));
  EXPECT_EQ(8, host->cookieCount);
}

TEST_F(NtsJudge, TamperedUnauthenticatedOrReplayedDatagramsAreNoAnswer) {
  const Bytes good = Reply(kNonce, pending.uid, 1, kS2c);
  SNTPREPLY r;
  // Every single flipped byte, header and fields alike.
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(bad, &r)) << "byte " << i;
  }
  EXPECT_EQ(7, host->cookieCount);
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce, pending.uid, 1, nullptr), &r));   // no authenticator
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce, pending.uid, 1, kC2s), &r));      // another key
  // An earlier genuine reply, to another request.
  uint8_t earlierUid[NTS_UID_BYTES];
  memset(earlierUid, 0x77, sizeof earlierUid);
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce - 1, earlierUid, 1, kS2c), &r));
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce, earlierUid, 1, kS2c), &r));
  EXPECT_EQ(7, host->cookieCount);
  EXPECT_EQ(0, pending.cookiesAdded);
  EXPECT_TRUE(host->keyed);
}

// A NAK is unauthenticated: anyone who saw the request can forge one. It asks
// for a key exchange but takes nothing away, and the genuine reply behind it
// is still the answer, judged by the keys the request was made with.
TEST_F(NtsJudge, ANakEchoingTheIdentifierAsksForAKeyExchangeAndTheWaitGoesOn) {
  SNTPREPLY r;
  uint8_t otherUid[NTS_UID_BYTES];
  memset(otherUid, 0x55, sizeof otherUid);
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce, otherUid, 0, nullptr, 0xE4, 0, SNTP_KISS_NTSN), &r));
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(Reply(kNonce, nullptr, 0, nullptr, 0xE4, 0, SNTP_KISS_NTSN), &r));
  EXPECT_FALSE(pending.nak);
  EXPECT_FALSE(NtsNeedsKeyExchange(host));

  const Bytes nak = Reply(kNonce, pending.uid, 0, nullptr, 0xE4, 0, SNTP_KISS_NTSN);
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(nak, &r));
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(nak, &r));   // a second one counts once
  EXPECT_EQ(0u, r.kissCode);
  EXPECT_TRUE(pending.nak);
  EXPECT_EQ(1u, host->naks);
  EXPECT_TRUE(NtsNeedsKeyExchange(host));
  EXPECT_TRUE(NtsCanAsk(host));
  EXPECT_EQ(7, host->cookieCount);
  EXPECT_EQ(0, memcmp(kS2c, host->s2cKey, NTS_KEY_BYTES));

  // The genuine reply behind it: the answer, and the mark goes.
  EXPECT_EQ(SNTP_OK, Judge(Reply(kNonce, pending.uid, 1, kS2c), &r));
  EXPECT_EQ(8, host->cookieCount);
  EXPECT_FALSE(NtsNeedsKeyExchange(host));

  // Without one the mark stays; the keys go only when a key exchange brings others.
  NTSCOOKIE c;
  int placeholders;
  ASSERT_TRUE(NtsTakeCookie(host, &c, &placeholders));
  EXPECT_EQ(SNTP_IGNORE_ORIGIN, Judge(nak, &r));
  EXPECT_TRUE(NtsNeedsKeyExchange(host));
  uint8_t newS2c[NTS_KEY_BYTES];
  memset(newS2c, 0x9A, sizeof newS2c);
  const NTSKERESPONSE ke = KeResponse(8, 0x30);
  NtsTakeKeyExchange(host, kC2s, newS2c, &ke);
  EXPECT_FALSE(NtsNeedsKeyExchange(host));
  EXPECT_EQ(8, host->cookieCount);
  // A late reply to the earlier request is still authentic under the old keys;
  // its cookies, made for them, stay out of the new store.
  EXPECT_EQ(SNTP_OK, Judge(Reply(kNonce, pending.uid, 1, kS2c), &r));
  EXPECT_EQ(8, host->cookieCount);
  EXPECT_EQ(0x37, host->cookies[7].bytes[0]);
}

}  // namespace
