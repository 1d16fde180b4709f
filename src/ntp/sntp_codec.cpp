#include "ntp/sntp_codec.h"

#include <string.h>

uint32_t ReadBigEndian32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// The value as it would be read straight from the packet's bytes on this host.
static uint32_t AsStored(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// ntohl without the socket library: the host order of a network-order value.
static uint32_t NetToHost(uint32_t net) {
  uint8_t b[4];
  memcpy(b, &net, sizeof b);
  return ReadBigEndian32(b);
}

void BuildRequest(uint8_t packet[SNTP_PACKET_BYTES], uint64_t nonce) {
  memset(packet, 0, SNTP_PACKET_BYTES);
  packet[0] = SNTP_REQUEST_FLAGS;
  for (int i = 0; i < 8; ++i) packet[40 + i] = (uint8_t)(nonce >> (56 - 8 * i));
}

static uint64_t ReadBigEndian64(const uint8_t* p) {
  return ((uint64_t)ReadBigEndian32(p) << 32) | ReadBigEndian32(p + 4);
}

SNTPCHECK DecodeReply(const uint8_t* data, size_t length, uint64_t nonce, SNTPREPLY* reply) {
  reply->kissCode = 0;
  if (length < SNTP_PACKET_BYTES) return SNTP_BAD_LENGTH;
  const bool matchingOrigin = ReadBigEndian64(data + 24) == nonce;
  const bool serverMode = (data[0] & 7) == 4;
  const bool kissOfDeath = data[1] == 0;
  const bool synchronisedLeap = (data[0] >> 6) != 3;
  const bool saneStratum = data[1] >= 1 && data[1] <= 15;
  const bool receiveSet = ReadBigEndian64(data + 32) != 0;
  const bool transmitSet = ReadBigEndian64(data + 40) != 0;
  if (!matchingOrigin) return SNTP_IGNORE_ORIGIN;
  if (!serverMode) return SNTP_BAD_MODE;
  // Real servers send a kiss with leap indicator 3, so it is told apart first.
  if (kissOfDeath) {
    reply->kissCode = ReadBigEndian32(data + 12);
    return SNTP_KISS;
  }
  if (!synchronisedLeap) return SNTP_BAD_LEAP;
  if (!saneStratum) return SNTP_BAD_STRATUM;
  if (!transmitSet) return SNTP_BAD_TRANSMIT;
  if (!receiveSet) return SNTP_BAD_RECEIVE;
  const uint64_t t2 = NtpToFileTime(AsStored(data + 32), AsStored(data + 36));
  const uint64_t t3 = NtpToFileTime(AsStored(data + 40), AsStored(data + 44));
  // No server sends its reply before it has received the request.
  if (t3 < t2) return SNTP_BAD_ORDER;
  reply->stratum = data[1];
  reply->rootDelayRaw = ReadBigEndian32(data + 4);
  reply->receiveTime = t2;
  reply->transmitTime = t3;
  return SNTP_OK;
}

uint64_t NtpToFileTime(uint32_t secondsNet, uint32_t fractionNet) {
  uint64_t s = NetToHost(secondsNet);
  const uint64_t f = NetToHost(fractionNet);
  if (!(s & 0x80000000u)) s += 0x100000000ull;   // era 1: from 2036-02-07 06:28:16 UTC
  return s * FILETIME_PER_SECOND + ((f * FILETIME_PER_SECOND) >> 32) + FILETIME_1900;
}

double RootDelayToMs(uint32_t raw) {
  return (double)raw * 1000.0 * 1.52587890625e-05;
}

uint32_t DelayMs(uint64_t t1, uint64_t t4) {
  return (uint32_t)((t4 - t1 + 5000) / 10000);
}

int64_t ClockOffset(uint64_t t1, uint64_t t2, uint64_t t3, uint64_t t4) {
  // Summed unsigned, so that it wraps instead of overflowing: for any times
  // within centuries of each other the sum is the exact signed value.
  return (int64_t)(t2 + (t3 - t4 - t1)) / 2;
}

bool WallClockStepped(uint64_t wall1, uint64_t wall4, int64_t counter1, int64_t counter4, int64_t allowance) {
  // Backwards, T4 - T1 would wrap into a delay of centuries.
  if (wall4 < wall1) return true;
  const uint64_t wall = wall4 - wall1;
  // A counter that went backwards or an interval beyond the signed range is a step too.
  if (counter4 < counter1 || wall > (uint64_t)INT64_MAX) return true;
  const uint64_t counter = (uint64_t)counter4 - (uint64_t)counter1;
  const uint64_t drift = wall > counter ? wall - counter : counter - wall;
  return drift > (uint64_t)(allowance < 0 ? 0 : allowance);
}

int64_t CounterTo100ns(int64_t counter, int64_t frequency) {
  if (frequency <= 0) return 0;
  return (counter / frequency) * 10000000 + ((counter % frequency) * 10000000) / frequency;
}
