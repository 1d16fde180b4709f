// What the program knows of one Network Time Security host, for the run only:
// the keys and server of its last key exchange, its unused cookies, and when a
// new key exchange may be made; and the judge of an authenticated exchange's
// replies; and the back-off of a failing host. Rows naming one host share one
// record. Free of any platform call. Probes never run at once; within one, the
// probing thread finds the records before any key exchange starts, and a key
// exchange's thread writes its host's record alone until it ends.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "ntp/addrclass.h"
#include "ntp/nts_ef.h"
#include "ntp/serverrow.h"
#include "text/wch.h"

#define NTS_HOSTS SERVER_COUNT   // records kept; a further host takes the least recently used

struct NTSHOST {
  wch host[HOST_CHARS];            // the key-exchange host, as the rows name it; empty: unused record
  uint16_t kePort;                 // its key-exchange port; 0: the standard one
  bool keyed;                      // keys, server and port below come from a key exchange
  uint8_t c2sKey[NTS_KEY_BYTES];
  uint8_t s2cKey[NTS_KEY_BYTES];
  char server[NTSKE_SERVER_MAX_CHARS + 1];   // NTP server to ask; empty: the key-exchange host
  uint16_t port;                   // its UDP port; 0: 123
  ADDRCLASS peerClass;             // the key-exchange peer's address class: a server named
                                   // above is asked only when public or of this class
  int cookieCount;                 // unused cookies, each good for one request
  NTSCOOKIE cookies[NTS_MAX_COOKIES];
  uint32_t keRound;                // round of the last key exchange tried; 0: none yet
  uint32_t keCount;                // key exchanges tried
  int keResult;                    // the last one's result (an NTSKERESULT)
  uint32_t naks;                   // NAKs echoing a request's identifier
  bool rekey;                      // a NAK came and no authentic reply since: a key exchange is
                                   // due, while the keys and cookies still serve until it succeeds
  uint64_t lastUse;                // for the choice of a record to reuse
  uint32_t failures;               // failures in a row (key exchanges, cookies spent in vain)
  uint64_t retryAtMs;              // background rounds leave the host alone until then (back-off clock)
};

#define NTS_BACKOFF_FIRST_MS 2000      // after the first failure: a network late at logon costs little
#define NTS_BACKOFF_MAX_MS 3600000     // the doubling stops at an hour

// The record of `host`'s key-exchange server on kePort (0 or 4460: the
// standard port), the host compared without regard to ASCII case or the
// blanks around it; made empty for a server not seen before. Servers on other
// ports of one host are different servers, with keys and cookies of their own.
// Null for an empty host.
NTSHOST* NtsHostAt(const wch* host, uint16_t kePort);

// Forgets every record (a test, or a new run).
void NtsHostsReset();

// Probe rounds, counted from 1: a host gets at most one key exchange in each,
// so a failed one is tried again in the next round, never within its own.
uint32_t NtsRound();
void NtsNextRound();

// True when the host wants a key exchange: it has no keys, no cookie left, or
// a NAK came since its last authentic reply.
bool NtsNeedsKeyExchange(const NTSHOST* host);

// True when the host can be asked without one: keys and a cookie at hand (a
// NAK's host keeps them until a new key exchange succeeds).
bool NtsCanAsk(const NTSHOST* host);

// True when a key exchange may be made now (none yet in round `round`); marks
// the round as used for one, which the caller then makes.
bool NtsClaimKeyExchange(NTSHOST* host, uint32_t round);

// Takes the keys, server, port and cookies of a successful key exchange; the
// earlier ones go only now.
void NtsTakeKeyExchange(NTSHOST* host, const uint8_t c2sKey[NTS_KEY_BYTES], const uint8_t s2cKey[NTS_KEY_BYTES],
                        const NTSKERESPONSE* response);

// Forgets keys, cookies and the NAK mark, wiping them: a key exchange is due.
void NtsForgetKeys(NTSHOST* host);

// The back-off of a failing host, on a clock of the caller's (milliseconds):
// each failure doubles the wait, from NTS_BACKOFF_FIRST_MS up to
// NTS_BACKOFF_MAX_MS; an authenticated answer ends it.
void NtsNoteFailure(NTSHOST* host, uint64_t nowMs);
// After an exchange: an authenticated answer resets the back-off; a request
// that empties the store unanswered is a failure, as an answer would have
// brought a cookie back: the store's last cookies all went without one.
void NtsNoteExchange(NTSHOST* host, bool authenticated, uint64_t nowMs);
// True while the host waits out its back-off.
bool NtsBackingOff(const NTSHOST* host, uint64_t nowMs);

// Takes one cookie out of the store (each is sent once) and says how many
// placeholders a request with it asks for, so that the reply's cookies fill the
// store again. False when there is none.
bool NtsTakeCookie(NTSHOST* host, NTSCOOKIE* cookie, int* placeholders);

// Adds cookies from a reply, as many as the store has room for.
void NtsAddCookies(NTSHOST* host, const NTSCOOKIE* cookies, int count);

// One authenticated request in flight.
struct NTSPENDING {
  NTSHOST* host;
  uint64_t nonce;                  // the request's transmit timestamp
  uint8_t uid[NTS_UID_BYTES];
  uint8_t s2cKey[NTS_KEY_BYTES];   // the key of the request's key exchange (NtsPendingKey)
  const AESBLOCK* aes;
  NTSCHECK last;                   // the last datagram's verdict
  int datagrams;                   // datagrams judged
  int cookiesAdded;                // from the authentic reply
  bool nak;                        // a NAK echoing the identifier came
};

// Copies the host's server-to-client key into the request's record: its reply
// is judged by the keys it was made with, whatever a key exchange does meanwhile.
void NtsPendingKey(NTSPENDING* pending);

// The judge of an authenticated exchange's datagrams (pending is an
// NTSPENDING): an authentic reply's cookies go into the host's store, it
// clears the host's NAK mark, and its header gets the plain checks (SNTP_OK,
// or the header's failure). A NAK is unauthenticated (RFC 8915 section 5.7):
// it marks the host as wanting a key exchange, keys and cookies kept, and the
// wait goes on (SNTP_IGNORE_ORIGIN), as for every other datagram that is not
// the answer (unauthenticated, tampered, a replay).
SNTPCHECK NtsJudgeReply(void* pending, const uint8_t* data, size_t length, SNTPREPLY* reply);
