// The authenticated exchange beside a plain one against the same chronyd
// (serving NTS on loopback under tests/support/with-peers, QL_PEERS_NTS=1, on
// the host's clock with -x, so that the true offset is nil), taken in turn;
// the time of one key exchange; probe rounds over NTS rows (one answering
// host, the same beside eight stalled key-exchange servers, every answering
// host of the fixture), with and without key exchanges; and the key exchanges
// a failing host gets over 30 rounds 10 s apart, on the back-off clock, beside
// the count without a back-off. Prints figures only.
// usage: nts_bench [EXCHANGES] [KEY_EXCHANGES] [ROUNDS]
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <stdio.h>
#include <string.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include <string>

#include "catrust.h"
#include "ntp/clock.h"
#include "ntp/nts_client.h"
#include "ntp/nts_exchange.h"
#include "ntp/probe.h"

namespace {

const uint16_t kKePort = 4460;
const uint16_t kNtpPort = 11123;   // the same chronyd's NTP port

// The plain request and checks, sent to chronyd's port through the pass.
SNTPCHECK PlainJudge(void* nonce, const uint8_t* data, size_t length, SNTPREPLY* reply) {
  return DecodeReply(data, length, *static_cast<uint64_t*>(nonce), reply);
}

int PlainExchange(SERVERROW* row) {
  uint64_t nonce = 0;
  BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&nonce), sizeof nonce, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  nonce |= 1;
  uint8_t request[SNTP_PACKET_BYTES];
  BuildRequest(request, nonce);
  SNTPAUTH plain = {request, SNTP_PACKET_BYTES, nonce, kNtpPort, PlainJudge, &nonce};
  SNTPQUERY query = {L"127.0.0.1", row, 0, 0, &plain};
  QueryServersTime(&query, 1, nullptr, nullptr);
  return query.result;
}

// Median and 95th percentile (nearest rank).
void Stats(std::vector<double> v, double* median, double* p95) {
  *median = *p95 = -1;
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  *median = v[(v.size() + 1) / 2 - 1];
  *p95 = v[(size_t)(v.size() * 0.95 + 0.999999) - 1];
}

double AbsUs(int64_t offset) {
  return (offset < 0 ? -offset : offset) / 10.0;
}

// Asks the relay of with-peers (127.0.0.1:4470) to change its mode; true on "ok".
bool TellRelay(const char* what) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (s == INVALID_SOCKET) return false;
  DWORD timeoutMs = 2000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeoutMs, sizeof timeoutMs);
  sockaddr_in relay = {};
  relay.sin_family = AF_INET;
  relay.sin_port = htons(4470);
  relay.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char answer[16] = {};
  int n = 0;
  if (connect(s, (const sockaddr*)&relay, sizeof relay) == 0 && send(s, what, (int)strlen(what), 0) > 0)
    n = recv(s, answer, sizeof answer - 1, 0);
  closesocket(s);
  return n == 2 && memcmp(answer, "ok", 2) == 0;
}

// The table's rows: the hosts given, the rest empty.
void Table(const std::vector<std::wstring>& hosts) {
  memset(g_workTable, 0, sizeof g_workTable);
  for (size_t r = 0; r < hosts.size() && r < SERVER_COUNT; ++r)
    lstrcpynW(g_workTable[r].host, hosts[r].c_str(), HOST_CHARS);
  ResetServerTable();
}

double RoundMs() {
  const unsigned passes = 2;
  const int64_t start = GetCounterTime();
  ProbeServers(&passes);
  return (GetCounterTime() - start) / 10000.0;
}

uint64_t g_benchNowMs;
uint64_t BenchNow() { return g_benchNowMs; }

// Rounds over the table, median time; with key exchanges (every record
// forgotten before each round) or without (the records of a first round kept,
// so the answering hosts hold cookies). The back-off clock moves two hours a
// round, past any back-off: a stalled server stalls in every round.
// answered: rounds in which row `row` answered authenticated.
void TimeRounds(const std::vector<std::wstring>& hosts, int rounds, bool keyExchanges, int row, double* medianMs,
                double* maxMs, int* answered) {
  Table(hosts);
  NtsHostsReset();
  SetNtsBackoffClock(BenchNow);
  g_benchNowMs = 1000000;
  if (!keyExchanges) RoundMs();
  std::vector<double> times;
  *answered = 0;
  for (int i = 0; i < rounds; ++i) {
    g_benchNowMs += 7200000;
    if (keyExchanges) NtsHostsReset();
    times.push_back(RoundMs());
    if (g_workTable[row].result && g_workTable[row].authenticated) ++*answered;
  }
  SetNtsBackoffClock(nullptr);
  double p95;
  Stats(times, medianMs, &p95);
  *maxMs = *std::max_element(times.begin(), times.end());
}

// Key exchanges made for `host` over 30 rounds whose back-off clock moves
// stepMs a round: 10 s as the probe worker's interval, or two hours, more than
// any back-off, as if there were none.
uint32_t KeyExchangesOver30Rounds(const std::wstring& host, uint16_t kePort, uint64_t stepMs, int* answered) {
  Table({host});
  NtsHostsReset();
  SetNtsBackoffClock(BenchNow);
  g_benchNowMs = 1000000;
  *answered = 0;
  for (int i = 0; i < 30; ++i, g_benchNowMs += stepMs) {
    RoundMs();
    if (g_workTable[0].result) ++*answered;
  }
  SetNtsBackoffClock(nullptr);
  return NtsHostAt(L"localhost", kePort)->keCount;
}

void PrintRounds(const char* name, const std::vector<std::wstring>& hosts, int rounds, int row) {
  for (int ke = 1; ke >= 0; --ke) {
    double median, worst;
    int answered;
    TimeRounds(hosts, rounds, ke != 0, row, &median, &worst, &answered);
    printf("nts round name=%s answering_key_exchange=%s median_ms=%.1f max_ms=%.1f rounds=%d answered=%d\n", name,
           ke ? "yes" : "no", median, worst, rounds, answered);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const int exchanges = argc > 1 ? _wtoi(argv[1]) : 200;
  const int keyExchanges = argc > 2 ? _wtoi(argv[2]) : 10;
  if (!getenv("QL_NTS_CA")) {
    fprintf(stderr, "nts_bench: run under with-peers with QL_PEERS_NTS=1\n");
    return 2;
  }
  HMODULE kernel = BindPreciseClock();
  if (!RunNtsTrustChild(L"add")) {
    fprintf(stderr, "nts_bench: the test CA could not be added\n");
    return 1;
  }
  int rc = 0;
  std::vector<double> ke;
  NTSKEOUTCOME* outcome = new NTSKEOUTCOME;
  for (int i = 0; i < keyExchanges; ++i) {
    const int64_t start = GetCounterTime();
    const NTSKERESULT r = RunNtsKeyExchange(L"localhost", kKePort, NTSKE_TIMEOUT_MS, outcome);
    if (r == NTSKX_OK) ke.push_back((GetCounterTime() - start) / 10000.0);
    else fprintf(stderr, "nts_bench: key exchange %d: result %d\n", i, (int)r);
  }
  SecureZeroMemory(outcome, sizeof *outcome);
  delete outcome;

  NTSHOST* host = NtsHostAt(L"localhost", 0);
  SERVERROW row = {};
  // chronyd may answer unsynchronised for its first moments.
  for (int i = 0; i < 40 && !QueryNtsServerTime(host, kKePort, NtsRound(), &row, nullptr, nullptr); ++i) Sleep(250);
  std::vector<double> plain, auth, plainDelay, authDelay;
  int plainFailed = 0, authFailed = 0;
  const uint32_t keBefore = host->keCount;
  for (int i = 0; i < exchanges; ++i) {
    SERVERROW p = {}, a = {};
    if (PlainExchange(&p)) {
      plain.push_back(AbsUs(p.offset));
      plainDelay.push_back(p.delayMs);
    } else {
      ++plainFailed;
    }
    if (QueryNtsServerTime(host, kKePort, NtsRound(), &a, nullptr, nullptr)) {
      auth.push_back(AbsUs(a.offset));
      authDelay.push_back(a.delayMs);
    } else {
      ++authFailed;
    }
  }
  double keMedian, keP95, pm, pp, am, ap, pd, pd95, ad, ad95;
  Stats(ke, &keMedian, &keP95);
  Stats(plain, &pm, &pp);
  Stats(auth, &am, &ap);
  Stats(plainDelay, &pd, &pd95);
  Stats(authDelay, &ad, &ad95);
  printf("nts key_exchange_median_ms=%.1f key_exchange_p95_ms=%.1f key_exchanges=%d failed=%d\n", keMedian, keP95,
         keyExchanges, keyExchanges - (int)ke.size());
  printf("nts plain_median_us=%.1f plain_p95_us=%.1f auth_median_us=%.1f auth_p95_us=%.1f ratio=%.2f "
         "plain_delay_median_ms=%.0f auth_delay_median_ms=%.0f exchanges=%d plain_failures=%d auth_failures=%d "
         "cookies=%d key_exchanges_during=%u\n",
         pm, pp, am, ap, pm > 0 ? am / pm : -1.0, pd, ad, exchanges, plainFailed, authFailed, host->cookieCount,
         host->keCount - keBefore);
  if (ke.empty() || auth.empty() || plain.empty()) rc = 1;

  const int rounds = argc > 3 ? _wtoi(argv[3]) : 5;
  if (rounds > 0) {
    InitTableLock();
    std::vector<std::wstring> stalled;
    for (int i = 0; i < 8; ++i) stalled.push_back(L"nts://localhost:" + std::to_wstring(4471 + i));
    std::vector<std::wstring> beside = stalled;
    beside.push_back(L"nts://localhost");
    PrintRounds("one_host", {L"nts://localhost"}, rounds, 0);
    PrintRounds("one_host_beside_8_stalled", beside, rounds < 3 ? rounds : 3, 8);
    PrintRounds("three_hosts", {L"nts://localhost", L"nts://localhost:4467", L"nts://localhost:4468"}, rounds, 0);
    int answered = 0;
    for (int relayed = 0; relayed < 2; ++relayed) {
      const wchar_t* target = relayed ? L"nts://localhost:4467" : L"nts://localhost:4466";
      const uint16_t port = relayed ? 4467 : 4466;
      if (relayed && !TellRelay("drop")) fprintf(stderr, "nts_bench: the relay did not take \"drop\"\n");
      const uint32_t withBackoff = KeyExchangesOver30Rounds(target, port, 10000, &answered);
      const uint32_t without = KeyExchangesOver30Rounds(target, port, 7200000, &answered);
      if (relayed) TellRelay("pass");
      printf("nts backoff case=%s rounds=30 interval_s=10 key_exchanges=%u key_exchanges_without_backoff=%u\n",
             relayed ? "udp_replies_dropped" : "ke_port_refused", withBackoff, without);
    }
  }
  RunNtsTrustChild(L"remove");
  if (kernel) FreeLibrary(kernel);
  return rc;
}
