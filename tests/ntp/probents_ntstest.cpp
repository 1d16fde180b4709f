// Probe rounds over a table that names NTS servers, against chronyd serving
// NTS on loopback beside the plain chronyd of with-peers: the NTS row answers
// authenticated and alone gets a score, the plain rows are measured without
// one, and rows whose key exchange cannot succeed read as not answered with
// their reason taken once. Key-exchange servers that hold the connection
// and say nothing cost a round one deadline together, a cut ends them at
// once, and a failing host backs off.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ntp/clock.h"
#include "ntp/nts_client.h"
#include "ntp/nts_host.h"
#include "ntp/probe.h"
#include "ntp/selection.h"
#include "ntp/setclock.h"
#include "ntp/sntp.h"
#include "emulation_win.h"
#include "ntstrust.h"
#include "testtext.h"
#include "text/strings.h"

namespace {

std::string Env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

std::vector<std::pair<int, int>> Reasons() {
  std::vector<std::pair<int, int>> out;
  int row, reason;
  while (TakeNtsReason(&row, &reason)) out.emplace_back(row, reason);
  return out;
}

// Under qemu, a process's first TLS handshake runs through code not yet
// translated and can outlast the 2 s chronyd gives a key-exchange session: one
// exchange before the tests keeps that cost out of what they count.
class EmulatedTlsWarmUp : public ::testing::Environment {
  void SetUp() override {
    if (!RunsUnderQemu() || Env("QL_CHRONY_MISSING") == "1") return;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return;
    NTSKEOUTCOME outcome = {};
    const ULONGLONG t0 = GetTickCount64();
    const NTSKERESULT result = RunNtsKeyExchange(L"localhost", 0, NTSKE_TIMEOUT_MS, &outcome);
    printf("[   NOTE   ] i386 under qemu: a first key exchange, to warm the TLS code, took %u ms (result %d)\n",
           (unsigned)(GetTickCount64() - t0), (int)result);
    WSACleanup();
  }
};
::testing::Environment* const kWarmUp = ::testing::AddGlobalTestEnvironment(new EmulatedTlsWarmUp);

class NtsProbe : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("QL_CHRONY_MISSING") == "1") GTEST_SKIP() << "no chronyd to serve NTS";
    ASSERT_EQ("", NtsPeersUnready());
    WSADATA wsa;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &wsa));
    InitTableLock();
    NtsHostsReset();
    ForgetNtsReasons();
    memset(g_workTable, 0, sizeof g_workTable);
  }
  void TearDown() override {
    NtsHostsReset();
    ForgetNtsReasons();
    DeleteTableLock();
    WSACleanup();
  }
  static void Host(int row, const std::string& host) {
    std::wstring w(host.begin(), host.end());
    lstrcpynW(g_workTable[row].host, w.c_str(), HOST_CHARS);
  }
  static int Round() {
    const unsigned passes = 2;
    return ProbeServers(&passes);
  }
  static double TimedRoundMs(const CUTSIGNAL* cut = nullptr, int pressed = 0) {
    const int64_t start = GetCounterTime();
    ProbeRound(2, cut, pressed);
    return (GetCounterTime() - start) / 10000.0;
  }
  // Rounds of the table until row `row` answers (chronyd may answer
  // unsynchronised for its first moments).
  static void UntilAnswered(int row) {
    for (int round = 0; round < 60 && !g_workTable[row].result; ++round) {
      if (round) Sleep(250);
      Round();
    }
  }
};

// The eight listeners of with-peers that take the connection and never answer.
const int kStalledFirstPort = 4471;
const int kStalled = 8;

std::string Stalled(int i) {
  return "nts://localhost:" + std::to_string(kStalledFirstPort + i);
}

uint64_t g_testNowMs;
uint64_t TestNow() { return g_testNowMs; }

// Tells the relay of with-peers in front of the server behind 4467 how to
// hand replies back ("pass", "drop"); true on its "ok".
bool TellRelay(const char* what) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  DWORD timeoutMs = 2000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
  sockaddr_in relay = {};
  relay.sin_family = AF_INET;
  relay.sin_port = htons(4470);
  inet_pton(AF_INET, "127.0.0.1", &relay.sin_addr);
  char answer[8] = {};
  int n = 0;
  if (connect(s, (const sockaddr*)&relay, sizeof relay) == 0 && send(s, what, (int)strlen(what), 0) > 0)
    n = recv(s, answer, sizeof answer - 1, 0);
  closesocket(s);
  return n == 2 && memcmp(answer, "ok", 2) == 0;
}

struct CUTLATER {
  CUTSIGNAL* cut;
  DWORD afterMs;
  int64_t cutAt;   // counter time of the cut
};

DWORD WINAPI CutLater(void* parameter) {
  CUTLATER* c = static_cast<CUTLATER*>(parameter);
  Sleep(c->afterMs);
  c->cutAt = GetCounterTime();
  SetCut(c->cut);
  return 0;
}

TEST_F(NtsProbe, OnlyTheAuthenticatedRowIsACandidateAndEachFailureIsReportedOnce) {
  const std::string plain = Env("QL_PEER_NET") + ".250";
  for (int r = 0; r < 6; ++r) Host(r, plain);
  Host(6, "nts://localhost:4479");   // names a private address as its NTP server
  Host(7, "nts://localhost:0");      // no such port
  Host(8, "NTS://localhost");        // the test CA's certificate for localhost
  Host(9, "nts://localhost:4461");   // a certificate for another name
  ResetServerTable();
  EXPECT_EQ(1, g_workTable[8].nts);

  // Either chronyd may answer unsynchronised for its first moments.
  auto allAnswered = [] {
    for (int r = 0; r < 6; ++r)
      if (g_workTable[r].result == 0) return false;
    return g_workTable[8].result != 0;
  };
  std::vector<std::pair<int, int>> reasons;
  for (int round = 0; round < 60 && !allAnswered(); ++round) {
    if (round) Sleep(250);
    Round();
    std::vector<std::pair<int, int>> more = Reasons();
    reasons.insert(reasons.end(), more.begin(), more.end());
  }
  ASSERT_EQ(10, g_workTable[8].result);
  EXPECT_EQ(1, g_workTable[8].authenticated);
  EXPECT_EQ(1, g_publishedTable[8].authenticated);
  EXPECT_EQ(0.0, g_workTable[8].zScore);   // the only candidate
  for (int r = 0; r < 6; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(3, g_workTable[r].result);   // measured...
    EXPECT_NE(DELAY_NONE, g_publishedTable[r].delayMs);
    EXPECT_EQ(0, g_workTable[r].authenticated);
    EXPECT_EQ(SCORE_NONE, g_publishedTable[r].zScore);   // ...but no candidate
  }
  for (int r : {6, 7, 9}) {
    SCOPED_TRACE(r);
    EXPECT_EQ(0, g_workTable[r].result);
    EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs);
    EXPECT_EQ(0, g_workTable[r].authenticated);
  }
  // One key exchange per round at most, and the other-name server's refusal
  // (tried again each round) reported once, as the malformed name is; the
  // private server a key exchange on the loopback named is never asked.
  EXPECT_EQ((std::vector<std::pair<int, int>>{
                {6, NTSREASON_KE_REFUSED}, {7, NTSREASON_MALFORMED}, {9, NTSREASON_CERTIFICATE}}),
            reasons);
  EXPECT_EQ(ADDR_LOOPBACK, NtsHostAt(L"localhost", 4479)->peerClass);
  Round();
  EXPECT_TRUE(Reasons().empty());

  SelectServers();
  int chosen = -1;
  for (const SERVERROW& row : g_selectionTable)
    if (chosen < 0 && row.inlier && row.zScore < ZSCORE_LIMIT) chosen = row.index;
  EXPECT_EQ(8, chosen);

  // Row 9 alone, as the window asks it after its host changed: now well named
  // and answered, its reason clears, and a later failure is reported again.
  Host(9, "nts://localhost");
  ProbeOtherServer(4);
  EXPECT_EQ(10, g_workTable[9].result);
  EXPECT_EQ(1, g_workTable[9].authenticated);
  EXPECT_TRUE(Reasons().empty());
  Host(9, "nts://[::1]:");
  ProbeOtherServer(1);
  EXPECT_EQ(0, g_workTable[9].result);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{9, NTSREASON_MALFORMED}}), Reasons());
}

TEST_F(NtsProbe, EightStalledKeyExchangesBesideChronydCostOneDeadlineAndChronydIsMeasured) {
  Host(8, "nts://localhost");
  UntilAnswered(8);
  ASSERT_EQ(10, g_workTable[8].result) << "chronyd serving NTS never answered";
  // Its keys forgotten: the measured round exchanges keys with all nine at once.
  NtsHostsReset();
  ForgetNtsReasons();
  for (int r = 0; r < kStalled; ++r) Host(r, Stalled(r));
  Host(9, Env("QL_PEER_NET") + ".250");
  ResetServerTable();
  const double ms = TimedRoundMs();
  printf("round with %d stalled key exchanges beside chronyd (NTS and plain): %.0f ms, key-exchange deadline %d ms\n",
         kStalled, ms, NTSKE_TIMEOUT_MS);
  EXPECT_LT(ms, NTSKE_TIMEOUT_MS + 2 * 1000.0) << "the stalled key exchanges were waited for one after another";
  EXPECT_EQ(10, g_workTable[8].result);
  EXPECT_EQ(1, g_workTable[8].authenticated);
  EXPECT_NE(DELAY_NONE, g_publishedTable[8].delayMs);
  EXPECT_EQ(3, g_workTable[9].result);
  std::vector<std::pair<int, int>> expected;
  for (int r = 0; r < kStalled; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(0, g_workTable[r].result);
    EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs);
    const NTSHOST* h = NtsHostAt(L"localhost", (uint16_t)(kStalledFirstPort + r));
    EXPECT_EQ(1u, h->keCount);   // one a round, though the round has two passes
    EXPECT_EQ(NTSKX_TIMEOUT, h->keResult);
    expected.emplace_back(r, NTSREASON_KE_TIMEOUT);
  }
  EXPECT_EQ(expected, Reasons());
}

TEST_F(NtsProbe, ACutEndsStalledKeyExchangesAtOnceAndCountsAgainstNoHost) {
  Host(2, Env("QL_PEER_NET") + ".250");
  ResetServerTable();
  UntilAnswered(2);
  ASSERT_EQ(3, g_workTable[2].result);
  Host(0, Stalled(0));               // connected, the handshake unanswered
  Host(1, "nts://localhost:4465");   // the connect itself unanswered
  g_workTable[0].offset = g_workTable[1].offset = 12345;   // samples of an earlier round
  g_workTable[0].delayMs = g_workTable[1].delayMs = 7;
  ForgetNtsReasons();

  CUTSIGNAL cut;
  ASSERT_TRUE(OpenCutSignal(&cut));
  CUTLATER later = {&cut, 1500, 0};
  HANDLE cutter = CreateThread(nullptr, 0, CutLater, &later, 0, nullptr);
  ASSERT_NE(nullptr, cutter);
  const double ms = TimedRoundMs(&cut);
  const double afterCutMs = (GetCounterTime() - later.cutAt) / 10000.0;
  WaitForSingleObject(cutter, INFINITE);
  CloseHandle(cutter);
  CloseCutSignal(&cut);
  printf("cut 1500 ms into a round with two stalled key exchanges: the round ended %.0f ms after the cut (%.0f ms in "
         "all)\n", afterCutMs, ms);
  EXPECT_LT(afterCutMs, 500.0);
  for (int r = 0; r < 2; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(12345, g_workTable[r].offset);   // the rows keep what they held
    EXPECT_EQ(7u, g_workTable[r].delayMs);
    const NTSHOST* h = NtsHostAt(L"localhost", r ? 4465 : (uint16_t)kStalledFirstPort);
    EXPECT_EQ(1u, h->keCount);
    EXPECT_EQ(0u, h->failures);   // given up is no failure of the host...
    EXPECT_FALSE(NtsBackingOff(h, GetCounterMs()));
  }
  EXPECT_TRUE(Reasons().empty());   // ...and no reason to tell
  EXPECT_EQ(3, g_workTable[2].result);
}

TEST_F(NtsProbe, AFailingHostBacksOffFromTwoSecondsDoublingWhileAPressAsksAtOnce) {
  SetNtsBackoffClock(TestNow);
  struct ClockBack {
    ~ClockBack() { SetNtsBackoffClock(nullptr); }
  } clockBack;
  g_testNowMs = 1000000;
  Host(0, "nts://localhost:4466");   // nothing listens: refused at once
  ResetServerTable();
  const NTSHOST* h = NtsHostAt(L"localhost", 4466);
  // (now offset, pressed, key exchanges so far): 2 s after the first failure,
  // then 4 s; the press asks within the back-off and counts as a failure too.
  const struct {
    uint64_t at;
    int pressed;
    uint32_t keCount;
  } steps[] = {{0, 0, 1}, {1000, 0, 1}, {1999, 0, 1}, {2000, 0, 2}, {5999, 0, 2},
               {6000, 0, 3}, {6100, 1, 4}, {6200, 0, 4}, {22099, 0, 4}, {22100, 0, 5}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.at);
    g_testNowMs = 1000000 + step.at;
    TimedRoundMs(nullptr, step.pressed);
    EXPECT_EQ(step.keCount, h->keCount);
    EXPECT_EQ(0, g_workTable[0].result);
    EXPECT_EQ(DELAY_NONE, g_publishedTable[0].delayMs);
  }
  EXPECT_EQ(5u, h->failures);
  EXPECT_EQ(1000000u + 22100 + 32000, h->retryAtMs);
  // The reason once, however often the host was passed over or tried again.
  EXPECT_EQ((std::vector<std::pair<int, int>>{{0, NTSREASON_KE_TIMEOUT}}), Reasons());
}

// Key exchanges that succeed while every reply is lost on the way back: the
// eight cookies last four rounds of two passes, then the host backs off
// before its next key exchange, and an answer ends the back-off.
TEST_F(NtsProbe, CookiesSpentWithoutAnAnswerBackTheHostOffUntilOneComes) {
  SetNtsBackoffClock(TestNow);
  struct Restore {
    ~Restore() {
      SetNtsBackoffClock(nullptr);
      TellRelay("pass");
    }
  } restore;
  g_testNowMs = 1000000;
  ASSERT_TRUE(TellRelay("pass"));
  Host(0, "nts://localhost:4467");
  ResetServerTable();
  UntilAnswered(0);
  ASSERT_EQ(10, g_workTable[0].result);
  const NTSHOST* h = NtsHostAt(L"localhost", 4467);
  ASSERT_EQ(NTS_MAX_COOKIES, h->cookieCount);
  const uint32_t keyed = h->keCount;

  ASSERT_TRUE(TellRelay("drop"));
  for (int round = 0; round < NTS_MAX_COOKIES / 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(NtsBackingOff(h, g_testNowMs));
    Round();
    EXPECT_EQ(0, g_workTable[0].result);
  }
  EXPECT_EQ(0, h->cookieCount);
  EXPECT_EQ(keyed, h->keCount);
  EXPECT_EQ(1u, h->failures);
  Round();   // within the back-off: no key exchange
  EXPECT_EQ(keyed, h->keCount);
  g_testNowMs += NTS_BACKOFF_FIRST_MS;
  ASSERT_TRUE(TellRelay("pass"));
  Round();
  EXPECT_EQ(keyed + 1, h->keCount);
  EXPECT_EQ(10, g_workTable[0].result);
  EXPECT_EQ(0u, h->failures);
  EXPECT_FALSE(NtsBackingOff(h, g_testNowMs));
  // Silence, not forged replies: no reason line at any point.
  EXPECT_TRUE(Reasons().empty());
}

uint64_t g_certificateNow;
uint64_t CertificateNow() { return g_certificateNow; }

// "#<row>: <reason line>", as the log would show each.
std::string Lines(const std::vector<std::pair<int, int>>& reasons) {
  std::string out;
  for (const auto& r : reasons)
    out += "#" + std::to_string(r.first) + ": " + Utf8(Str(NTSREASON_FIRST_STRING - 1 + r.second)) + "\n";
  return out;
}

TEST_F(NtsProbe, AClockYearsBehindTheBuildSetsTheClockAndSaysHowTheCertificateWasChecked) {
  LoadInterfaceStrings();
  g_certificateNow = NtsBuildTime() - 6 * 365ull * 24 * 3600 * 10000000;   // a reset machine
  SetNtsCertificateClock(CertificateNow);
  const std::string plain = Env("QL_PEER_NET") + ".250";
  for (int r = 0; r < 8; ++r) Host(r, plain);
  Host(8, "nts://localhost");
  Host(9, "nts://localhost:4480");   // a certificate that expired before the build
  ResetServerTable();
  std::vector<std::pair<int, int>> reasons;
  int code = SYNC_NO_SERVER;
  // chronyd may answer unsynchronised for its first moments.
  for (int attempt = 0; attempt < 40 && code < 0; ++attempt) {
    if (attempt) Sleep(250);
    SYNCOUTCOME outcome = {};
    const unsigned passes = SYNC_PROBE_PASSES;
    ProbeServers(&passes);
    code = SetClockFromBest(&outcome);
    std::vector<std::pair<int, int>> more = Reasons();
    reasons.insert(reasons.end(), more.begin(), more.end());
  }
  SetNtsCertificateClock(nullptr);
  printf("reason lines:\n%s", Lines(reasons).c_str());
  // Set from the authenticated row (Wine sets it only within half a second of
  // the true time, which chronyd serves).
  ASSERT_GE(code, 0);
  EXPECT_EQ(8, g_selectionTable[code].index);
  EXPECT_EQ(1, g_workTable[8].authenticated);
  EXPECT_EQ(0, g_workTable[9].result);
  EXPECT_EQ((std::vector<std::pair<int, int>>{{8, NTSREASON_CLOCK_BEHIND}, {9, NTSREASON_CERTIFICATE}}), reasons);
}

TEST(NtsFailureReasons, FromTheKeyExchangeTheNakOrTheReplies) {
  EXPECT_EQ(NTSREASON_CERTIFICATE, NtsFailureReason(NTSKX_CERTIFICATE, 0, 0, 0));
  EXPECT_EQ(NTSREASON_CERTIFICATE_PERIOD, NtsFailureReason(NTSKX_CERTIFICATE_PERIOD, 0, 0, 0));
  EXPECT_EQ(NTSREASON_TLS13, NtsFailureReason(NTSKX_TLS13_UNAVAILABLE, 0, 0, 0));
  EXPECT_EQ(NTSREASON_TLS13, NtsFailureReason(NTSKX_NOT_TLS13, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_TIMEOUT, NtsFailureReason(NTSKX_TIMEOUT, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_TIMEOUT, NtsFailureReason(NTSKX_CONNECT, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_TIMEOUT, NtsFailureReason(NTSKX_RESOLVE, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_REFUSED, NtsFailureReason(NTSKX_HANDSHAKE, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_REFUSED, NtsFailureReason(NTSKX_RESPONSE, 0, 0, 0));
  EXPECT_EQ(NTSREASON_KE_REFUSED, NtsFailureReason(NTSKX_SERVER, 0, 0, 0));
  // A NAK with no answer behind it is the reason, keys or none.
  EXPECT_EQ(NTSREASON_NAK, NtsFailureReason(NTSKX_OK, 0, 1, 1));
  // Keys at hand: silence is no reason, unauthenticated datagrams are.
  EXPECT_EQ(NTSREASON_NONE, NtsFailureReason(NTSKX_OK, 1, 0, 0));
  EXPECT_EQ(NTSREASON_UNAUTHENTIC, NtsFailureReason(NTSKX_OK, 1, 0, 2));
}

}  // namespace
