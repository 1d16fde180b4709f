#include "ntp/tls_exporter.h"

#include <string.h>

#if QL_NTS_KEYLOG_ROUTE
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes exactly `bytes` bytes from 2 * bytes hex digits.
bool Hex(const char* text, size_t bytes, uint8_t* out) {
  for (size_t i = 0; i < bytes; ++i) {
    const int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = (uint8_t)(high << 4 | low);
  }
  return true;
}

}  // namespace
#endif

// T(i) = HMAC(PRK, T(i-1) | info | i); the output is T(1) | T(2) | ... cut to length.
bool HkdfExpand(const TLSHASH* hash, const uint8_t* prk, const uint8_t* info, size_t infoLength, uint8_t* out,
                size_t length) {
  if (hash->length > TLS_HASH_MAX_BYTES || length > 255 * hash->length) return false;
  uint8_t block[TLS_HASH_MAX_BYTES + 2 + 1 + 6 + TLS_LABEL_MAX_CHARS + 1 + TLS_CONTEXT_MAX_BYTES + 1];
  if (infoLength > sizeof block - TLS_HASH_MAX_BYTES - 1) return false;
  uint8_t t[TLS_HASH_MAX_BYTES];
  size_t previous = 0;
  for (uint8_t i = 1; length > 0; ++i) {
    memcpy(block, t, previous);
    if (infoLength) memcpy(block + previous, info, infoLength);
    block[previous + infoLength] = i;
    if (!hash->hmac(hash->context, prk, hash->length, block, previous + infoLength + 1, t)) return false;
    previous = hash->length;
    const size_t n = length < previous ? length : previous;
    memcpy(out, t, n);
    out += n;
    length -= n;
  }
  return true;
}

bool HkdfExpandLabel(const TLSHASH* hash, const uint8_t* secret, const char* label, const uint8_t* context,
                     size_t contextLength, uint8_t* out, size_t length) {
  // struct { uint16 length; opaque label<7..255> = "tls13 " + Label; opaque context<0..255>; } HkdfLabel
  const size_t labelLength = strlen(label);
  if (labelLength > TLS_LABEL_MAX_CHARS || contextLength > TLS_CONTEXT_MAX_BYTES || length > 0xFFFF) return false;
  uint8_t info[2 + 1 + 6 + TLS_LABEL_MAX_CHARS + 1 + TLS_CONTEXT_MAX_BYTES];
  uint8_t* p = info;
  *p++ = (uint8_t)(length >> 8);
  *p++ = (uint8_t)length;
  *p++ = (uint8_t)(6 + labelLength);
  memcpy(p, "tls13 ", 6);
  memcpy(p + 6, label, labelLength);
  p += 6 + labelLength;
  *p++ = (uint8_t)contextLength;
  if (contextLength) memcpy(p, context, contextLength);
  p += contextLength;
  return HkdfExpand(hash, secret, info, (size_t)(p - info), out, length);
}

bool TlsExporter(const TLSHASH* hash, const uint8_t* exporterSecret, const char* label, const uint8_t* context,
                 size_t contextLength, uint8_t* out, size_t length) {
  // HKDF-Expand-Label(Derive-Secret(Secret, label, ""), "exporter", Hash(context_value), key_length),
  // where Derive-Secret(Secret, label, "") = HKDF-Expand-Label(Secret, label, Hash(""), Hash.length).
  if (hash->length > TLS_HASH_MAX_BYTES) return false;
  uint8_t emptyHash[TLS_HASH_MAX_BYTES], contextHash[TLS_HASH_MAX_BYTES], derived[TLS_HASH_MAX_BYTES];
  const bool ok = hash->digest(hash->context, nullptr, 0, emptyHash) &&
                  hash->digest(hash->context, context, contextLength, contextHash) &&
                  HkdfExpandLabel(hash, exporterSecret, label, emptyHash, hash->length, derived, hash->length) &&
                  HkdfExpandLabel(hash, derived, "exporter", contextHash, hash->length, out, length);
  memset(derived, 0, sizeof derived);
  return ok;
}

#if QL_NTS_KEYLOG_ROUTE
bool ClientHelloRandom(const uint8_t* record, size_t length, uint8_t random[TLS_RANDOM_BYTES]) {
  // Record header (type 22, version, length), handshake header (type 1, 24-bit
  // length), legacy_version, then the random.
  const size_t at = 5 + 4 + 2;
  if (length < at + TLS_RANDOM_BYTES || record[0] != 22 || record[5] != 1) return false;
  memcpy(random, record + at, TLS_RANDOM_BYTES);
  return true;
}

bool KeyLogExporterSecret(const char* line, size_t length, const uint8_t random[TLS_RANDOM_BYTES],
                          uint8_t secret[TLS_HASH_MAX_BYTES], size_t* secretLength) {
  static const char kTag[] = "EXPORTER_SECRET ";
  const size_t tag = sizeof kTag - 1, randomChars = 2 * TLS_RANDOM_BYTES;
  if (length < tag + randomChars + 1 || memcmp(line, kTag, tag) != 0 || line[tag + randomChars] != ' ') return false;
  uint8_t lineRandom[TLS_RANDOM_BYTES];
  if (!Hex(line + tag, TLS_RANDOM_BYTES, lineRandom) || memcmp(lineRandom, random, TLS_RANDOM_BYTES) != 0)
    return false;
  const size_t secretChars = length - tag - randomChars - 1;
  if (secretChars != 64 && secretChars != 96) return false;
  if (!Hex(line + tag + randomChars + 1, secretChars / 2, secret)) return false;
  *secretLength = secretChars / 2;
  return true;
}
#endif
