// The TLS 1.3 exporter (RFC 8446 section 7.5) computed from an exporter master
// secret, and (test builds, QL_NTS_KEYLOG_ROUTE) the two inputs a key log gives
// for it: the client random of the connection's own ClientHello and the key-log
// line that names it. Over an HMAC the caller supplies (BCrypt on Windows,
// libcrypto in the native tests); free of any platform call.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define TLS_RANDOM_BYTES 32
#define TLS_HASH_MAX_BYTES 48      // SHA-384
#define TLS_LABEL_MAX_CHARS 249    // "tls13 " plus the label fits the 255-byte field
#define TLS_CONTEXT_MAX_BYTES 255

// HMAC and the plain digest of one hash function (SHA-256: length 32, SHA-384:
// 48). Either call returns false when the hash fails.
struct TLSHASH {
  size_t length;
  bool (*hmac)(void* context, const uint8_t* key, size_t keyLength, const uint8_t* data, size_t dataLength,
               uint8_t* out);
  bool (*digest)(void* context, const uint8_t* data, size_t dataLength, uint8_t* out);
  void* context;
};

// HKDF-Expand(prk, info, length) of RFC 5869 section 2.3; prk is hash->length
// bytes. False when info is longer than a label's HkdfLabel, length exceeds 255
// hash lengths, or the hash fails.
bool HkdfExpand(const TLSHASH* hash, const uint8_t* prk, const uint8_t* info, size_t infoLength, uint8_t* out,
                size_t length);

// HKDF-Expand-Label(secret, label, context, length) of RFC 8446 section 7.1 over
// HKDF-Expand of RFC 5869; secret is hash->length bytes. False when the label,
// the context or length (at most 255 hash lengths) is too long, or the hash fails.
bool HkdfExpandLabel(const TLSHASH* hash, const uint8_t* secret, const char* label, const uint8_t* context,
                     size_t contextLength, uint8_t* out, size_t length);

// TLS-Exporter(label, context, length) from the exporter master secret.
bool TlsExporter(const TLSHASH* hash, const uint8_t* exporterSecret, const char* label, const uint8_t* context,
                 size_t contextLength, uint8_t* out, size_t length);

#if QL_NTS_KEYLOG_ROUTE
#define KEYLOG_LINE_MAX_CHARS 512  // the tag, the random and a SHA-384 secret, in hex

// The client random of a ClientHello as its first TLS record carries it. False
// when record is not a handshake record starting a ClientHello that long.
bool ClientHelloRandom(const uint8_t* record, size_t length, uint8_t random[TLS_RANDOM_BYTES]);

// Reads one key-log line (without its line end): true when it is
// "EXPORTER_SECRET <client random> <secret>" for this client random, in hex of
// either case, with a 32- or 48-byte secret; *secretLength then says which.
bool KeyLogExporterSecret(const char* line, size_t length, const uint8_t random[TLS_RANDOM_BYTES],
                          uint8_t secret[TLS_HASH_MAX_BYTES], size_t* secretLength);
#endif
