// The SNTP packet and the arithmetic of one exchange, free of any platform call
// so that it builds and is fuzzed natively as well.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define SNTP_PACKET_BYTES 48
#define FILETIME_1900 94354848000000000ull   // 100 ns intervals from 1601-01-01 to 1900-01-01
#define FILETIME_PER_SECOND 10000000ull

// Byte 0 of a request: leap indicator 0, version 4, mode 3 (client).
#define SNTP_REQUEST_FLAGS 0x23

// The request: all zero but byte 0 and, in the transmit timestamp (bytes 40-47),
// the random value `nonce` that a genuine reply echoes as its origin timestamp.
void BuildRequest(uint8_t packet[SNTP_PACKET_BYTES], uint64_t nonce);

// Why a datagram is not taken as the answer. SNTP_IGNORE_* replies are not
// ours (the wait for the genuine one goes on); SNTP_BAD_* end the exchange.
enum SNTPCHECK {
  SNTP_OK = 0,
  SNTP_BAD_LENGTH,          // shorter than 48 bytes
  SNTP_IGNORE_ORIGIN,       // origin timestamp is not the request's nonce
  SNTP_BAD_MODE,            // not mode 4 (server)
  SNTP_BAD_LEAP,            // leap indicator 3: the server's clock is not synchronised
  SNTP_BAD_STRATUM,         // 16 and above
  SNTP_BAD_TRANSMIT,        // transmit timestamp zero
  SNTP_KISS,                // stratum 0: a kiss-of-death, its code in SNTPREPLY.kissCode
  SNTP_BAD_RECEIVE,         // receive timestamp zero
  SNTP_BAD_ORDER,           // transmitted before it was received
};

// Kiss-of-death codes (the reference identifier's four ASCII characters, big-endian).
#define SNTP_KISS_CODE(a, b, c, d) (((uint32_t)(a) << 24) | ((uint32_t)(b) << 16) | ((uint32_t)(c) << 8) | (uint32_t)(d))
#define SNTP_KISS_DENY SNTP_KISS_CODE('D', 'E', 'N', 'Y')
#define SNTP_KISS_RSTR SNTP_KISS_CODE('R', 'S', 'T', 'R')
#define SNTP_KISS_RATE SNTP_KISS_CODE('R', 'A', 'T', 'E')

// The fields of a reply that the program uses.
struct SNTPREPLY {
  uint32_t kissCode;        // reference identifier of a SNTP_KISS reply, else 0
  uint8_t stratum;
  uint32_t rootDelayRaw;    // 16.16 fixed-point seconds
  uint64_t receiveTime;     // T2 as FILETIME
  uint64_t transmitTime;    // T3 as FILETIME
};

// Validates a received datagram against the request's nonce and decodes it. A
// kiss-of-death is recognised only in a reply that proves it answers the request
// (length, origin and mode checked first); it fills kissCode and nothing else.
SNTPCHECK DecodeReply(const uint8_t* data, size_t length, uint64_t nonce, SNTPREPLY* reply);

// Reads the 32-bit big-endian value at p.
uint32_t ReadBigEndian32(const uint8_t* p);

// NTP timestamp (both halves as they stand in the packet, network byte order) to
// FILETIME. Seconds whose top bit is clear belong to the era that starts on
// 2036-02-07, so the conversion keeps working after 2036.
uint64_t NtpToFileTime(uint32_t secondsNet, uint32_t fractionNet);

// Root delay field to milliseconds.
double RootDelayToMs(uint32_t raw);

// Round trip T4 - T1 in milliseconds, rounded to nearest.
uint32_t DelayMs(uint64_t t1, uint64_t t4);

// Clock offset ((T2 - T1) + (T3 - T4)) / 2 in 100 ns, truncated toward zero.
// Defined for any four values: the sum wraps modulo 2^64 where it would leave
// the signed range (never for times within centuries of each other).
int64_t ClockOffset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4);

#define CLOCK_STEP_ALLOWANCE 100000   // 10 ms between the wall and counter intervals

// True when the wall clock went backwards (T4 before T1), or when the wall clock
// and the counter clock measured intervals that differ by more than `allowance`
// (100 ns units): the wall clock was stepped during the exchange.
bool WallClockStepped(uint64_t wall1, uint64_t wall4, int64_t counter1, int64_t counter4,
                      int64_t allowance = CLOCK_STEP_ALLOWANCE);

// Counter value to 100 ns units without overflow for any counter and frequency.
int64_t CounterTo100ns(int64_t counter, int64_t frequency);
