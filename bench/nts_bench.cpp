// The authenticated exchange beside a plain one against the same chronyd
// (serving NTS on loopback under tests/support/with-peers, QL_PEERS_NTS=1, on
// the host's clock with -x, so that the true offset is nil), taken in turn;
// and the time of one key exchange. Prints figures only.
// usage: nts_bench [EXCHANGES] [KEY_EXCHANGES]
#include <windows.h>
#include <bcrypt.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <algorithm>
#include <vector>

#include "catrust.h"
#include "ntp/clock.h"
#include "ntp/nts_client.h"
#include "ntp/nts_exchange.h"

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

  NTSHOST* host = NtsHostFor(L"localhost");
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
  RunNtsTrustChild(L"remove");
  if (kernel) FreeLibrary(kernel);
  return rc;
}
