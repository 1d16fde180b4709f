// The parts of the time-server simulator that need no sockets: a server's
// behaviour and its parsing, loopback address checks, NTP timestamps and the
// reply packet. Kept apart from the event loop so they can be tested alone.
#pragma once
#include <netinet/in.h>
#include <stdint.h>
#include <sys/socket.h>
#include <string>

const int kNtpPacket = 48;
const int kMaxReplyLen = 512;  // len=N above 48 pads with zeros (a reply with extension fields)

enum DecoyKind { kDecoyNone, kDecoyFrom, kDecoyOrigin };

struct Behaviour {
  int64_t offsetNs = 0;  // server clock minus the host's CLOCK_REALTIME
  int delayMs = 0;       // held this long before the reply
  bool silent = false;
  unsigned every = 1;    // answer requests every, 2*every, ...
  int stratum = 1, leap = 0, mode = 4, version = 4;
  uint32_t rootDelay = 0;  // raw 16.16 field
  int len = kNtpPacket;
  bool wrongOrigin = false;
  bool zeroTransmit = false;
  std::string from;      // canonical address the reply leaves from; empty: the server's own
  DecoyKind decoy = kDecoyNone;
  std::string decoyFrom;                         // for kDecoyFrom
  int decoyDelayMs = 50;                         // genuine reply this long after the decoy
  int64_t decoyOffsetNs = 1000LL * 1000000000;   // the decoy's clock is this much further ahead
};

// "2.5", "-86400", "+0.000001": seconds with up to nine decimals, |S| < 200 years.
bool ParseOffset(const std::string& text, int64_t* ns);
// Decimal (or 0x hex) unsigned number within [lo, hi].
bool ParseUnsigned(const std::string& text, uint64_t lo, uint64_t hi, uint64_t* value);
// Space-separated key=value options of the serve command. On failure *why names
// the offending option and *b is unchanged.
bool ParseBehaviour(const std::string& options, Behaviour* b, std::string* why);

// An address in 127.0.0.0/8 or ::1, with *canon in the form the control answers use.
// The simulator never binds or answers anything else.
bool ParseLoopback(const std::string& text, std::string* canon, sockaddr_storage* sa, socklen_t* len);
// "127.1.3.1:12300" or "[::1]:12300" (any port).
bool ParseHostPort(const std::string& text, sockaddr_storage* sa, socklen_t* len);
// "127.1.3.5:40000" / "[::1]:40000".
std::string FormatSockaddr(const sockaddr_storage& sa);

// NTP timestamp (big-endian seconds since 1900 and binary fraction, rounded to
// nearest) of a time given in nanoseconds since 1970.
void PutNtpTime(int64_t unixNs, uint8_t out[8]);
// Nanoseconds since 1970 of an NTP timestamp (era 0, which covers 1900-2036).
int64_t NtpTimeToUnixNs(const uint8_t in[8]);

// The reply to a request whose transmit timestamp is reqTransmit: the server
// clock read rxServerNs when the request arrived and txServerNs when the reply leaves.
void BuildReply(const Behaviour& b, const uint8_t reqTransmit[8], int64_t rxServerNs, int64_t txServerNs,
                uint8_t out[kNtpPacket]);
// The origin a reply with origin=wrong carries: never equal to the request's transmit.
void WrongOrigin(const uint8_t reqTransmit[8], uint8_t out[8]);
