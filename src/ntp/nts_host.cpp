#include "ntp/nts_host.h"

#include <string.h>

static NTSHOST g_hosts[NTS_HOSTS];
static uint64_t g_uses;
static uint32_t g_round = 1;

static bool SameHost(const wch* a, unsigned long an, const wch* b) {
  unsigned long bn;
  b = WTrimmed(b, &bn);
  if (an != bn) return false;
  for (unsigned long i = 0; i < an; ++i)
    if (WLowerAscii(a[i]) != WLowerAscii(b[i])) return false;
  return true;
}

static void Wipe(NTSHOST* host) {
  // Keys and cookies are secrets: nothing of them stays behind.
  volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(host);
  for (size_t i = 0; i < sizeof *host; ++i) p[i] = 0;
}

NTSHOST* NtsHostAt(const wch* host, uint16_t kePort) {
  if (!host) return nullptr;
  if (kePort == NTSKE_PORT) kePort = 0;
  unsigned long n;
  const wch* name = WTrimmed(host, &n);
  if (n == 0 || n >= HOST_CHARS) return nullptr;
  NTSHOST* chosen = nullptr;
  for (NTSHOST& h : g_hosts)
    if (h.host[0] && h.kePort == kePort && SameHost(name, n, h.host)) chosen = &h;
  if (!chosen) {
    chosen = &g_hosts[0];
    for (NTSHOST& h : g_hosts)
      if (!h.host[0] || h.lastUse < chosen->lastUse) {
        chosen = &h;
        if (!h.host[0]) break;
      }
    Wipe(chosen);
    for (unsigned long i = 0; i < n; ++i) chosen->host[i] = name[i];
    chosen->host[n] = 0;
    chosen->kePort = kePort;
  }
  chosen->lastUse = ++g_uses;
  return chosen;
}

void NtsHostsReset() {
  for (NTSHOST& h : g_hosts) Wipe(&h);
  g_uses = 0;
  g_round = 1;
}

uint32_t NtsRound() {
  return g_round;
}

void NtsNextRound() {
  // Round 0 stands for "no key exchange yet".
  if (++g_round == 0) g_round = 1;
}

bool NtsNeedsKeyExchange(const NTSHOST* host) {
  return !NtsCanAsk(host) || host->rekey;
}

bool NtsCanAsk(const NTSHOST* host) {
  return host->keyed && host->cookieCount > 0;
}

bool NtsClaimKeyExchange(NTSHOST* host, uint32_t round) {
  if (host->keRound == round) return false;
  host->keRound = round;
  ++host->keCount;
  return true;
}

void NtsTakeKeyExchange(NTSHOST* host, const uint8_t c2sKey[NTS_KEY_BYTES], const uint8_t s2cKey[NTS_KEY_BYTES],
                        const NTSKERESPONSE* response) {
  NtsForgetKeys(host);
  memcpy(host->c2sKey, c2sKey, NTS_KEY_BYTES);
  memcpy(host->s2cKey, s2cKey, NTS_KEY_BYTES);
  memcpy(host->server, response->server, sizeof host->server);
  host->server[sizeof host->server - 1] = 0;
  host->port = response->port;
  host->keyed = true;
  host->rekey = false;
  NtsAddCookies(host, response->cookies, response->cookieCount);
}

void NtsNoteFailure(NTSHOST* host, uint64_t nowMs) {
  if (host->failures < UINT32_MAX) ++host->failures;
  uint64_t wait = NTS_BACKOFF_FIRST_MS;
  for (uint32_t i = 1; i < host->failures && wait < NTS_BACKOFF_MAX_MS; ++i) wait *= 2;
  host->retryAtMs = nowMs + (wait < NTS_BACKOFF_MAX_MS ? wait : NTS_BACKOFF_MAX_MS);
}

void NtsNoteExchange(NTSHOST* host, bool authenticated, uint64_t nowMs) {
  if (authenticated) {
    host->failures = 0;
    host->retryAtMs = 0;
  } else if (host->keyed && host->cookieCount == 0) {
    NtsNoteFailure(host, nowMs);
  }
}

bool NtsBackingOff(const NTSHOST* host, uint64_t nowMs) {
  return host->failures > 0 && nowMs < host->retryAtMs;
}

void NtsForgetKeys(NTSHOST* host) {
  volatile uint8_t* keys[2] = {host->c2sKey, host->s2cKey};
  for (volatile uint8_t* k : keys)
    for (int i = 0; i < NTS_KEY_BYTES; ++i) k[i] = 0;
  volatile uint8_t* cookies = reinterpret_cast<volatile uint8_t*>(host->cookies);
  for (size_t i = 0; i < sizeof host->cookies; ++i) cookies[i] = 0;
  host->cookieCount = 0;
  host->keyed = false;
  host->rekey = false;
  host->server[0] = 0;
  host->port = 0;
}

bool NtsTakeCookie(NTSHOST* host, NTSCOOKIE* cookie, int* placeholders) {
  if (!host->keyed || host->cookieCount <= 0) return false;
  // The oldest first: the server may have rotated its keys since the newer ones.
  *cookie = host->cookies[0];
  *placeholders = NTS_MAX_COOKIES - host->cookieCount;
  --host->cookieCount;
  memmove(&host->cookies[0], &host->cookies[1], sizeof(NTSCOOKIE) * (size_t)host->cookieCount);
  memset(&host->cookies[host->cookieCount], 0, sizeof(NTSCOOKIE));
  return true;
}

void NtsAddCookies(NTSHOST* host, const NTSCOOKIE* cookies, int count) {
  for (int i = 0; i < count && host->cookieCount < NTS_MAX_COOKIES; ++i)
    if (cookies[i].length > 0 && cookies[i].length <= NTS_COOKIE_MAX_BYTES)
      host->cookies[host->cookieCount++] = cookies[i];
}

void NtsPendingKey(NTSPENDING* pending) {
  memcpy(pending->s2cKey, pending->host->s2cKey, NTS_KEY_BYTES);
}

SNTPCHECK NtsJudgeReply(void* context, const uint8_t* data, size_t length, SNTPREPLY* reply) {
  NTSPENDING* pending = static_cast<NTSPENDING*>(context);
  NTSHOST* host = pending->host;
  memset(reply, 0, sizeof *reply);
  ++pending->datagrams;
  NTSREPLY nts;
  const NTSCHECK check = CheckNtsReply(data, length, pending->nonce, pending->uid, pending->aes, pending->s2cKey, &nts);
  pending->last = check;
  switch (check) {
    case NTS_OK:
    case NTS_BAD_HEADER:
      // Cookies of the request's keys: a key exchange since has brought others.
      if (memcmp(pending->s2cKey, host->s2cKey, NTS_KEY_BYTES) == 0) {
        NtsAddCookies(host, nts.cookies, nts.cookieCount);
        pending->cookiesAdded += nts.cookieCount;
      }
      host->rekey = false;
      *reply = nts.sntp;
      memset(nts.cookies, 0, sizeof nts.cookies);
      return check == NTS_OK ? SNTP_OK : nts.header;
    case NTS_NAK:
      // Anyone who saw the request can send one: the genuine reply may still come.
      if (!pending->nak) ++host->naks;
      pending->nak = true;
      host->rekey = true;
      return SNTP_IGNORE_ORIGIN;
    case NTS_BAD_FIELDS:
      // Authentic but unreadable: the server's answer, and a useless one.
      return SNTP_BAD_LENGTH;
    default:
      return SNTP_IGNORE_ORIGIN;
  }
}
