// The reply decoder with its checks and the sample arithmetic fed from it, as
// one exchange runs them: decode the datagram against the request's nonce, test
// the wall clock against the counter, then delay, offset and root delay.
//
// Input: a 49-byte head, then the datagram (cut to the exchange's 1024-byte buffer).
//   byte 0      flags: 1 T4 raw (else T1 + a signed 32-bit step), 2 counters raw
//               (else c4 = c1 + an unsigned 32-bit interval), 4 allowance raw (else
//               its low 32 bits), 8 nonce taken from the datagram's origin field
//   1..8 nonce, 9..16 T1, 17..24 T4, 25..32 c1, 33..40 c4, 41..48 allowance
#include "fuzzinput.h"
#include "ntp/serverrow.h"
#include "ntp/sntp_codec.h"

typedef __int128 i128;

namespace {

const size_t kReceiveBytes = 1024;

uint64_t Be64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

uint32_t Be32(const uint8_t* p) {
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// The timestamp at p by the era rule, worked out in 128 bits.
uint64_t ReferenceFileTime(const uint8_t* p) {
  i128 s = Be32(p);
  const i128 f = Be32(p + 4);
  if (s < ((i128)1 << 31)) s += (i128)1 << 32;
  const i128 ft = s * 10000000 + ((f * 10000000) >> 32) + (i128)FILETIME_1900;
  FUZZ_CHECK(ft >= 0 && ft <= (i128)UINT64_MAX, "timestamp out of the FILETIME range");
  return (uint64_t)ft;
}

void CheckRequest(uint64_t nonce) {
  uint8_t request[SNTP_PACKET_BYTES];
  BuildRequest(request, nonce);
  FUZZ_CHECK(request[0] == SNTP_REQUEST_FLAGS, "request flags %02x", request[0]);
  FUZZ_CHECK(Be64(request + 40) == nonce, "the request does not carry the nonce");
  for (int i = 1; i < 40; ++i) FUZZ_CHECK(request[i] == 0, "request byte %d is %02x", i, request[i]);
  // Reflected back to us (a loop on the path), our own request is never an answer.
  SNTPREPLY reply;
  const SNTPCHECK check = DecodeReply(request, sizeof request, nonce, &reply);
  FUZZ_CHECK(check != SNTP_OK && check != SNTP_KISS, "own request decoded as %d", (int)check);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  const uint8_t flags = in.U8();
  uint64_t nonce = in.U64();
  const uint64_t t1 = in.U64();
  const uint64_t t4Field = in.U64();
  const int64_t c1 = in.I64();
  const uint64_t c4Field = in.U64();
  const uint64_t allowanceField = in.U64();
  const uint64_t t4 = (flags & 1) ? t4Field : t1 + (uint64_t)(int64_t)(int32_t)(uint32_t)t4Field;
  const int64_t c4 = (flags & 2) ? (int64_t)c4Field : (int64_t)((uint64_t)c1 + (uint32_t)c4Field);
  const int64_t allowance = (flags & 4) ? (int64_t)allowanceField : (int64_t)(uint32_t)allowanceField;

  // The datagram in a buffer of exactly its length, so any read past it is caught.
  const size_t length = in.size < kReceiveBytes ? in.size : kReceiveBytes;
  uint8_t* datagram = (uint8_t*)malloc(length ? length : 1);
  if (length) memcpy(datagram, in.data, length);
  if ((flags & 8) && length >= 32) nonce = Be64(datagram + 24);

  CheckRequest(nonce);

  SNTPREPLY reply;
  memset(&reply, 0xA5, sizeof reply);
  const SNTPCHECK check = DecodeReply(datagram, length, nonce, &reply);

  // What each outcome must mean.
  FUZZ_CHECK((check == SNTP_BAD_LENGTH) == (length < SNTP_PACKET_BYTES), "length %zu gave %d", length, (int)check);
  if (length >= SNTP_PACKET_BYTES) {
    const bool origin = Be64(datagram + 24) == nonce;
    const int mode = datagram[0] & 7, leap = datagram[0] >> 6, stratum = datagram[1];
    // Only a wrong origin lets the exchange wait on: everything else from the
    // address asked ends it.
    FUZZ_CHECK((check == SNTP_IGNORE_ORIGIN) == !origin, "origin match %d gave %d", origin, (int)check);
    FUZZ_CHECK((check == SNTP_KISS) == (origin && mode == 4 && stratum == 0), "kiss classified as %d", (int)check);
    FUZZ_CHECK(check == SNTP_KISS ? reply.kissCode == Be32(datagram + 12) : reply.kissCode == 0,
               "kiss code %08x after %d", reply.kissCode, (int)check);
    if (check == SNTP_OK) {
      const uint64_t t2 = ReferenceFileTime(datagram + 32), t3 = ReferenceFileTime(datagram + 40);
      FUZZ_CHECK(mode == 4, "accepted mode %d", mode);
      FUZZ_CHECK(leap < 3, "accepted leap indicator %d", leap);
      FUZZ_CHECK(stratum >= 1 && stratum <= 15, "accepted stratum %d", stratum);
      FUZZ_CHECK(Be64(datagram + 32) != 0 && Be64(datagram + 40) != 0, "accepted a zero timestamp");
      FUZZ_CHECK(reply.stratum == stratum, "stratum %d decoded as %d", stratum, reply.stratum);
      FUZZ_CHECK(reply.rootDelayRaw == Be32(datagram + 4), "root delay field");
      FUZZ_CHECK(reply.receiveTime == t2 && reply.transmitTime == t3, "T2 %llu T3 %llu, expected %llu %llu",
                 (unsigned long long)reply.receiveTime, (unsigned long long)reply.transmitTime,
                 (unsigned long long)t2, (unsigned long long)t3);
      FUZZ_CHECK(t3 >= t2, "accepted a reply sent before it was received");
    } else if (check != SNTP_KISS && check != SNTP_IGNORE_ORIGIN) {
      // A refusal has a reason that the datagram shows.
      const bool zeroTime = Be64(datagram + 32) == 0 || Be64(datagram + 40) == 0;
      const bool order = !zeroTime && ReferenceFileTime(datagram + 40) < ReferenceFileTime(datagram + 32);
      FUZZ_CHECK(mode != 4 || leap == 3 || stratum > 15 || zeroTime || order, "refused (%d) a sound reply",
                 (int)check);
    }
  }
  if (check != SNTP_OK) {
    free(datagram);
    return 0;
  }

  // The wall-clock step test, against the same test in 128 bits.
  const bool stepped = WallClockStepped(t1, t4, c1, c4, allowance);
  const i128 wall = (i128)t4 - (i128)t1, counter = (i128)c4 - (i128)c1;
  const i128 drift = wall > counter ? wall - counter : counter - wall;
  const bool expectStepped = wall < 0 || counter < 0 || wall > (i128)INT64_MAX || drift > (allowance < 0 ? 0 : allowance);
  FUZZ_CHECK(stepped == expectStepped, "step test %d, expected %d", stepped, expectStepped);
  if (stepped) {
    free(datagram);
    return 0;
  }

  // The sample as the exchange writes it into its row.
  SERVERROW row;
  memset(&row, 0, sizeof row);
  row.receiveTime = t4;
  row.receiveCounter = c4;
  row.delayMs = DelayMs(t1, t4);
  row.offset = ClockOffset(t1, reply.receiveTime, reply.transmitTime, t4);
  row.rootDelayMs = RootDelayToMs(reply.rootDelayRaw);
  row.stratum = reply.stratum;
  row.fresh = reply.stratum;

  const i128 delay = (wall + 5000) / 10000;
  if (delay <= (i128)UINT32_MAX) FUZZ_CHECK(row.delayMs == (uint32_t)delay, "delay %u, expected %lld", row.delayMs, (long long)delay);
  // Within one receive wait (no exchange waits longer than a second) the delay
  // is never mistaken for "no answer".
  if ((flags & 2) == 0 && (flags & 4) == 0) FUZZ_CHECK(row.delayMs != DELAY_NONE, "an answered row marked unanswered");

  const i128 sum = ((i128)reply.receiveTime - (i128)t1) + ((i128)reply.transmitTime - (i128)t4);
  if (sum >= (i128)INT64_MIN && sum <= (i128)INT64_MAX)
    FUZZ_CHECK((i128)row.offset == sum / 2, "offset %lld, expected %lld", (long long)row.offset, (long long)(sum / 2));
  FUZZ_CHECK(row.rootDelayMs == (double)reply.rootDelayRaw * 1000.0 / 65536.0, "root delay %.17g from %u",
             row.rootDelayMs, reply.rootDelayRaw);
  FUZZ_CHECK(row.fresh >= 1 && row.fresh <= 15, "fresh %d", row.fresh);
  free(datagram);
  return 0;
}
