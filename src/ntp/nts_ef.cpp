#include "ntp/nts_ef.h"

#include <string.h>

#include "ntp/bytes.h"

namespace {

const size_t kFieldHeader = 4;
const size_t kMinField = 16;   // shortest extension field an NTPv4 packet may carry

size_t Padded(size_t n) {
  return (n + 3) & ~(size_t)3;
}

size_t FieldLength(size_t bodyLength) {
  const size_t n = kFieldHeader + Padded(bodyLength);
  return n < kMinField ? kMinField : n;
}

struct FIELD {
  uint16_t type;
  const uint8_t* body;
  size_t bodyLength;   // padding included: a field does not say how much it holds
  size_t start;
};

// The field at *at of a block of fields; false when it does not fit or its
// length is not a multiple of 4 of at least kMinField.
bool NextField(const uint8_t* data, size_t length, size_t* at, FIELD* field) {
  if (length - *at < kFieldHeader) return false;
  const size_t n = Read16(data + *at + 2);
  if (n < kMinField || n % 4 || n > length - *at) return false;
  field->type = Read16(data + *at);
  field->body = data + *at + kFieldHeader;
  field->bodyLength = n - kFieldHeader;
  field->start = *at;
  *at += n;
  return true;
}

// The encrypted fields: cookies are kept (as many as fit), the rest is skipped.
bool TakeCookies(const uint8_t* plain, size_t length, NTSREPLY* reply) {
  size_t at = 0;
  FIELD field;
  while (at < length) {
    if (!NextField(plain, length, &at, &field)) return false;
    if (field.type != NTS_EF_COOKIE || field.bodyLength > NTS_COOKIE_MAX_BYTES ||
        reply->cookieCount >= NTS_MAX_COOKIES)
      continue;
    NTSCOOKIE* cookie = &reply->cookies[reply->cookieCount++];
    cookie->length = (uint16_t)field.bodyLength;
    memcpy(cookie->bytes, field.body, field.bodyLength);
  }
  return true;
}

}  // namespace

size_t AppendNtsField(uint8_t* packet, size_t capacity, size_t length, uint16_t type, const uint8_t* body,
                      size_t bodyLength) {
  const size_t n = FieldLength(bodyLength);
  if (length > capacity || capacity - length < n || n > 0xFFFF) return 0;
  uint8_t* p = packet + length;
  memset(p, 0, n);
  Put16(p, type);
  Put16(p + 2, (uint16_t)n);
  if (body) memcpy(p + kFieldHeader, body, bodyLength);
  return length + n;
}

size_t AppendNtsAuthenticator(uint8_t* packet, size_t capacity, size_t length, const uint8_t* plaintext,
                              size_t plainLength, const uint8_t aeadNonce[NTS_NONCE_BYTES], const AESBLOCK* aes,
                              const uint8_t key[NTS_KEY_BYTES]) {
  // Nonce and ciphertext lengths, the nonce, then the synthetic IV and the
  // ciphertext; the nonce needs no padding, being NTS_NONCE_BYTES long.
  const size_t cipherLength = SIV_TAG_BYTES + plainLength;
  if (cipherLength > 0xFFFF) return 0;
  const size_t end = AppendNtsField(packet, capacity, length, NTS_EF_AUTHENTICATOR, nullptr,
                                    4 + NTS_NONCE_BYTES + cipherLength);
  if (!end) return 0;
  uint8_t* body = packet + length + kFieldHeader;
  Put16(body, NTS_NONCE_BYTES);
  Put16(body + 2, (uint16_t)cipherLength);
  memcpy(body + 4, aeadNonce, NTS_NONCE_BYTES);
  const SIVPART parts[2] = {{packet, length}, {aeadNonce, NTS_NONCE_BYTES}};
  if (!SivEncrypt(aes, key, parts, 2, plaintext, plainLength, body + 4 + NTS_NONCE_BYTES)) return 0;
  return end;
}

size_t BuildNtsRequest(uint8_t* packet, size_t capacity, uint64_t nonce, const uint8_t uid[NTS_UID_BYTES],
                       const NTSCOOKIE* cookie, int placeholders, const uint8_t aeadNonce[NTS_NONCE_BYTES],
                       const AESBLOCK* aes, const uint8_t c2sKey[NTS_KEY_BYTES]) {
  if (placeholders < 0 || placeholders >= NTS_MAX_COOKIES || cookie->length == 0 ||
      cookie->length > NTS_COOKIE_MAX_BYTES || capacity < SNTP_PACKET_BYTES)
    return 0;
  BuildRequest(packet, nonce);
  size_t at = AppendNtsField(packet, capacity, SNTP_PACKET_BYTES, NTS_EF_UNIQUE_ID, uid, NTS_UID_BYTES);
  if (at) at = AppendNtsField(packet, capacity, at, NTS_EF_COOKIE, cookie->bytes, cookie->length);
  for (int i = 0; i < placeholders && at; ++i)
    at = AppendNtsField(packet, capacity, at, NTS_EF_COOKIE_PLACEHOLDER, nullptr, cookie->length);
  if (at) at = AppendNtsAuthenticator(packet, capacity, at, nullptr, 0, aeadNonce, aes, c2sKey);
  return at;
}

NTSCHECK CheckNtsReply(const uint8_t* data, size_t length, uint64_t nonce, const uint8_t uid[NTS_UID_BYTES],
                       const AESBLOCK* aes, const uint8_t s2cKey[NTS_KEY_BYTES], NTSREPLY* reply) {
  memset(reply, 0, sizeof *reply);
  if (length > NTS_PACKET_MAX_BYTES) return NTS_IGNORE_HEADER;
  reply->header = DecodeReply(data, length, nonce, &reply->sntp);
  if (reply->header == SNTP_BAD_LENGTH || reply->header == SNTP_IGNORE_ORIGIN) return NTS_IGNORE_HEADER;

  // The fields must fill the datagram: the identifier exactly once, the
  // authenticator last (anything after it would go unauthenticated).
  size_t at = SNTP_PACKET_BYTES;
  FIELD field, auth = {};
  int uids = 0;
  bool uidOk = false, authSeen = false;
  while (at < length) {
    if (authSeen || !NextField(data, length, &at, &field)) return NTS_IGNORE_FIELDS;
    if (field.type == NTS_EF_UNIQUE_ID) {
      ++uids;
      uidOk = field.bodyLength == NTS_UID_BYTES && memcmp(field.body, uid, NTS_UID_BYTES) == 0;
    } else if (field.type == NTS_EF_AUTHENTICATOR) {
      authSeen = true;
      auth = field;
    }
  }
  if (uids != 1 || !uidOk) return NTS_IGNORE_UID;
  // A negative acknowledgement is never authenticated: the echoed identifier,
  // which only the path to the server has seen, is all that vouches for it.
  if (reply->header == SNTP_KISS && reply->sntp.kissCode == SNTP_KISS_NTSN) return NTS_NAK;
  if (!authSeen || auth.bodyLength < 4) return NTS_IGNORE_AUTH;

  const size_t nonceLength = Read16(auth.body);
  const size_t cipherLength = Read16(auth.body + 2);
  // The nonce and its padding take at least NTS_NONCE_BYTES.
  const size_t nonceRoom = Padded(nonceLength) < NTS_NONCE_BYTES ? NTS_NONCE_BYTES : Padded(nonceLength);
  if (nonceLength == 0 || cipherLength < SIV_TAG_BYTES || 4 + nonceRoom + Padded(cipherLength) > auth.bodyLength)
    return NTS_IGNORE_AUTH;
  const uint8_t* aeadNonce = auth.body + 4;
  const uint8_t* cipher = aeadNonce + Padded(nonceLength);
  uint8_t plain[NTS_PACKET_MAX_BYTES];
  const SIVPART parts[2] = {{data, auth.start}, {aeadNonce, nonceLength}};
  if (!SivDecrypt(aes, s2cKey, parts, 2, cipher, cipherLength, plain)) return NTS_IGNORE_AUTH;

  const size_t plainLength = cipherLength - SIV_TAG_BYTES;
  const bool fieldsOk = TakeCookies(plain, plainLength, reply);
  memset(plain, 0, plainLength);
  if (!fieldsOk) {
    reply->cookieCount = 0;
    return NTS_BAD_FIELDS;
  }
  return reply->header == SNTP_OK ? NTS_OK : NTS_BAD_HEADER;
}
