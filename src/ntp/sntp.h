// SNTP exchanges with time servers: one alone, or a pass of several at once.
#pragma once
#include <stdint.h>

#include "ntp/addrclass.h"
#include "ntp/serverrow.h"
#include "ntp/sntp_codec.h"

#define SNTP_TIMEOUT_MS 1000
#define SNTP_PASS_MAX SERVER_COUNT   // queries one pass takes; further ones fail at once

// Resolves `host`, sends one client request, waits up to one second for the
// genuine reply and writes the sample (delayMs, offset, rootDelayMs,
// receiveTime, receiveCounter, stratum, fresh) into `row`. Returns the stratum
// (1-15), or 0 on any failure, which leaves the row untouched.
int QueryServerTime(const wchar_t* host, SERVERROW* row);

// QueryServerTime that also tells a kiss-of-death: *kissCode (if given) gets the
// four-character code of a genuine kiss reply (SNTP_KISS_DENY, ...), else 0.
int QueryServerTimeKiss(const wchar_t* host, SERVERROW* row, uint32_t* kissCode);

// A query that sends a request of its own and judges the replies itself (an
// authenticated exchange, nts_exchange.h). The request is complete before the
// pass starts, so that nothing but the send stands before T1; the judge runs
// after T4.
struct SNTPAUTH {
  const uint8_t* request;   // the whole datagram to send
  int length;
  uint64_t nonce;           // its transmit timestamp, which a reply echoes as its origin
  uint16_t port;            // UDP port to ask; 0: the NTP port, as a plain query
  // SNTP_OK fills *reply with the answer's fields; SNTP_IGNORE_ORIGIN keeps
  // the wait going (not the answer to this request); anything else ends the
  // query unanswered (SNTP_KISS with reply->kissCode: a kiss).
  SNTPCHECK (*judge)(void* context, const uint8_t* data, size_t length, SNTPREPLY* reply);
  void* context;
  bool checkAddress;        // the host's address must be public or of peerClass (NtsServerClassAllowed)
  ADDRCLASS peerClass;
};

// One server's part in a pass.
struct SNTPQUERY {
  const wchar_t* host;   // host name or address literal to ask
  SERVERROW* row;        // receives the sample of a good answer, untouched otherwise
  int result;            // out: the stratum (1-15), or 0 on any failure
  uint32_t kissCode;     // out: the code of a genuine kiss-of-death, else 0
  const SNTPAUTH* auth;  // null: the plain request and its checks
  bool refused;          // out: the address the host resolved to failed auth's check; nothing sent
};

// Called on the passing thread once per query, as soon as its outcome is known.
typedef void (*SNTPDONE)(SNTPQUERY* query, void* context);

// The exchanges of QueryServerTimeKiss for `count` queries at once: every host
// is resolved and given a socket of its own, the requests are sent one after
// another, and the replies are taken as they come until one second after the
// last send. Each reply is matched to its query by socket, source address and
// origin timestamp and checked as in a single exchange; T1 is read right after
// its send returns and T4 as soon as the wait sees the reply. `done` (may be
// null) hears of a query that cannot be sent at once, of one that is answered
// or refused when its reply is decided (in the order the replies arrive), and
// of the rest, in query order, when the second is over. Every socket is closed
// before the call returns.
void QueryServersTime(SNTPQUERY* queries, int count, SNTPDONE done, void* context);

// The class of a SOCKADDR's IPv4 or IPv6 address; ADDR_INVALID for another family.
ADDRCLASS SocketAddressClass(const void* sockaddr);

// What the first exchange of the process would otherwise pay for (the socket
// library's set-up, a lookup of the service and a socket of each family),
// done ahead; sends nothing and asks no name server. Any thread.
void PrepareNetwork();

// A round's cut: once set, from any thread, every wait of the round that
// watches it ends within moments (a pass's wait for replies, a key exchange's
// lookup, connect, handshake and records), and the queries still waiting fail.
// Each round opens one of its own, so a cut never outlives the round it was
// meant for.
struct CUTSIGNAL {
  void* event;          // manual-reset event (HANDLE); null: only the flag is watched
  volatile long set;
};

// Opens an unset signal; false when no event could be made (the flag still works).
bool OpenCutSignal(CUTSIGNAL* cut);
void CloseCutSignal(CUTSIGNAL* cut);
void SetCut(CUTSIGNAL* cut);
// True once the signal is set; false for null.
bool IsCut(const CUTSIGNAL* cut);

// QueryServersTime whose wait also ends when `cut` (may be null) is set: the
// queries still waiting then fail at once.
void QueryServersTimeCut(SNTPQUERY* queries, int count, SNTPDONE done, void* context, const CUTSIGNAL* cut);
