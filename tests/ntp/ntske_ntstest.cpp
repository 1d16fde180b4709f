// The NTS key exchange against chronyd serving NTS on loopback (with-peers,
// QL_PEERS_NTS): the keys and cookies of a full exchange, proven by an
// NTS-protected NTP exchange with the same server, and the failures a client
// must not talk its way around: another name, an untrusted CA, a silent host.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "ntp/clock.h"
#include "ntp/nts_client.h"
#include "ntp/nts_ef.h"
#include "loopudp.h"
#include "ntstrust.h"
#include "testaes.h"

namespace {

// The servers with-peers starts for this binary.
const uint16_t kGoodPort = 4460;      // certificate for localhost from the trusted test CA
const uint16_t kOtherNamePort = 4461; // certificate for elsewhere.test from the same CA
const uint16_t kStrayCaPort = 4462;   // certificate for localhost from an untrusted CA, sent with it
const uint16_t kOrphanPort = 4463;    // the same certificate without its CA
const uint16_t kMutePort = 4464;      // takes the connection, never answers
const uint16_t kFullQueuePort = 4465; // leaves the connect unanswered
const uint16_t kClosedPort = 4466;    // nothing listens
const uint16_t kExpiredPort = 4480;   // certificate for localhost from the test CA, expired in 2020
const uint16_t kGoodNtpPort = 11123;

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

class NtsKeyExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("QL_CHRONY_MISSING") == "1") GTEST_SKIP() << "no chronyd to serve NTS";
    ASSERT_FALSE(Env("QL_NTS_CA").empty()) << "run through with-peers with QL_PEERS_NTS=1";
    ASSERT_TRUE(g_ntsTrust->added) << "the test CA could not be added to the prefix's Root store";
  }

  static NTSKERESULT Run(uint16_t port, NTSKEOUTCOME* outcome, uint32_t timeoutMs = NTSKE_TIMEOUT_MS,
                         double* ms = nullptr) {
    const int64_t start = GetCounterTime();
    const NTSKERESULT result = RunNtsKeyExchange(L"localhost", port, timeoutMs, outcome);
    if (ms) *ms = (GetCounterTime() - start) / 10000.0;
    return result;
  }

};

std::string Describe(const NTSKEOUTCOME& o) {
  char text[320];
#if QL_NTS_KEYLOG_ROUTE
  snprintf(text, sizeof text, "result %d, detail 0x%lx, note '%s'", (int)o.result, (unsigned long)o.detail, o.note);
#else
  snprintf(text, sizeof text, "result %d, detail 0x%lx", (int)o.result, (unsigned long)o.detail);
#endif
  return text;
}

// One NTS-protected request with the first cookie; the raw reply in *datagram.
bool NtsNtpExchange(const NTSKEOUTCOME& ke, const NTSCOOKIE& cookie, uint64_t nonce, const uint8_t uid[NTS_UID_BYTES],
                    std::vector<uint8_t>* datagram) {
  const AESBLOCK* aes = TestAes();
  if (!aes) return false;
  uint8_t aeadNonce[NTS_NONCE_BYTES];
  for (int i = 0; i < NTS_NONCE_BYTES; ++i) aeadNonce[i] = (uint8_t)(nonce >> (i % 8) * 8) ^ (uint8_t)i;
  uint8_t packet[1024];
  const size_t length = BuildNtsRequest(packet, sizeof packet, nonce, uid, &cookie, 0, aeadNonce, aes, ke.c2sKey);
  if (length == 0) return false;
  return AskLoopbackUdp(ke.response.port ? ke.response.port : 123, packet, length, 2000, datagram);
}

TEST_F(NtsKeyExchange, GivesKeysAndEightCookiesThatTheServerAcceptsForAnAuthenticatedReply) {
  NTSKEOUTCOME ke;
  ASSERT_EQ(NTSKX_OK, Run(kGoodPort, &ke)) << Describe(ke);
#if QL_NTS_KEYLOG_ROUTE
  EXPECT_TRUE(ke.keysFromKeyLog);
#endif
  EXPECT_EQ(NTS_MAX_COOKIES, ke.response.cookieCount);
  for (int i = 0; i < ke.response.cookieCount; ++i) EXPECT_GT(ke.response.cookies[i].length, 0);
  EXPECT_EQ(kGoodNtpPort, ke.response.port);
  EXPECT_NE(0, memcmp(ke.c2sKey, ke.s2cKey, NTS_KEY_BYTES));

  // chronyd may answer unsynchronised for its first moments; each reply brings
  // a fresh cookie, and every one must authenticate.
  WSADATA wsa;
  ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
  uint8_t uid[NTS_UID_BYTES];
  for (int i = 0; i < NTS_UID_BYTES; ++i) uid[i] = (uint8_t)(0x5A ^ i);
  NTSCOOKIE cookie = ke.response.cookies[0];
  NTSCHECK check = NTS_IGNORE_HEADER;
  std::vector<uint8_t> datagram;
  uint64_t nonce = 0x0123456789ABCDEFull;
  for (int attempt = 0; attempt < 20 && check != NTS_OK; ++attempt) {
    if (attempt) Sleep(250);
    ++nonce;
    ASSERT_TRUE(NtsNtpExchange(ke, cookie, nonce, uid, &datagram)) << "no reply from chronyd's NTP port";
    NTSREPLY reply;
    check = CheckNtsReply(datagram.data(), datagram.size(), nonce, uid, TestAes(), ke.s2cKey, &reply);
    ASSERT_TRUE(check == NTS_OK || check == NTS_BAD_HEADER) << "check " << check << ", header " << reply.header;
    ASSERT_EQ(1, reply.cookieCount);
    cookie = reply.cookies[0];
  }
  EXPECT_EQ(NTS_OK, check);

  // The same datagram under another key is a forgery.
  uint8_t wrongKey[NTS_KEY_BYTES];
  memcpy(wrongKey, ke.s2cKey, NTS_KEY_BYTES);
  wrongKey[7] ^= 0x10;
  NTSREPLY reply;
  EXPECT_EQ(NTS_IGNORE_AUTH, CheckNtsReply(datagram.data(), datagram.size(), nonce, uid, TestAes(), wrongKey, &reply));
  WSACleanup();
}

TEST_F(NtsKeyExchange, RefusesACertificateForAnotherNameOrWithoutATrustedRoot) {
  NTSKEOUTCOME ke;
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kOtherNamePort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_CN_NO_MATCH, ke.detail);
  EXPECT_EQ(0, ke.response.cookieCount);
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kStrayCaPort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_UNTRUSTEDROOT, ke.detail);
  // Wine's SSL policy passes a chain that ends short of any root.
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kOrphanPort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_CHAINING, ke.detail);
  uint8_t zero[NTS_KEY_BYTES] = {};
  EXPECT_EQ(0, memcmp(zero, ke.c2sKey, NTS_KEY_BYTES));
}

TEST_F(NtsKeyExchange, ASilentHostCostsItsDeadlineAndAClosedPortNothing) {
  NTSKEOUTCOME ke;
  double ms = 0;
  // Connected, but no handshake reply: the overall deadline ends it.
  EXPECT_EQ(NTSKX_TIMEOUT, Run(kMutePort, &ke, 1500, &ms)) << Describe(ke);
  EXPECT_GE(ms, 1400);
  EXPECT_LT(ms, 4000);
  // The connect itself goes unanswered: its own deadline comes first.
  EXPECT_EQ(NTSKX_TIMEOUT, Run(kFullQueuePort, &ke, 20000, &ms)) << Describe(ke);
  EXPECT_GE(ms, NTSKE_CONNECT_MS - 100);
  EXPECT_LT(ms, NTSKE_CONNECT_MS + 2500);
  EXPECT_EQ(NTSKX_CONNECT, Run(kClosedPort, &ke, NTSKE_TIMEOUT_MS, &ms)) << Describe(ke);
  EXPECT_LT(ms, NTSKE_CONNECT_MS);
}

// The certificate check's clock, set by a test and put back when it ends.
const uint64_t kDay = 24ull * 3600 * 10000000;
uint64_t g_testNow;
uint64_t TestNow() { return g_testNow; }
struct CertificateClock {
  explicit CertificateClock(uint64_t now) { Set(now); }
  void Set(uint64_t now) {
    g_testNow = now;
    SetNtsCertificateClock(TestNow);
  }
  ~CertificateClock() { SetNtsCertificateClock(nullptr); }
};

uint64_t SystemNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (uint64_t)now.dwHighDateTime << 32 | now.dwLowDateTime;
}

uint64_t At(WORD year, WORD month, WORD day) {
  SYSTEMTIME t = {};
  t.wYear = year;
  t.wMonth = month;
  t.wDay = day;
  FILETIME f;
  SystemTimeToFileTime(&t, &f);
  return (uint64_t)f.dwHighDateTime << 32 | f.dwLowDateTime;
}

TEST_F(NtsKeyExchange, AClockYearsBehindTheBuildIsCheckedAtTheBuildTimeYetRefusesWhatNoMomentCouldPass) {
  // The certificates are made as the test starts, after the build.
  ASSERT_NE(0u, NtsBuildTime());
  ASSERT_LT(NtsBuildTime(), SystemNow());
  CertificateClock clock(NtsBuildTime() - 6 * 365 * kDay);   // a reset machine
  NTSKEOUTCOME ke;
  ASSERT_EQ(NTSKX_OK, Run(kGoodPort, &ke)) << Describe(ke);
  EXPECT_TRUE(ke.clockBehind);
  EXPECT_EQ(NTS_MAX_COOKIES, ke.response.cookieCount);
  // Trust and name are judged as ever.
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kOtherNamePort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_CN_NO_MATCH, ke.detail);
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kStrayCaPort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_UNTRUSTEDROOT, ke.detail);

  // A certificate that expired before the build, however the clock reads:
  // years back, within its own period, and now.
  for (uint64_t now : {NtsBuildTime() - 6 * 365 * kDay, At(2020, 3, 1), SystemNow()}) {
    SCOPED_TRACE(now);
    clock.Set(now);
    EXPECT_EQ(NTSKX_CERTIFICATE, Run(kExpiredPort, &ke)) << Describe(ke);
    EXPECT_EQ(CERT_E_EXPIRED, ke.detail);
    EXPECT_EQ(now < NtsBuildTime(), ke.clockBehind);
    EXPECT_EQ(0, ke.response.cookieCount);
  }
}

TEST_F(NtsKeyExchange, AChainRefusedOnlyForItsPeriodSaysTheClockMayBeWrong) {
  CertificateClock clock(SystemNow() + 10 * 365 * kDay);   // a clock years ahead
  NTSKEOUTCOME ke;
  EXPECT_EQ(NTSKX_CERTIFICATE_PERIOD, Run(kGoodPort, &ke)) << Describe(ke);
  EXPECT_EQ(CERT_E_EXPIRED, ke.detail);
  EXPECT_FALSE(ke.clockBehind);
  // Out of its period and for another name or an untrusted root: no clock helps.
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kOtherNamePort, &ke)) << Describe(ke);
  EXPECT_EQ(NTSKX_CERTIFICATE, Run(kStrayCaPort, &ke)) << Describe(ke);
  // At the build, before the certificates were made: checked at that time,
  // which is before their period.
  clock.Set(NtsBuildTime());
  EXPECT_EQ(NTSKX_CERTIFICATE_PERIOD, Run(kGoodPort, &ke)) << Describe(ke);
  EXPECT_FALSE(ke.clockBehind);
}

}  // namespace
