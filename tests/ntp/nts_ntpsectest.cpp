// Network Time Security against ntpsec's ntpd on loopback (with-peers,
// QL_PEERS_NTPSEC), which differs from chronyd where RFC 8915 leaves room: its
// TLS sends session tickets after the handshake, its key exchange names neither
// server nor port (NTP on 123 of the host asked), its cookies are 104 bytes, it
// takes a request only when the placeholders have the cookie's length and the
// authenticator holds the nonce and tag alone, and it answers a cookie it can no
// longer read with silence, never a NAK.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "ntp/enginehooks.h"
#include "ntp/nts_client.h"
#include "ntp/nts_ef.h"
#include "ntp/nts_exchange.h"
#include "ntp/nts_host.h"
#include "ntp/probe.h"
#include "ntp/selection.h"
#include "ntp/setclock.h"
#include "loopudp.h"
#include "ntstrust.h"
#include "testaes.h"

namespace {

const uint16_t kKeeperPort = 4490;   // with-peers' keeper of ntpd
const size_t kNtpsecCookieBytes = 104;   // key index, nonce, tag, AEAD id, both AES-SIV-CMAC-256 keys
const int64_t kOneMs = 10000;

int64_t Abs(int64_t v) {
  return v < 0 ? -v : v;
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

// Asks the keeper (restart, rotate, forget, capbnd); "" when no answer comes.
std::string AskKeeper(const std::string& what, DWORD timeoutMs = 20000) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return "";
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
  sockaddr_in keeper = {};
  keeper.sin_family = AF_INET;
  keeper.sin_port = htons(kKeeperPort);
  keeper.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char answer[128] = {};
  int n = 0;
  if (connect(s, (const sockaddr*)&keeper, sizeof keeper) == 0 && send(s, what.data(), (int)what.size(), 0) > 0)
    n = recv(s, answer, sizeof answer - 1, 0);
  closesocket(s);
  return n > 0 ? std::string(answer, n) : "";
}

std::string Describe(const NTSKEOUTCOME& o) {
  char text[320];
  snprintf(text, sizeof text, "result %d, detail 0x%lx, note '%s'", (int)o.result, (unsigned long)o.detail, o.note);
  return text;
}

class NtpsecNts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("QL_NTPSEC_MISSING") == "1") GTEST_SKIP() << "no ntpd of ntpsec to serve NTS";
    ASSERT_EQ("", NtsPeersUnready());
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    NtsHostsReset();
  }
  void TearDown() override {
    NtsHostsReset();
    WSACleanup();
  }

  // Exchanges until ntpd answers (it may answer unsynchronised for a moment
  // after a start; those replies refill the store as well).
  static int UntilAnswered(NTSHOST* host, SERVERROW* row, NTSEXCHANGE* info) {
    int r = 0;
    for (int attempt = 0; attempt < 20 && !r; ++attempt) {
      if (attempt) Sleep(250);
      r = QueryNtsServerTime(host, 0, NtsRound(), row, nullptr, info);
      if (info->keyExchanged && info->keResult != 0) break;
    }
    return r;
  }
};

// One request built here with `placeholders`, sent to 127.0.0.1:123; the raw
// reply in *datagram (false when none came within a second).
bool Exchange(const NTSKEOUTCOME& ke, const NTSCOOKIE& cookie, int placeholders, uint64_t nonce,
              const uint8_t uid[NTS_UID_BYTES], std::vector<uint8_t>* datagram) {
  uint8_t aeadNonce[NTS_NONCE_BYTES];
  for (int i = 0; i < NTS_NONCE_BYTES; ++i) aeadNonce[i] = (uint8_t)(nonce >> (i % 8) * 8) ^ (uint8_t)(0xA0 + i);
  uint8_t packet[2048];
  const size_t length =
      BuildNtsRequest(packet, sizeof packet, nonce, uid, &cookie, placeholders, aeadNonce, TestAes(), ke.c2sKey);
  if (length == 0) return false;
  return AskLoopbackUdp(123, packet, length, 1000, datagram);
}

TEST_F(NtpsecNts, KeyExchangeWithoutPortOrServerRecordLeadsToPort123AndRepliesRefillWithPlaceholders) {
  const std::string capbnd = AskKeeper("capbnd", 2000);
  printf("ntpd CapBnd: %s\n", capbnd.c_str());
  ASSERT_FALSE(capbnd.empty());
  EXPECT_EQ(0u, strtoull(capbnd.c_str(), nullptr, 16) >> 25 & 1) << "CAP_SYS_TIME in ntpd's bounding set";

  NTSKEOUTCOME ke;
  ASSERT_EQ(NTSKX_OK, RunNtsKeyExchange(L"localhost", 0, NTSKE_TIMEOUT_MS, &ke)) << Describe(ke);
  EXPECT_EQ(QL_NTS_KEYLOG_ROUTE != 0, ke.keysFromKeyLog);
  EXPECT_EQ(-1, ke.response.errorCode);
  EXPECT_EQ(-1, ke.response.warningCode);
  EXPECT_STREQ("", ke.response.server);
  EXPECT_EQ(0, ke.response.port);
  ASSERT_EQ(NTS_MAX_COOKIES, ke.response.cookieCount);
  std::set<std::vector<uint8_t>> distinct;
  for (int i = 0; i < ke.response.cookieCount; ++i) {
    const NTSCOOKIE& c = ke.response.cookies[i];
    EXPECT_EQ(kNtpsecCookieBytes, c.length) << i;
    distinct.insert(std::vector<uint8_t>(c.bytes, c.bytes + c.length));
  }
  EXPECT_EQ((size_t)NTS_MAX_COOKIES, distinct.size());
  EXPECT_NE(0, memcmp(ke.c2sKey, ke.s2cKey, NTS_KEY_BYTES));

  // The first cookie alone, then the second with seven placeholders of its
  // length: one fresh cookie for each, all authenticated under the exported keys.
  ASSERT_NE(nullptr, TestAes());
  uint8_t uid[NTS_UID_BYTES];
  for (int i = 0; i < NTS_UID_BYTES; ++i) uid[i] = (uint8_t)(0x3C ^ i * 7);
  uint64_t nonce = 0x1122334455667788ull;
  NTSREPLY reply;
  std::vector<uint8_t> datagram;
  NTSCHECK check = NTS_IGNORE_HEADER;
  int used = 0;
  for (int attempt = 0; attempt < 20 && check != NTS_OK; ++attempt, ++used) {
    if (attempt) Sleep(250);
    ASSERT_LT(used, NTS_MAX_COOKIES - 1);
    ASSERT_TRUE(Exchange(ke, ke.response.cookies[used], 0, ++nonce, uid, &datagram)) << "no reply on 127.0.0.1:123";
    check = CheckNtsReply(datagram.data(), datagram.size(), nonce, uid, TestAes(), ke.s2cKey, &reply);
    ASSERT_TRUE(check == NTS_OK || check == NTS_BAD_HEADER) << "check " << check << ", header " << reply.header;
    ASSERT_EQ(1, reply.cookieCount);
    EXPECT_EQ(kNtpsecCookieBytes, reply.cookies[0].length);
  }
  ASSERT_EQ(NTS_OK, check);
  EXPECT_EQ(10, reply.sntp.stratum);

  ASSERT_TRUE(Exchange(ke, ke.response.cookies[used], NTS_MAX_COOKIES - 1, ++nonce, uid, &datagram));
  EXPECT_EQ(NTS_OK, CheckNtsReply(datagram.data(), datagram.size(), nonce, uid, TestAes(), ke.s2cKey, &reply));
  EXPECT_EQ(NTS_MAX_COOKIES, reply.cookieCount);
  for (int i = 0; i < reply.cookieCount; ++i) EXPECT_EQ(kNtpsecCookieBytes, reply.cookies[i].length) << i;
  printf("ntpsec: key exchange without port or server record, %d cookies of %u bytes; a reply to 7 placeholders: "
         "%u bytes with %d cookies\n",
         ke.response.cookieCount, (unsigned)ke.response.cookies[0].length, (unsigned)datagram.size(),
         reply.cookieCount);

  // The same reply under another key is a forgery.
  uint8_t wrongKey[NTS_KEY_BYTES];
  memcpy(wrongKey, ke.s2cKey, NTS_KEY_BYTES);
  wrongKey[0] ^= 0x80;
  EXPECT_EQ(NTS_IGNORE_AUTH, CheckNtsReply(datagram.data(), datagram.size(), nonce, uid, TestAes(), wrongKey, &reply));
}

TEST_F(NtpsecNts, MeasuresItsClockOnEightCookiesAndRefillsTheStoreAfterLosses) {
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  ASSERT_NE(nullptr, host);
  SERVERROW row = {};
  NTSEXCHANGE info;
  ASSERT_EQ(10, UntilAnswered(host, &row, &info)) << "key exchange " << info.keResult << ", last check " << info.last;
  EXPECT_EQ(1u, host->keCount);
  EXPECT_STREQ("", host->server);
  EXPECT_EQ(0, host->port);
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  std::vector<int64_t> offsets = {Abs(row.offset)};

  // Eight more on the cookies the replies bring, each sent once, no key exchange.
  std::set<std::vector<uint8_t>> sent;
  for (int i = 0; i < NTS_MAX_COOKIES; ++i) {
    const NTSCOOKIE& next = host->cookies[0];
    EXPECT_EQ(kNtpsecCookieBytes, next.length);
    sent.insert(std::vector<uint8_t>(next.bytes, next.bytes + next.length));
    SERVERROW r = {};
    EXPECT_EQ(10, QueryNtsServerTime(host, 0, NtsRound(), &r, nullptr, &info)) << "exchange " << i;
    EXPECT_FALSE(info.keyExchanged);
    EXPECT_EQ(0, info.placeholders);
    EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
    EXPECT_LT(r.delayMs, 100u);
    offsets.push_back(Abs(r.offset));
  }
  EXPECT_EQ((size_t)NTS_MAX_COOKIES, sent.size());
  // ntpd serves this machine's clock: the true offset is nil.
  std::sort(offsets.begin(), offsets.end());
  EXPECT_LT(offsets[offsets.size() / 2], kOneMs) << "largest " << offsets.back();

  // Three replies lost: the next request carries three placeholders, which
  // ntpd takes only when they have the cookie's length, and the store is full again.
  host->cookieCount -= 3;
  SERVERROW r = {};
  EXPECT_EQ(10, QueryNtsServerTime(host, 0, NtsRound(), &r, nullptr, &info));
  EXPECT_EQ(3, info.placeholders);
  EXPECT_EQ(NTS_OK, info.last);
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  EXPECT_EQ(1u, host->keCount);
}

TEST_F(NtpsecNts, TheCookiesAtHandServeAfterItsCookieKeysRotate) {
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  NTSEXCHANGE info;
  ASSERT_EQ(10, UntilAnswered(host, &row, &info)) << "key exchange " << info.keResult;
  ASSERT_EQ(1u, host->keCount);
  ASSERT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  // ntpsec's cookies open with the index of the key that made them.
  std::set<std::vector<uint8_t>> oldIndexes;
  for (int i = 0; i < host->cookieCount; ++i) oldIndexes.insert({host->cookies[i].bytes, host->cookies[i].bytes + 4});
  ASSERT_EQ(1u, oldIndexes.size());
  // A new cookie key in front of the old one, as its daily rotation leaves
  // them: the cookies made under the old key still serve, and every reply
  // brings one made under the new key.
  ASSERT_EQ("restarted", AskKeeper("rotate"));
  for (int i = 0; i < NTS_MAX_COOKIES; ++i) {
    SERVERROW r = {};
    EXPECT_EQ(10, i ? QueryNtsServerTime(host, 0, NtsRound(), &r, nullptr, &info) : UntilAnswered(host, &r, &info))
        << "exchange " << i << ", last check " << info.last;
    EXPECT_FALSE(info.keyExchanged);
  }
  EXPECT_EQ(1u, host->keCount);
  ASSERT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  for (int i = 0; i < host->cookieCount; ++i)
    EXPECT_EQ(0u, oldIndexes.count({host->cookies[i].bytes, host->cookies[i].bytes + 4})) << "cookie " << i;
}

// The clock set end to end from a table whose one NTS row names ntpd, beside
// plain rows on the chronyd of with-peers: a probe round, the choice, and the
// setting through the system call (which under Wine succeeds within half a
// second of the host clock, and never changes it).
struct SetRecorder {
  static SYSTEMTIME asked, before;
  static int calls;
  static BOOL WINAPI SetLocal(const SYSTEMTIME* t) {
    GetLocalTime(&before);
    asked = *t;
    ++calls;
    return SetLocalTime(t);
  }
};
SYSTEMTIME SetRecorder::asked, SetRecorder::before;
int SetRecorder::calls;
std::wstring g_log;

int64_t FileTimeOf(const SYSTEMTIME& t) {
  FILETIME ft;
  if (!SystemTimeToFileTime(&t, &ft)) return 0;
  return (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime);
}

class NtpsecProbe : public NtpsecNts {
 protected:
  void SetUp() override {
    NtpsecNts::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    InitTableLock();
    locked_ = true;
    ForgetNtsReasons();
    memset(g_workTable, 0, sizeof g_workTable);
  }
  void TearDown() override {
    SetClockSetter(nullptr);
    SetNtsBackoffClock(nullptr);
    ForgetNtsReasons();
    g_engineHooks = ENGINEHOOKS();
    if (locked_) DeleteTableLock();
    NtpsecNts::TearDown();
  }
  bool locked_ = false;
};

TEST_F(NtpsecProbe, AProbeRoundSetsTheClockFromTheNtpsecRowAlone) {
  const std::string plain = Env("QL_PEER_NET") + ".250";
  const std::wstring wplain(plain.begin(), plain.end());
  for (int r = 0; r < SERVER_COUNT; ++r) lstrcpynW(g_workTable[r].host, r == 8 ? L"nts://localhost" : wplain.c_str(), HOST_CHARS);
  ResetServerTable();
  EXPECT_EQ(1, g_workTable[8].nts);

  auto allAnswered = [] {
    for (int r = 0; r < SERVER_COUNT; ++r)
      if (g_workTable[r].result == 0) return false;
    return true;
  };
  const unsigned passes = SYNC_PROBE_PASSES;
  for (int round = 0; round < 60 && !allAnswered(); ++round) {
    if (round) Sleep(250);
    ProbeServers(&passes);
  }
  ASSERT_EQ(10, g_workTable[8].result);
  EXPECT_EQ(1, g_workTable[8].authenticated);
  EXPECT_EQ(0.0, g_workTable[8].zScore);   // the only candidate
  for (int r = 0; r < SERVER_COUNT; ++r) {
    if (r == 8) continue;
    SCOPED_TRACE(r);
    EXPECT_EQ(3, g_workTable[r].result);
    EXPECT_EQ(SCORE_NONE, g_publishedTable[r].zScore);
  }

  g_log.clear();
  g_engineHooks = ENGINEHOOKS();
  g_engineHooks.appendLog = [](const wch* t) { g_log += t; };
  SetRecorder::calls = 0;
  const CLOCKSETTER setter = {nullptr, SetRecorder::SetLocal};
  SetClockSetter(&setter);
  SYNCOUTCOME outcome = {};
  EXPECT_EQ(0, SetClockFromBest(&outcome));
  EXPECT_EQ(8, g_selectionTable[0].index);
  EXPECT_EQ(1, SetRecorder::calls);
  EXPECT_EQ(std::wstring(L"8: nts://localhost..."), g_log);
  EXPECT_EQ(g_workTable[8].delayMs, outcome.delayMs);
  // ntpd serves this clock: what was set is the clock itself, 10 ms ahead.
  const int64_t lead = FileTimeOf(SetRecorder::asked) - FileTimeOf(SetRecorder::before);
  EXPECT_NEAR(10.0, (double)lead / kOneMs, 25.0);
  for (int r = 0; r < SERVER_COUNT; ++r) EXPECT_EQ(0, g_workTable[r].fresh) << r;
}


uint64_t g_nowMs;
uint64_t Now() { return g_nowMs; }

// New cookie keys met by background rounds: ntpd's silence spends the row's
// cookies, two a round, with no reason to report; the host then backs off as
// after any store spent in vain, and the first round after the back-off
// exchanges keys and answers.
TEST_F(NtpsecProbe, RoundsRecoverFromItsNewKeysThroughTheBackOff) {
  SetNtsBackoffClock(Now);
  g_nowMs = 1000000;
  lstrcpynW(g_workTable[0].host, L"nts://localhost", HOST_CHARS);
  ResetServerTable();
  const unsigned passes = SYNC_PROBE_PASSES;
  for (int round = 0; round < 20 && g_workTable[0].result == 0; ++round) {
    if (round) Sleep(250);
    ProbeServers(&passes);
  }
  ASSERT_EQ(10, g_workTable[0].result);
  const NTSHOST* h = NtsHostAt(L"localhost", 0);
  ASSERT_EQ(1u, h->keCount);
  ASSERT_EQ(NTS_MAX_COOKIES, h->cookieCount);
  ForgetNtsReasons();

  ASSERT_EQ("restarted", AskKeeper("forget"));
  for (unsigned round = 0; round < NTS_MAX_COOKIES / passes; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(NtsBackingOff(h, g_nowMs));
    ProbeServers(&passes);
    EXPECT_EQ(0, g_workTable[0].result);
  }
  EXPECT_EQ(0, h->cookieCount);
  EXPECT_EQ(1u, h->keCount);
  EXPECT_EQ(0u, h->naks);
  EXPECT_EQ(1u, h->failures);
  ProbeServers(&passes);   // within the back-off: no key exchange
  EXPECT_EQ(1u, h->keCount);
  g_nowMs += NTS_BACKOFF_FIRST_MS;
  ProbeServers(&passes);
  EXPECT_EQ(2u, h->keCount);
  EXPECT_EQ(10, g_workTable[0].result);
  EXPECT_EQ(1, g_workTable[0].authenticated);
  EXPECT_EQ(0u, h->failures);
  int row, reason;
  EXPECT_FALSE(TakeNtsReason(&row, &reason)) << "row " << row << ", reason " << reason;
}

}  // namespace
