#include "ntp/nts_exchange.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

#include "ntp/aes_bcrypt.h"
#include "ntp/clock.h"
#include "ntp/nts_client.h"

static bool Random(void* out, ULONG bytes) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

void NtsKeyExchange(NTSHOST* host, uint16_t kePort, const CUTSIGNAL* cut, NTSEXCHANGE* info) {
  NTSKEOUTCOME* outcome = static_cast<NTSKEOUTCOME*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(NTSKEOUTCOME)));
  info->keyExchanged = true;
  if (!outcome) {
    info->keResult = host->keResult = NTSKX_SYSTEM;
    return;
  }
  const int64_t start = GetCounterTime();
  const NTSKERESULT result = RunNtsKeyExchange(host->host, kePort, NTSKE_TIMEOUT_MS, outcome, cut);
  info->keMs = (GetCounterTime() - start) / 10000.0;
  info->keResult = result;
  if (result != NTSKX_CUT) host->keResult = result;
  info->clockBehind = outcome->clockBehind;
  if (result == NTSKX_OK) {
    NtsTakeKeyExchange(host, outcome->c2sKey, outcome->s2cKey, &outcome->response);
    host->peerClass = outcome->peerClass;
  }
  SecureZeroMemory(outcome, sizeof *outcome);
  HeapFree(GetProcessHeap(), 0, outcome);
}

bool PrepareNtsQuery(NTSHOST* host, SERVERROW* row, NTSQUERY* nts, SNTPQUERY* query, NTSEXCHANGE* info) {
  nts->open = false;
  if (!host || !host->keyed || host->cookieCount <= 0) return false;
  // The NTP server the key exchange named, as a wide host name.
  if (host->server[0]) {
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host->server, -1, nts->server, NTSKE_SERVER_MAX_CHARS + 1))
      return false;
  } else {
    WCopy(nts->server, NTSKE_SERVER_MAX_CHARS + 1, host->host);
  }
  memset(&nts->state, 0, sizeof nts->state);
  if (!OpenAesBcrypt(&nts->state, &nts->aes)) return false;
  memset(&nts->pending, 0, sizeof nts->pending);
  nts->pending.host = host;
  NtsPendingKey(&nts->pending);
  nts->pending.aes = &nts->aes;
  nts->pending.last = NTS_IGNORE_HEADER;
  NTSCOOKIE cookie;
  uint8_t aeadNonce[NTS_NONCE_BYTES];
  size_t length = 0;
  if (Random(nts->pending.uid, sizeof nts->pending.uid) && Random(aeadNonce, sizeof aeadNonce) &&
      Random(&nts->pending.nonce, sizeof nts->pending.nonce) && NtsTakeCookie(host, &cookie, &info->placeholders)) {
    if (!nts->pending.nonce) nts->pending.nonce = 1;   // a zero transmit timestamp would mean "none"
    length = BuildNtsRequest(nts->request, sizeof nts->request, nts->pending.nonce, nts->pending.uid, &cookie,
                             info->placeholders, aeadNonce, &nts->aes, host->c2sKey);
    SecureZeroMemory(&cookie, sizeof cookie);
  }
  if (!length) {
    SecureZeroMemory(&nts->pending, sizeof nts->pending);
    CloseAesBcrypt(&nts->state);
    return false;
  }
  // A server the key exchange named is checked at each lookup; the host itself is the one the rows name.
  nts->auth = SNTPAUTH{nts->request, (int)length, nts->pending.nonce, host->port, NtsJudgeReply, &nts->pending,
                       host->server[0] != 0, host->peerClass};
  *query = SNTPQUERY{nts->server, row, 0, 0, &nts->auth};
  nts->open = true;
  info->sent = true;
  return true;
}

void FinishNtsQuery(NTSQUERY* nts, const SNTPQUERY* query, NTSEXCHANGE* info, uint32_t* kissCode) {
  if (kissCode) *kissCode = 0;
  if (!nts->open) return;
  CloseAesBcrypt(&nts->state);
  SecureZeroMemory(nts->request, sizeof nts->request);
  SecureZeroMemory(nts->pending.s2cKey, sizeof nts->pending.s2cKey);
  nts->open = false;
  info->nak = nts->pending.nak;
  info->last = nts->pending.last;
  info->datagrams = nts->pending.datagrams;
  info->serverRefused = query->refused;
  if (kissCode) *kissCode = query->kissCode;
}

int QueryNtsServerTime(NTSHOST* host, uint16_t kePort, uint32_t round, SERVERROW* row, uint32_t* kissCode,
                       NTSEXCHANGE* info) {
  NTSEXCHANGE unused;
  if (!info) info = &unused;
  memset(info, 0, sizeof *info);
  info->last = NTS_IGNORE_HEADER;
  if (kissCode) *kissCode = 0;
  if (!host || !host->host[0]) return 0;
  if (NtsNeedsKeyExchange(host) && NtsClaimKeyExchange(host, round)) NtsKeyExchange(host, kePort, nullptr, info);
  NTSQUERY* nts = static_cast<NTSQUERY*>(HeapAlloc(GetProcessHeap(), 0, sizeof(NTSQUERY)));
  if (!nts) return 0;
  SNTPQUERY query;
  int result = 0;
  if (PrepareNtsQuery(host, row, nts, &query, info)) {
    QueryServersTime(&query, 1, nullptr, nullptr);
    result = query.result;
    FinishNtsQuery(nts, &query, info, kissCode);
  }
  HeapFree(GetProcessHeap(), 0, nts);
  return result;
}
