// The authenticated NTP exchange (Network Time Security): a key exchange when
// the host needs one and the round allows it, then one request with one of the
// host's cookies, sent and timed as a plain exchange and answered only by a
// reply that passes the plain checks and proves itself with the host's keys.
// Windows only; the host records are nts_host's.
#pragma once
#include <stdint.h>

#include "ntp/aes_bcrypt.h"
#include "ntp/nts_client.h"
#include "ntp/nts_host.h"
#include "ntp/sntp.h"

// What an exchange did, for the log and the tests.
struct NTSEXCHANGE {
  bool keyExchanged;       // a key exchange was made for it
  int keResult;            // that exchange's NTSKERESULT (0: success)
  double keMs;             // its duration
  bool clockBehind;        // its certificate check found the clock behind the build (nts_client)
  bool sent;               // a request went out (with one cookie)
  int placeholders;        // cookies asked for beyond the one sent back
  bool nak;                // a NAK came: a key exchange is due, the keys kept until it succeeds
  NTSCHECK last;           // the verdict on the last datagram judged
  int datagrams;           // datagrams judged
  bool serverRefused;      // the named NTP server resolved to an address refused (addrclass)
};

// One authenticated exchange with the record's host in round `round`
// (NtsRound): a key exchange first when the host wants one (NtsNeedsKeyExchange),
// unless one was tried in this round already; then the request to the
// server and port that exchange named, with kePort (0: 4460) for the key
// exchange. Writes the sample into row exactly as QueryServerTime does and
// returns the stratum (1-15), or 0 when there is no answer: no keys, a silent
// server, an unauthenticated, tampered or replayed reply, a NAK with no
// authentic reply behind it (the next exchange makes a key exchange first), or
// a reply that fails the plain checks. When the key exchange fails, the
// earlier keys and cookies, if any, still serve. *kissCode (if given) as
// QueryServerTimeKiss, for authenticated kisses only; info (if given) tells
// the details.
int QueryNtsServerTime(NTSHOST* host, uint16_t kePort, uint32_t round, SERVERROW* row, uint32_t* kissCode,
                       NTSEXCHANGE* info);

// The key exchange alone, for a host whose round the caller has claimed
// (NtsClaimKeyExchange): keys and cookies into the record on success, the
// result into host->keResult, except for a cut one, which says nothing of the
// host (NTSKX_CUT in info only). Writes the record and info only, so that key
// exchanges of different hosts may run at once.
void NtsKeyExchange(NTSHOST* host, uint16_t kePort, const CUTSIGNAL* cut, NTSEXCHANGE* info);

// One authenticated request of a pass, from its making to its judging.
struct NTSQUERY {
  AESBCRYPT state;
  AESBLOCK aes;
  NTSPENDING pending;
  SNTPAUTH auth;
  wchar_t server[NTSKE_SERVER_MAX_CHARS + 1];
  uint8_t request[NTS_PACKET_MAX_BYTES];
  bool open;
};

// Makes the request with one of the host's cookies, complete before anything
// is sent, and fills *query (server, row, the request and its judge) for a
// pass (QueryServersTime). False, with nothing held, when the host has no keys
// or cookie or the request cannot be made; info->sent and placeholders told.
bool PrepareNtsQuery(NTSHOST* host, SERVERROW* row, NTSQUERY* nts, SNTPQUERY* query, NTSEXCHANGE* info);

// After the pass: releases what the request held and tells info (nak, last,
// datagrams, serverRefused) and *kissCode (may be null) for an authenticated kiss. Nothing for a query that was never prepared.
void FinishNtsQuery(NTSQUERY* nts, const SNTPQUERY* query, NTSEXCHANGE* info, uint32_t* kissCode);
