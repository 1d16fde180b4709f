// The Network Time Security key exchange (RFC 8915 section 4) as a client: a
// TLS 1.3 connection through SChannel with ALPN "ntske/1" to the host's key
// exchange port, the server's certificate checked against the trusted roots and
// the host name, the request and the response's records (nts_ke), and the two
// AEAD keys from the TLS exporter. Windows only.
//
// The certificate's time: a clock that reads earlier than the build's own time
// (a reset machine) is certainly wrong, so the chain is then checked at the
// later of the build time and the latest start of validity in the chain, the
// earliest moment that could be now; otherwise at the clock's time.
#pragma once
#include <stdint.h>

#include "ntp/addrclass.h"
#include "ntp/nts_ke.h"

#define NTSKE_CONNECT_MS 3000   // for each address of the host
#define NTSKE_TIMEOUT_MS 8000   // a sensible overall deadline for callers

enum NTSKERESULT {
  NTSKX_OK = 0,
  NTSKX_RESOLVE,            // the host name does not resolve (detail: the lookup's error)
  NTSKX_CONNECT,            // no address took the connection (detail: the last socket error)
  NTSKX_TIMEOUT,            // a connect or the exchange ran out of time
  NTSKX_TLS13_UNAVAILABLE,  // the system refused credentials for TLS 1.3 only (detail: status)
  NTSKX_HANDSHAKE,          // the handshake failed or the server closed it (detail: status, 0 when closed)
  NTSKX_CERTIFICATE,        // no trusted chain, or not for this host (detail: the policy's error)
  NTSKX_CERTIFICATE_PERIOD, // the chain fails only for its validity period at the clock's time:
                            // the clock may be wrong (detail: the policy's error)
  NTSKX_ALPN,               // the server did not select "ntske/1"
  NTSKX_NOT_TLS13,          // the connection is not TLS 1.3, or nothing proves that it is
  NTSKX_EXPORTER,           // the system refused the key export (detail: status)
  NTSKX_KEYLOG,             // test builds: the refused export had no key-log stand-in (see note)
  NTSKX_TLS,                // encrypting or decrypting a record failed (detail: status)
  NTSKX_CLOSED,             // the connection ended before End of Message
  NTSKX_RESPONSE,           // the response's records were refused (detail: the NTSKECHECK)
  NTSKX_SYSTEM,             // a socket, memory or credential call failed (detail: its error)
  NTSKX_CUT,                // given up: the round was cut (no fault of the host)
  NTSKX_SERVER,             // the response names an NTP port below 1024 other than 123 (detail:
                            // the port), or the NTP server it names is refused (addrclass)
};

struct NTSKEOUTCOME {
  NTSKERESULT result;
  long detail;                     // see NTSKERESULT
  uint8_t c2sKey[NTS_KEY_BYTES];   // the keys, valid for NTSKX_OK
  uint8_t s2cKey[NTS_KEY_BYTES];
  NTSKERESPONSE response;          // the records read, as far as they went
  bool clockBehind;                // the clock read earlier than the build: the chain was
                                   // checked at the build's time or later (see above)
  ADDRCLASS peerClass;             // the class of the address connected to
#if QL_NTS_KEYLOG_ROUTE
  bool keysFromKeyLog;             // the keys came from the key log
  char note[160];                  // what the key-log route lacked; empty otherwise
#endif
};

struct CUTSIGNAL;

// Runs the exchange with host, a DNS name as its certificate names it, on port
// (0: NTSKE_PORT), within timeoutMs in all, the name lookup included. A cut
// (may be null) ends it at its next wait (lookup, connect, handshake, records)
// within a tenth of a second, as NTSKX_CUT. Fills outcome and returns its result.
NTSKERESULT RunNtsKeyExchange(const wchar_t* host, uint16_t port, uint32_t timeoutMs, NTSKEOUTCOME* outcome,
                              const CUTSIGNAL* cut = nullptr);

// The build's time (FILETIME, UTC), a lower bound of the true time; 0 when the
// build knew none.
uint64_t NtsBuildTime();

// The clock the certificate check reads (FILETIME, UTC), replaceable so that
// tests can put it years back or ahead; null restores the system's.
void SetNtsCertificateClock(uint64_t (*now)());
