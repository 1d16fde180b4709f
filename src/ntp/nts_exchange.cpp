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

static void KeyExchange(NTSHOST* host, uint16_t kePort, NTSEXCHANGE* info) {
  NTSKEOUTCOME* outcome = static_cast<NTSKEOUTCOME*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(NTSKEOUTCOME)));
  info->keyExchanged = true;
  if (!outcome) {
    info->keResult = host->keResult = NTSKX_SYSTEM;
    return;
  }
  const int64_t start = GetCounterTime();
  const NTSKERESULT result = RunNtsKeyExchange(host->host, kePort, NTSKE_TIMEOUT_MS, outcome);
  info->keMs = (GetCounterTime() - start) / 10000.0;
  info->keResult = host->keResult = result;
  info->clockBehind = outcome->clockBehind;
  if (result == NTSKX_OK) NtsTakeKeyExchange(host, outcome->c2sKey, outcome->s2cKey, &outcome->response);
  SecureZeroMemory(outcome, sizeof *outcome);
  HeapFree(GetProcessHeap(), 0, outcome);
}

int QueryNtsServerTime(NTSHOST* host, uint16_t kePort, uint32_t round, SERVERROW* row, uint32_t* kissCode,
                       NTSEXCHANGE* info) {
  NTSEXCHANGE unused;
  if (!info) info = &unused;
  memset(info, 0, sizeof *info);
  info->last = NTS_IGNORE_HEADER;
  if (kissCode) *kissCode = 0;
  if (!host || !host->host[0]) return 0;
  if (NtsNeedsKeyExchange(host) && NtsClaimKeyExchange(host, round)) KeyExchange(host, kePort, info);

  // The NTP server the key exchange named, as a wide host name.
  wchar_t server[NTSKE_SERVER_MAX_CHARS + 1];
  if (host->server[0]) {
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, host->server, -1, server, NTSKE_SERVER_MAX_CHARS + 1))
      return 0;
  } else {
    WCopy(server, NTSKE_SERVER_MAX_CHARS + 1, host->host);
  }

  AESBCRYPT state = {};
  AESBLOCK aes;
  if (!OpenAesBcrypt(&state, &aes)) return 0;
  NTSPENDING pending = {};
  pending.host = host;
  pending.aes = &aes;
  pending.last = NTS_IGNORE_HEADER;
  NTSCOOKIE cookie;
  uint8_t aeadNonce[NTS_NONCE_BYTES];
  uint8_t request[NTS_PACKET_MAX_BYTES];
  int result = 0;
  // The request is complete, authenticator and all, before anything is sent.
  if (Random(pending.uid, sizeof pending.uid) && Random(aeadNonce, sizeof aeadNonce) &&
      Random(&pending.nonce, sizeof pending.nonce) && NtsTakeCookie(host, &cookie, &info->placeholders)) {
    if (!pending.nonce) pending.nonce = 1;   // a zero transmit timestamp would mean "none"
    const size_t length = BuildNtsRequest(request, sizeof request, pending.nonce, pending.uid, &cookie,
                                          info->placeholders, aeadNonce, &aes, host->c2sKey);
    SecureZeroMemory(&cookie, sizeof cookie);
    if (length) {
      SNTPAUTH auth = {request, (int)length, pending.nonce, host->port, NtsJudgeReply, &pending};
      SNTPQUERY query = {server, row, 0, 0, &auth};
      info->sent = true;
      QueryServersTime(&query, 1, nullptr, nullptr);
      result = query.result;
      if (kissCode && query.kissCode != SNTP_KISS_NTSN) *kissCode = query.kissCode;
    }
  }
  CloseAesBcrypt(&state);
  info->nak = pending.nak;
  info->last = pending.last;
  info->datagrams = pending.datagrams;
  return result;
}
