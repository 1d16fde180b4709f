// The authenticated exchange against chronyd serving NTS on loopback
// (with-peers, QL_PEERS_NTS): it measures the server's clock as closely as a
// plain exchange, lives on its cookies, and takes nothing for an answer that a
// relay between it and the server has flipped or replayed, and after the
// server restarts with new keys it exchanges keys again on the NAK.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "ntp/nts_client.h"
#include "ntp/nts_exchange.h"
#include "ntstrust.h"

namespace {

const uint16_t kGoodPort = 4460;      // NTP on 11123
const uint16_t kRelayedPort = 4467;   // names 127.0.0.2 as its NTP server (port 11130)
const uint16_t kRestartedPort = 4468; // restarted with new keys on request
const uint16_t kAimedPort = 4479;     // names 10.11.12.13, a private address, as its NTP server
const uint16_t kRelayNtpPort = 11130;   // on 127.0.0.2 the relay, on 127.0.0.1 chronyd
const uint16_t kKeeperPort = 4469;
const uint16_t kRelayControlPort = 4470;
const int64_t kOneMs = 10000;

int64_t Abs(int64_t v) {
  return v < 0 ? -v : v;
}

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

sockaddr_in Loopback(const char* address, uint16_t port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

// Asks a helper of with-peers over UDP on loopback and returns its answer
// ("" when none comes within timeoutMs).
std::string AskHelper(uint16_t port, const std::string& what, DWORD timeoutMs = 2000) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return "";
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
  const sockaddr_in helper = Loopback("127.0.0.1", port);
  char answer[128] = {};
  int n = 0;
  if (connect(s, (const sockaddr*)&helper, sizeof helper) == 0 && send(s, what.data(), (int)what.size(), 0) > 0)
    n = recv(s, answer, sizeof answer - 1, 0);
  closesocket(s);
  return n > 0 ? std::string(answer, n) : "";
}

// The relay on 127.0.0.2 between the client and the server behind 4467.
struct RELAYSTATS {
  int requests = -1, replies = -1, length = -1, naks = -1;
};

RELAYSTATS RelayStats() {
  RELAYSTATS r;
  sscanf(AskHelper(kRelayControlPort, "stats").c_str(), "requests %d replies %d length %d naks %d", &r.requests,
         &r.replies, &r.length, &r.naks);
  return r;
}

class NtsExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("QL_CHRONY_MISSING") == "1") GTEST_SKIP() << "no chronyd to serve NTS";
    ASSERT_FALSE(Env("QL_NTS_CA").empty()) << "run through with-peers with QL_PEERS_NTS=1";
    ASSERT_TRUE(g_ntsTrust->added) << "the test CA could not be added to the prefix's Root store";
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    NtsHostsReset();
  }
  void TearDown() override {
    NtsHostsReset();
    WSACleanup();
  }

  // Exchanges until chronyd answers (it may answer unsynchronised for its
  // first moments, and those replies refill the store as well).
  int UntilAnswered(NTSHOST* host, uint16_t kePort, SERVERROW* row, NTSEXCHANGE* info, int* tries = nullptr) {
    int r = 0;
    for (int attempt = 0; attempt < 20 && !r; ++attempt) {
      if (attempt) Sleep(250);
      r = QueryNtsServerTime(host, kePort, NtsRound(), row, nullptr, info);
      if (tries) *tries = attempt + 1;
      if (info->keyExchanged && info->keResult != 0) break;
    }
    return r;
  }

};

TEST_F(NtsExchange, MeasuresChronydsClockWithinAMillisecondOnEightCookiesThatItKeepsAtEight) {
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  ASSERT_NE(nullptr, host);
  SERVERROW row = {};
  NTSEXCHANGE info;
  ASSERT_EQ(10, UntilAnswered(host, kGoodPort, &row, &info)) << "key exchange " << info.keResult << ", last check "
                                                            << info.last;
  EXPECT_EQ(1u, host->keCount);
  EXPECT_EQ(11123, host->port);
  std::vector<int64_t> offsets = {Abs(row.offset)};
  EXPECT_EQ(10, row.stratum);
  EXPECT_EQ(10, row.fresh);
  EXPECT_LT(row.delayMs, 100u);
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);

  // Eight more: each sends the oldest cookie, never one twice, asks for none
  // beyond the one it spends, and leaves the store full; no key exchange.
  std::set<std::vector<uint8_t>> sent;
  for (int i = 0; i < NTS_MAX_COOKIES; ++i) {
    const NTSCOOKIE& next = host->cookies[0];
    sent.insert(std::vector<uint8_t>(next.bytes, next.bytes + next.length));
    SERVERROW r = {};
    EXPECT_EQ(10, QueryNtsServerTime(host, kGoodPort, NtsRound(), &r, nullptr, &info)) << "exchange " << i;
    EXPECT_FALSE(info.keyExchanged);
    EXPECT_EQ(0, info.placeholders);
    EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
    offsets.push_back(Abs(r.offset));
  }
  // chronyd runs with -x on this machine's clock: the true offset is nil. The
  // median of the nine, so that one exchange delayed on a busy machine does
  // not decide.
  std::sort(offsets.begin(), offsets.end());
  EXPECT_LT(offsets[offsets.size() / 2], kOneMs) << "largest " << offsets.back();
  EXPECT_EQ((size_t)NTS_MAX_COOKIES, sent.size());
  EXPECT_EQ(1u, host->keCount);

  // Out of cookies: the key exchange of this round is spent, so the row stays
  // unanswered until the next round brings one.
  host->cookieCount = 0;
  SERVERROW r = {};
  EXPECT_EQ(0, QueryNtsServerTime(host, kGoodPort, NtsRound(), &r, nullptr, &info));
  EXPECT_FALSE(info.keyExchanged);
  EXPECT_FALSE(info.sent);
  NtsNextRound();
  EXPECT_EQ(10, QueryNtsServerTime(host, kGoodPort, NtsRound(), &r, nullptr, &info));
  EXPECT_TRUE(info.keyExchanged);
  EXPECT_EQ(2u, host->keCount);
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
}

TEST_F(NtsExchange, AKeyExchangeThatFailsIsTriedAgainInTheNextRoundOnly) {
  // Nothing listens on 4466.
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  NTSEXCHANGE info;
  EXPECT_EQ(0, QueryNtsServerTime(host, 4466, NtsRound(), &row, nullptr, &info));
  EXPECT_TRUE(info.keyExchanged);
  EXPECT_EQ(NTSKX_CONNECT, info.keResult);
  EXPECT_FALSE(info.sent);
  EXPECT_EQ(0, QueryNtsServerTime(host, 4466, NtsRound(), &row, nullptr, &info));
  EXPECT_FALSE(info.keyExchanged);
  EXPECT_EQ(1u, host->keCount);
  NtsNextRound();
  EXPECT_EQ(10, UntilAnswered(host, kGoodPort, &row, &info));
  EXPECT_EQ(2u, host->keCount);
}

TEST_F(NtsExchange, ARelayThatFlipsAByteOrReplaysAnEarlierReplyGetsNoAnswerThrough) {
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "pass"));
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  NTSEXCHANGE info;
  ASSERT_EQ(10, UntilAnswered(host, kRelayedPort, &row, &info))
      << "key exchange " << info.keResult << ", last check " << info.last << ", datagrams " << info.datagrams
      << ", server '" << host->server << "' port " << host->port;
  EXPECT_STREQ("127.0.0.2", host->server);   // the way through the relay
  EXPECT_EQ(kRelayNtpPort, host->port);
  RELAYSTATS stats = RelayStats();
  EXPECT_GE(stats.replies, 1);

  // Flipped: in T2 of the header, and in the encrypted cookie at the end.
  const SERVERROW before = row;
  for (const char* flip : {"flip 35", "flip -20"}) {
    ASSERT_EQ("ok", AskHelper(kRelayControlPort, flip));
    SERVERROW r = row;
    EXPECT_EQ(0, QueryNtsServerTime(host, kRelayedPort, NtsRound(), &r, nullptr, &info)) << flip;
    const RELAYSTATS now = RelayStats();
    EXPECT_EQ(stats.replies + 1, now.replies) << flip;
    stats = now;
    EXPECT_EQ(1, info.datagrams);
    EXPECT_EQ(NTS_IGNORE_AUTH, info.last);
    printf("relay %s: %d-byte reply delivered, result 0, verdict %d (NTS_IGNORE_AUTH), cookies left %d\n", flip,
           now.length, (int)info.last, host->cookieCount);
    EXPECT_EQ(0, memcmp(&before, &r, sizeof r));   // the row untouched, as after any failure
  }
  EXPECT_EQ(NTS_MAX_COOKIES - 2, host->cookieCount);

  // Replayed: a genuine reply, to another request.
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "replay"));
  SERVERROW r = row;
  EXPECT_EQ(0, QueryNtsServerTime(host, kRelayedPort, NtsRound(), &r, nullptr, &info));
  const int carried = stats.replies;
  stats = RelayStats();
  EXPECT_EQ(carried + 1, stats.replies);
  EXPECT_EQ(1, info.datagrams);
  EXPECT_EQ(NTS_IGNORE_HEADER, info.last);
  printf("relay replay: %d-byte earlier reply delivered (%d relayed in all), result 0, verdict %d "
         "(NTS_IGNORE_HEADER), cookies left %d\n",
         stats.length, stats.replies, (int)info.last, host->cookieCount);
  EXPECT_EQ(0, memcmp(&before, &r, sizeof r));
  EXPECT_EQ(NTS_MAX_COOKIES - 3, host->cookieCount);

  // A NAK forged from the request, just ahead of the genuine reply: the reply
  // is the answer, no key exchange follows, and the placeholders fill the store again.
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "nak"));
  NtsNextRound();
  const uint32_t keBefore = host->keCount;
  EXPECT_EQ(10, QueryNtsServerTime(host, kRelayedPort, NtsRound(), &r, nullptr, &info))
      << "last check " << info.last << ", datagrams " << info.datagrams;
  stats = RelayStats();
  EXPECT_EQ(1, stats.naks);
  EXPECT_TRUE(info.nak);
  EXPECT_EQ(2, info.datagrams);
  EXPECT_EQ(NTS_OK, info.last);
  EXPECT_EQ(3, info.placeholders);
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  EXPECT_LT(Abs(r.offset), 10 * kOneMs) << r.offset;   // a measurement (its accuracy: the first test)
  EXPECT_FALSE(NtsNeedsKeyExchange(host));
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "pass"));
  NtsNextRound();
  EXPECT_EQ(10, QueryNtsServerTime(host, kRelayedPort, NtsRound(), &r, nullptr, &info));
  EXPECT_FALSE(info.keyExchanged);
  printf("relay nak: %d forged NAK ahead of the reply, answered, key exchanges %u before and %u after "
         "(and one round later)\n",
         stats.naks, keBefore, host->keCount);
  EXPECT_EQ(1u, host->keCount);

  // A NAK alone: no answer, a key exchange due. One that fails (nothing
  // listens on 4466) leaves the keys and cookies serving, and an authentic
  // answer with them ends the wish for one.
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "nakonly"));
  EXPECT_EQ(0, QueryNtsServerTime(host, kRelayedPort, NtsRound(), &r, nullptr, &info));
  EXPECT_TRUE(info.nak);
  EXPECT_EQ(NTS_NAK, info.last);
  EXPECT_TRUE(NtsNeedsKeyExchange(host));
  EXPECT_EQ(NTS_MAX_COOKIES - 1, host->cookieCount);
  ASSERT_EQ("ok", AskHelper(kRelayControlPort, "pass"));
  NtsNextRound();
  EXPECT_EQ(10, QueryNtsServerTime(host, 4466, NtsRound(), &r, nullptr, &info));
  EXPECT_TRUE(info.keyExchanged);
  EXPECT_EQ(NTSKX_CONNECT, info.keResult);
  EXPECT_FALSE(NtsNeedsKeyExchange(host));
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  printf("relay nak alone: no answer, key exchange due; it failed (%u tried in all), the old keys answered\n",
         host->keCount);
  EXPECT_EQ(2u, host->keCount);
}

// A key-exchange server on the loopback may name the loopback (the relay
// above), not a private network: its keys are taken, its server never asked.
TEST_F(NtsExchange, AKeyExchangeOnTheLoopbackNamingAPrivateServerSendsItNothing) {
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  NTSEXCHANGE info;
  EXPECT_EQ(0, QueryNtsServerTime(host, kAimedPort, NtsRound(), &row, nullptr, &info));
  ASSERT_TRUE(info.keyExchanged);
  ASSERT_EQ(NTSKX_OK, info.keResult);
  EXPECT_STREQ("10.11.12.13", host->server);
  EXPECT_EQ(ADDR_LOOPBACK, host->peerClass);
  EXPECT_TRUE(info.serverRefused);
  EXPECT_EQ(0, info.datagrams);
  printf("aimed: key exchange with a loopback peer named server '%s': refused, %d datagrams\n", host->server,
         info.datagrams);
}

TEST_F(NtsExchange, AfterTheServerLosesItsKeysANakBringsANewKeyExchange) {
  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  NTSEXCHANGE info;
  ASSERT_EQ(10, UntilAnswered(host, kRestartedPort, &row, &info)) << "key exchange " << info.keResult;
  ASSERT_EQ(1u, host->keCount);
  // with-peers' keeper restarts it with an empty ntsdumpdir: new server keys.
  ASSERT_EQ("restarted", AskHelper(kKeeperPort, "restart", 20000));

  // The NAK: no answer, and a key exchange due, with the keys and cookies kept
  // until it succeeds. Its chronyd may need a moment for its NTP port; a silent
  // try costs a cookie and nothing else.
  NtsNextRound();
  for (int attempt = 0; attempt < 8 && !info.nak; ++attempt) {
    SERVERROW r = row;
    EXPECT_EQ(0, QueryNtsServerTime(host, kRestartedPort, NtsRound(), &r, nullptr, &info));
    EXPECT_EQ(0, memcmp(&row, &r, sizeof r));
    EXPECT_FALSE(info.keyExchanged);
    if (!info.nak) Sleep(250);
  }
  ASSERT_TRUE(info.nak) << "last check " << info.last;
  EXPECT_EQ(NTS_NAK, info.last);
  printf("restart: NAK after the restart, cookies %d, key exchanges so far %u\n", host->cookieCount, host->keCount);
  EXPECT_EQ(1u, host->naks);
  EXPECT_TRUE(NtsNeedsKeyExchange(host));
  EXPECT_TRUE(NtsCanAsk(host));
  EXPECT_GT(host->cookieCount, 0);

  // No key exchange yet in this round: the next exchange makes one, and measures.
  int tries = 0;
  EXPECT_EQ(10, UntilAnswered(host, kRestartedPort, &row, &info, &tries));
  EXPECT_TRUE(info.keyExchanged);
  EXPECT_EQ(2u, host->keCount);
  EXPECT_FALSE(NtsNeedsKeyExchange(host));
  EXPECT_EQ(NTS_MAX_COOKIES, host->cookieCount);
  EXPECT_LT(Abs(row.offset), 10 * kOneMs) << row.offset;
}

}  // namespace
