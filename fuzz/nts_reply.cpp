// The NTS-protected NTP packet: the request builder, and the reply check fed
// either raw datagrams (which can never pass as authenticated) or replies that
// a server holding the key made from the input, checked against a plain
// reference of the field rules, then with one byte changed. Each datagram also
// goes to the judge of a host's pending request: a NAK (never authenticated)
// may only ask for a key exchange, keys and cookies kept and the wait going on.
//
// Input:
//   byte 0      flags: 1 sealed (else raw), 2 another identifier, 4 wrong origin,
//               8 a second identifier field
//   1..2        where to change a byte (little-endian), 3 how (xor, 0 taken as 1)
//   4..5        request: cookie length (mod 300), 6 placeholders (mod 9)
//   7..54       the 48-byte header
//   55          sealed: bytes of fields between the identifier and the authenticator
//   then        those bytes, then the encrypted fields (up to 1024 bytes);
//               raw: everything after the header is the datagram's rest
#include "fuzzinput.h"
#include "ntp/nts_ef.h"
#include "ntp/nts_host.h"
#include "testaes.h"

namespace {

const uint64_t kNonce = 0x0123456789ABCDEFull;
const uint8_t kC2s[NTS_KEY_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                     17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const uint8_t kS2c[NTS_KEY_BYTES] = {0x7f, 0x7e, 0x7d, 0x7c, 0x7b, 0x7a, 0x79, 0x78, 0x77, 0x76, 0x75,
                                     0x74, 0x73, 0x72, 0x71, 0x70, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45,
                                     0x46, 0x47, 0x48, 0x49, 0x4a, 0x4b, 0x4c, 0x4d, 0x4e, 0x4f};
const uint8_t kAeadNonce[NTS_NONCE_BYTES] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
                                             0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};

uint16_t Be16(const uint8_t* p) {
  return (uint16_t)((p[0] << 8) | p[1]);
}

bool Authenticated(NTSCHECK c) {
  return c == NTS_OK || c == NTS_BAD_HEADER || c == NTS_BAD_FIELDS;
}

// The field rules, written out plainly: a field is a type, a length that is a
// multiple of 4 and at least 16 and fits, and a body.
struct Walk {
  bool framed = true;   // and nothing after an authenticator
  int uids = 0, ourUids = 0, auths = 0;
  size_t lastStart = 0;
  uint16_t lastType = 0;
  int cookies = 0;
  NTSCOOKIE kept[NTS_MAX_COOKIES];
};

// outer: the datagram's fields, where nothing may follow the authenticator.
Walk WalkFields(const uint8_t* p, size_t length, const uint8_t* uid, bool outer) {
  Walk w;
  size_t at = 0;
  while (at < length) {
    if (length - at < 4) return w.framed = false, w;
    const size_t n = Be16(p + at + 2);
    if (n < 16 || n % 4 != 0 || n > length - at) return w.framed = false, w;
    const uint16_t type = Be16(p + at);
    if (outer && w.auths) return w.framed = false, w;
    w.lastStart = at;
    w.lastType = type;
    if (type == NTS_EF_UNIQUE_ID) {
      ++w.uids;
      if (n == 4 + NTS_UID_BYTES && memcmp(p + at + 4, uid, NTS_UID_BYTES) == 0) ++w.ourUids;
    }
    if (type == NTS_EF_AUTHENTICATOR) ++w.auths;
    if (type == NTS_EF_COOKIE && n - 4 <= NTS_COOKIE_MAX_BYTES && w.cookies < NTS_MAX_COOKIES) {
      w.kept[w.cookies].length = (uint16_t)(n - 4);
      memcpy(w.kept[w.cookies].bytes, p + at + 4, n - 4);
      ++w.cookies;
    }
    at += n;
  }
  return w;
}

// The judge of a request made with a keyed host's cookie, given the datagram
// and CheckNtsReply's verdict on it.
void CheckJudge(const AESBLOCK* aes, const uint8_t* uid, const uint8_t* datagram, size_t length, NTSCHECK check) {
  NtsHostsReset();
  const wch name[] = {'f', 'u', 'z', 'z', 0};
  NTSHOST* host = NtsHostAt(name, 0);
  NTSKERESPONSE ke = {};
  ke.cookieCount = 2;
  for (NTSCOOKIE& c : ke.cookies) c.length = 16;
  NtsTakeKeyExchange(host, kC2s, kS2c, &ke);
  NTSCOOKIE cookie;
  int placeholders;
  FUZZ_CHECK(NtsTakeCookie(host, &cookie, &placeholders), "no cookie");
  const bool marked = check & 1;   // an earlier NAK, or none
  host->rekey = marked;
  NTSPENDING pending = {};
  pending.host = host;
  pending.nonce = kNonce;
  memcpy(pending.uid, uid, NTS_UID_BYTES);
  pending.aes = aes;
  NtsPendingKey(&pending);
  SNTPREPLY reply;
  const SNTPCHECK verdict = NtsJudgeReply(&pending, datagram, length, &reply);
  FUZZ_CHECK(pending.last == check, "judge saw %d, the check %d", (int)pending.last, (int)check);
  FUZZ_CHECK(host->keyed && memcmp(host->s2cKey, kS2c, NTS_KEY_BYTES) == 0, "the keys went (%d)", (int)check);
  if (check == NTS_OK || check == NTS_BAD_HEADER) {
    FUZZ_CHECK(verdict != SNTP_IGNORE_ORIGIN && !host->rekey, "an authentic reply did not end the wait or the mark");
    FUZZ_CHECK(host->cookieCount >= 1, "cookies lost");
    return;
  }
  FUZZ_CHECK(host->cookieCount == 1, "%d cookies after %d", host->cookieCount, (int)check);
  if (check == NTS_BAD_FIELDS) return;
  FUZZ_CHECK(verdict == SNTP_IGNORE_ORIGIN, "datagram %d ended the wait (%d)", (int)check, (int)verdict);
  FUZZ_CHECK(host->rekey == (marked || check == NTS_NAK), "mark %d after %d", host->rekey, (int)check);
  FUZZ_CHECK(pending.nak == (check == NTS_NAK) && host->naks == (check == NTS_NAK ? 1u : 0u), "NAK counted wrongly");
}

void CheckRequest(const AESBLOCK* aes, const uint8_t* uid, size_t cookieLength, int placeholders) {
  NTSCOOKIE cookie;
  cookie.length = (uint16_t)cookieLength;
  memset(cookie.bytes, 0x5C, sizeof cookie.bytes);
  uint8_t packet[2400];
  const size_t length = BuildNtsRequest(packet, sizeof packet, kNonce, uid, &cookie, placeholders, kAeadNonce, aes, kC2s);
  const bool valid = cookieLength >= 1 && cookieLength <= NTS_COOKIE_MAX_BYTES && placeholders < NTS_MAX_COOKIES;
  FUZZ_CHECK((length != 0) == valid, "cookie %zu, %d placeholders: length %zu", cookieLength, placeholders, length);
  if (!length) return;
  FUZZ_CHECK(length % 4 == 0 && length <= sizeof packet, "request length %zu", length);
  const Walk w = WalkFields(packet + SNTP_PACKET_BYTES, length - SNTP_PACKET_BYTES, uid, true);
  FUZZ_CHECK(w.framed && w.uids == 1 && w.ourUids == 1 && w.auths == 1 && w.cookies == 1,
             "request fields: framed %d, uids %d, auths %d, cookies %d", w.framed, w.uids, w.auths, w.cookies);
  // The authenticator is the last 40 bytes and verifies under the client's key.
  const uint8_t* auth = packet + length - 40;
  FUZZ_CHECK(Be16(auth) == NTS_EF_AUTHENTICATOR && Be16(auth + 4) == NTS_NONCE_BYTES && Be16(auth + 6) == SIV_TAG_BYTES,
             "authenticator not last");
  const SIVPART parts[2] = {{packet, length - 40}, {kAeadNonce, NTS_NONCE_BYTES}};
  uint8_t none[1];
  FUZZ_CHECK(SivDecrypt(aes, kC2s, parts, 2, auth + 24, SIV_TAG_BYTES, none), "request authenticator fails");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const AESBLOCK* aes = TestAes();
  FUZZ_CHECK(aes != nullptr, "no AES");
  FuzzInput in = {data, size};
  const uint8_t flags = in.U8();
  const uint16_t flipAt = in.U16();
  uint8_t flipBy = in.U8();
  if (!flipBy) flipBy = 1;
  const size_t cookieLength = in.U16() % 300;
  const int placeholders = in.U8() % 9;
  uint8_t header[SNTP_PACKET_BYTES];
  for (int i = 0; i < SNTP_PACKET_BYTES; ++i) header[i] = in.U8();
  uint8_t uid[NTS_UID_BYTES], otherUid[NTS_UID_BYTES];
  for (int i = 0; i < NTS_UID_BYTES; ++i) {
    uid[i] = (uint8_t)(0x30 + i);
    otherUid[i] = (uint8_t)(0x31 + i);
  }

  CheckRequest(aes, uid, cookieLength, placeholders);

  uint8_t* packet = (uint8_t*)malloc(NTS_PACKET_MAX_BYTES + 64);
  NTSREPLY reply;
  if (!(flags & 1)) {
    // Raw: nothing here carries a valid authenticator.
    size_t length = SNTP_PACKET_BYTES + in.size;
    if (length > NTS_PACKET_MAX_BYTES + 64) length = NTS_PACKET_MAX_BYTES + 64;
    memcpy(packet, header, SNTP_PACKET_BYTES);
    memcpy(packet + SNTP_PACKET_BYTES, in.data, length - SNTP_PACKET_BYTES);
    const size_t cut = (flags & 2) ? flipAt % (length + 1) : length;   // short ones too
    uint8_t* exact = (uint8_t*)malloc(cut ? cut : 1);
    if (cut) memcpy(exact, packet, cut);
    const NTSCHECK check = CheckNtsReply(exact, cut, kNonce, uid, aes, kS2c, &reply);
    FUZZ_CHECK(!Authenticated(check), "a raw datagram passed as authenticated (%d)", (int)check);
    FUZZ_CHECK(reply.cookieCount == 0, "cookies from an unauthenticated datagram");
    CheckJudge(aes, uid, exact, cut, check);
    free(exact);
    free(packet);
    return 0;
  }

  // Sealed: the header answering kNonce (unless told otherwise), the identifier,
  // the input's fields, then the authenticator over them with the encrypted fields.
  memcpy(packet, header, SNTP_PACKET_BYTES);
  for (int i = 0; i < 8; ++i) packet[24 + i] = (uint8_t)(kNonce >> (56 - 8 * i));
  if (flags & 4) packet[31] ^= 1;
  size_t length = AppendNtsField(packet, NTS_PACKET_MAX_BYTES, SNTP_PACKET_BYTES, NTS_EF_UNIQUE_ID,
                                 (flags & 2) ? otherUid : uid, NTS_UID_BYTES);
  if (flags & 8) length = AppendNtsField(packet, NTS_PACKET_MAX_BYTES, length, NTS_EF_UNIQUE_ID, uid, NTS_UID_BYTES);
  size_t middle = in.U8();
  if (middle > in.size) middle = in.size;
  memcpy(packet + length, in.data, middle);
  const size_t authStart = length + middle;
  const uint8_t* inner = in.data + middle;
  size_t innerLength = in.size - middle;
  if (innerLength > 1024) innerLength = 1024;
  length = AppendNtsAuthenticator(packet, NTS_PACKET_MAX_BYTES, authStart, inner, innerLength, kAeadNonce, aes, kS2c);
  FUZZ_CHECK(length != 0, "authenticator of %zu bytes did not fit", innerLength);

  SNTPREPLY plain;
  memset(&plain, 0, sizeof plain);   // compared whole below, padding included
  const SNTPCHECK header0 = DecodeReply(packet, length, kNonce, &plain);
  // The input's fields may swallow the authenticator: the whole datagram is walked.
  const Walk all = WalkFields(packet + SNTP_PACKET_BYTES, length - SNTP_PACKET_BYTES, uid, true);
  const Walk encrypted = WalkFields(inner, innerLength, uid, false);
  const bool sealedAuthLast = all.lastType == NTS_EF_AUTHENTICATOR && all.lastStart == authStart - SNTP_PACKET_BYTES;
  NTSCHECK expected;
  if (header0 == SNTP_IGNORE_ORIGIN) expected = NTS_IGNORE_HEADER;
  else if (!all.framed) expected = NTS_IGNORE_FIELDS;
  else if (all.uids != 1 || all.ourUids != 1) expected = NTS_IGNORE_UID;
  else if (header0 == SNTP_KISS && plain.kissCode == SNTP_KISS_NTSN) expected = NTS_NAK;
  else if (!sealedAuthLast) expected = NTS_IGNORE_AUTH;   // another authenticator: forged
  else if (!encrypted.framed) expected = NTS_BAD_FIELDS;
  else expected = header0 == SNTP_OK ? NTS_OK : NTS_BAD_HEADER;

  uint8_t* exact = (uint8_t*)malloc(length);
  memcpy(exact, packet, length);
  NTSCHECK check = CheckNtsReply(exact, length, kNonce, uid, aes, kS2c, &reply);
  FUZZ_CHECK(check == expected, "sealed reply gave %d, expected %d", (int)check, (int)expected);
  FUZZ_CHECK(reply.header == header0, "header verdict %d, plain decoder %d", (int)reply.header, (int)header0);
  if (check == NTS_OK || check == NTS_BAD_HEADER) {
    FUZZ_CHECK(reply.cookieCount == encrypted.cookies, "%d cookies, reference %d", reply.cookieCount, encrypted.cookies);
    for (int i = 0; i < reply.cookieCount; ++i)
      FUZZ_CHECK(reply.cookies[i].length == encrypted.kept[i].length &&
                     memcmp(reply.cookies[i].bytes, encrypted.kept[i].bytes, reply.cookies[i].length) == 0,
                 "cookie %d differs", i);
  } else {
    FUZZ_CHECK(reply.cookieCount == 0, "cookies kept from a reply refused with %d", (int)check);
  }
  if (check == NTS_OK)
    FUZZ_CHECK(memcmp(&reply.sntp, &plain, sizeof plain) == 0, "header fields differ from the plain decoder's");
  CheckJudge(aes, uid, exact, length, check);

  // One byte changed anywhere up to the end of the synthetic IV and ciphertext
  // (the padding after them is not covered): never authentic again.
  const size_t covered = authStart + 8 + NTS_NONCE_BYTES + SIV_TAG_BYTES + innerLength;
  exact[flipAt % covered] ^= flipBy;
  check = CheckNtsReply(exact, length, kNonce, uid, aes, kS2c, &reply);
  FUZZ_CHECK(!Authenticated(check), "byte %zu changed, still authenticated (%d)", flipAt % covered, (int)check);
  CheckJudge(aes, uid, exact, length, check);
  free(exact);
  free(packet);
  return 0;
}
