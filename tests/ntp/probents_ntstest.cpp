// Probe rounds over a table that names NTS servers, against chronyd serving
// NTS on loopback beside the plain chronyd of with-peers: the NTS row answers
// authenticated and alone gets a score, the plain rows are measured without
// one, and rows whose key exchange cannot succeed read as not answered with
// their reason taken once.
#include <gtest/gtest.h>
#include <winsock2.h>
#include <windows.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ntp/nts_client.h"
#include "ntp/nts_host.h"
#include "ntp/probe.h"
#include "ntp/selection.h"
#include "ntp/setclock.h"
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
};

TEST_F(NtsProbe, OnlyTheAuthenticatedRowIsACandidateAndEachFailureIsReportedOnce) {
  const std::string plain = Env("QL_PEER_NET") + ".250";
  for (int r = 0; r < 7; ++r) Host(r, plain);
  Host(7, "nts://localhost:0");      // no such port
  Host(8, "NTS://localhost");        // the test CA's certificate for localhost
  Host(9, "nts://localhost:4461");   // a certificate for another name
  ResetServerTable();
  EXPECT_EQ(1, g_workTable[8].nts);

  // Either chronyd may answer unsynchronised for its first moments.
  auto allAnswered = [] {
    for (int r = 0; r < 7; ++r)
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
  for (int r = 0; r < 7; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(3, g_workTable[r].result);   // measured...
    EXPECT_NE(DELAY_NONE, g_publishedTable[r].delayMs);
    EXPECT_EQ(0, g_workTable[r].authenticated);
    EXPECT_EQ(SCORE_NONE, g_publishedTable[r].zScore);   // ...but no candidate
  }
  for (int r : {7, 9}) {
    SCOPED_TRACE(r);
    EXPECT_EQ(0, g_workTable[r].result);
    EXPECT_EQ(DELAY_NONE, g_publishedTable[r].delayMs);
    EXPECT_EQ(0, g_workTable[r].authenticated);
  }
  // One key exchange per round at most, and the other-name server's refusal
  // (tried again each round) reported once, as the malformed name is.
  EXPECT_EQ((std::vector<std::pair<int, int>>{{7, NTSREASON_MALFORMED}, {9, NTSREASON_CERTIFICATE}}), reasons);
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

uint64_t g_testNow;
uint64_t TestNow() { return g_testNow; }

// "#<row>: <reason line>", as the log would show each.
std::string Lines(const std::vector<std::pair<int, int>>& reasons) {
  std::string out;
  for (const auto& r : reasons)
    out += "#" + std::to_string(r.first) + ": " + Utf8(Str(NTSREASON_FIRST_STRING - 1 + r.second)) + "\n";
  return out;
}

TEST_F(NtsProbe, AClockYearsBehindTheBuildSetsTheClockAndSaysHowTheCertificateWasChecked) {
  LoadInterfaceStrings();
  g_testNow = NtsBuildTime() - 6 * 365ull * 24 * 3600 * 10000000;   // a reset machine
  SetNtsCertificateClock(TestNow);
  const std::string plain = Env("QL_PEER_NET") + ".250";
  for (int r = 0; r < 8; ++r) Host(r, plain);
  Host(8, "nts://localhost");
  Host(9, "nts://localhost:4475");   // a certificate that expired before the build
  ResetServerTable();
  std::vector<std::pair<int, int>> reasons;
  int code = SYNC_NO_SERVER;
  // chronyd may answer unsynchronised for its first moments.
  for (int attempt = 0; attempt < 40 && code < 0; ++attempt) {
    if (attempt) Sleep(250);
    SYNCOUTCOME outcome = {};
    code = ProbeAndSetClock(&outcome);
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
  // A NAK takes the keys: it is the reason, not the missing keys.
  EXPECT_EQ(NTSREASON_NAK, NtsFailureReason(NTSKX_OK, 0, 1, 1));
  // Keys at hand: silence is no reason, unauthenticated datagrams are.
  EXPECT_EQ(NTSREASON_NONE, NtsFailureReason(NTSKX_OK, 1, 0, 0));
  EXPECT_EQ(NTSREASON_UNAUTHENTIC, NtsFailureReason(NTSKX_OK, 1, 0, 2));
}

}  // namespace
