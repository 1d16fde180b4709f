// The key exchange's response parser, as the client reads the bytes the TLS
// peer sends, and the check of the NTP server and port an accepted response
// names (ntp/addrclass), the server's address taken from a dotted IPv4 name or
// from the first cookie's bytes.
//
// Input: a 2-byte head (little-endian: where to cut an accepted response for
// the prefix check), then the response's bytes.
#include "fuzzinput.h"
#include "ntp/addrclass.h"
#include "ntp/nts_ke.h"

namespace {

uint16_t Be16(const uint8_t* p) {
  return (uint16_t)((p[0] << 8) | p[1]);
}

void Put(uint8_t** p, uint16_t type, const uint8_t* body, size_t length) {
  uint8_t* q = *p;
  q[0] = (uint8_t)(type >> 8);
  q[1] = (uint8_t)type;
  q[2] = (uint8_t)(length >> 8);
  q[3] = (uint8_t)length;
  if (length) memcpy(q + 4, body, length);
  *p = q + 4 + length;
}

void CheckFields(const NTSKERESPONSE& r) {
  FUZZ_CHECK(r.cookieCount >= 0 && r.cookieCount <= NTS_MAX_COOKIES, "%d cookies", r.cookieCount);
  for (int i = 0; i < r.cookieCount; ++i) {
    const int n = r.cookies[i].length;
    FUZZ_CHECK(n > 0 && n <= NTS_COOKIE_MAX_BYTES && n % 4 == 0, "cookie %d of %d bytes kept", i, n);
  }
  const size_t n = strnlen(r.server, sizeof r.server);
  FUZZ_CHECK(n < sizeof r.server, "server name not terminated");
  for (size_t i = 0; i < n; ++i)
    FUZZ_CHECK(r.server[i] > 0x20 && r.server[i] < 0x7F, "server name byte %02x", (uint8_t)r.server[i]);
}

// The response as a server would send what was read; it must read back the same.
void CheckReencoded(const NTSKERESPONSE& r) {
  uint8_t* buffer = (uint8_t*)malloc(64 + NTSKE_SERVER_MAX_CHARS + NTS_MAX_COOKIES * (4 + NTS_COOKIE_MAX_BYTES));
  uint8_t* p = buffer;
  const uint8_t protocol[2] = {0, NTS_PROTOCOL_NTPV4}, aead[2] = {0, NTS_AEAD_AES_SIV_CMAC_256};
  const uint8_t port[2] = {(uint8_t)(r.port >> 8), (uint8_t)r.port};
  Put(&p, NTSKE_CRITICAL | NTSKE_NEXT_PROTOCOL, protocol, 2);
  Put(&p, NTSKE_AEAD_ALGORITHM, aead, 2);
  if (r.server[0]) Put(&p, NTSKE_SERVER, (const uint8_t*)r.server, strlen(r.server));
  if (r.port) Put(&p, NTSKE_PORT_RECORD, port, 2);
  for (int i = 0; i < r.cookieCount; ++i) Put(&p, NTSKE_NEW_COOKIE, r.cookies[i].bytes, r.cookies[i].length);
  Put(&p, NTSKE_CRITICAL | NTSKE_END_OF_MESSAGE, nullptr, 0);
  NTSKERESPONSE again;
  const NTSKECHECK check = ParseNtsKeResponse(buffer, (size_t)(p - buffer), &again);
  FUZZ_CHECK(check == NTSKE_OK, "re-encoded response gave %d", (int)check);
  again.length = r.length;
  FUZZ_CHECK(memcmp(&again, &r, sizeof r) == 0, "re-encoded response reads differently");
  free(buffer);
}

// An address's class against a few plain rules, and its IPv4-mapped form.
void CheckClass(const uint8_t v4[4]) {
  const ADDRCLASS c = ClassifyAddress(v4, 4);
  uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  memcpy(mapped + 12, v4, 4);
  FUZZ_CHECK(ClassifyAddress(mapped, 16) == c, "%u.%u.%u.%u mapped classed apart", v4[0], v4[1], v4[2], v4[3]);
  FUZZ_CHECK(c != ADDR_INVALID, "an IPv4 address invalid");
  if (v4[0] == 127) FUZZ_CHECK(c == ADDR_LOOPBACK, "127/8 not loopback");
  if (v4[0] == 10) FUZZ_CHECK(c == ADDR_PRIVATE, "10/8 not private");
  if (v4[0] == 0) FUZZ_CHECK(c == ADDR_UNSPECIFIED, "0/8 not unspecified");
  if (v4[0] >= 224 && v4[0] < 240) FUZZ_CHECK(c == ADDR_MULTICAST, "224/4 not multicast");
  if (v4[0] == 8 || v4[0] == 1) FUZZ_CHECK(c == ADDR_PUBLIC, "%u/8 not public", v4[0]);
  FUZZ_CHECK(NtsServerClassAllowed(c, ADDR_PUBLIC) == (c == ADDR_PUBLIC), "class %d named by a public peer", (int)c);
  FUZZ_CHECK(NtsServerClassAllowed(c, c), "class %d refused to its own class", (int)c);
}

// The server and port an accepted response names, as the client checks them.
void CheckServerRecord(const NTSKERESPONSE& r) {
  const uint16_t p = r.port;
  FUZZ_CHECK(NtsServerPortAllowed(p) == (p == 0 || p == 123 || p >= 1024), "port %u", (unsigned)p);
  unsigned a, b, c, d;
  char rest;
  if (sscanf(r.server, "%u.%u.%u.%u%c", &a, &b, &c, &d, &rest) == 4 && a < 256 && b < 256 && c < 256 && d < 256) {
    const uint8_t v4[4] = {(uint8_t)a, (uint8_t)b, (uint8_t)c, (uint8_t)d};
    CheckClass(v4);
  }
  const NTSCOOKIE& cookie = r.cookies[0];
  CheckClass(cookie.bytes);
  const ADDRCLASS v6 = ClassifyAddress(cookie.bytes, 16);
  FUZZ_CHECK(v6 != ADDR_INVALID, "an IPv6 address invalid");
  if (cookie.bytes[0] == 0xFF) FUZZ_CHECK(v6 == ADDR_MULTICAST, "ff00::/8 not multicast");
  FUZZ_CHECK(ClassifyAddress(cookie.bytes, cookie.length % 20) == ADDR_INVALID ||
                 cookie.length % 20 == 4 || cookie.length % 20 == 16,
             "%d bytes classed", cookie.length % 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  const uint16_t cut = in.U16();
  // The bytes in a buffer of exactly their length, so any read past it is caught.
  uint8_t* bytes = (uint8_t*)malloc(in.size ? in.size : 1);
  if (in.size) memcpy(bytes, in.data, in.size);
  const size_t length = in.size;

  NTSKERESPONSE r;
  memset(&r, 0xA5, sizeof r);
  const NTSKECHECK check = ParseNtsKeResponse(bytes, length, &r);
  CheckFields(r);
  const bool ended = check != NTSKE_INCOMPLETE && check != NTSKE_BAD_RECORD && check != NTSKE_UNKNOWN_CRITICAL;
  if (ended) {
    // The message ends in End of Message; nothing after it counts.
    FUZZ_CHECK(r.length >= 4 && r.length <= length, "length %zu of %zu", r.length, length);
    FUZZ_CHECK((Be16(bytes + r.length - 4) & 0x7FFF) == NTSKE_END_OF_MESSAGE && Be16(bytes + r.length - 2) == 0,
               "the message does not end in End of Message");
    NTSKERESPONSE head;
    FUZZ_CHECK(ParseNtsKeResponse(bytes, r.length, &head) == check, "the bytes after the end changed the result");
    FUZZ_CHECK(memcmp(&head, &r, sizeof r) == 0, "the bytes after the end changed the record");
  } else {
    FUZZ_CHECK(r.length == 0, "length %zu without End of Message", r.length);
  }
  switch (check) {
    case NTSKE_OK:
      FUZZ_CHECK(r.cookieCount > 0 && r.errorCode == -1 && r.warningCode == -1, "accepted with %d cookies, error %d, warning %d",
                 r.cookieCount, (int)r.errorCode, (int)r.warningCode);
      CheckReencoded(r);
      CheckServerRecord(r);
      {
        // Any earlier cut is a message still coming.
        NTSKERESPONSE part;
        const size_t at = cut % r.length;
        FUZZ_CHECK(ParseNtsKeResponse(bytes, at, &part) == NTSKE_INCOMPLETE, "cut at %zu not incomplete", at);
      }
      break;
    case NTSKE_ERROR:
      FUZZ_CHECK(r.errorCode >= 0 && r.errorCode <= 0xFFFF, "error %d", (int)r.errorCode);
      break;
    case NTSKE_WARNING:
      FUZZ_CHECK(r.errorCode == -1 && r.warningCode >= 0 && r.warningCode <= 0xFFFF, "warning %d", (int)r.warningCode);
      break;
    case NTSKE_NO_COOKIES:
      FUZZ_CHECK(r.cookieCount == 0, "%d cookies yet none", r.cookieCount);
      break;
    default:
      FUZZ_CHECK(check >= NTSKE_INCOMPLETE && check <= NTSKE_NO_COOKIES, "result %d", (int)check);
      break;
  }
  free(bytes);
  return 0;
}
