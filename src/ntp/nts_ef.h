// NTP packets protected by Network Time Security (RFC 8915): the client's request
// with its extension fields, and the check of a server's reply. The keys and
// cookies come from the key exchange (nts_ke.h); the random values from the caller.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "ntp/aes_siv.h"
#include "ntp/nts_ke.h"
#include "ntp/sntp_codec.h"

#define NTS_UID_BYTES 32
#define NTS_NONCE_BYTES 16
#define NTS_PACKET_MAX_BYTES 4096   // a longer datagram is not taken as a reply

// Extension field types.
#define NTS_EF_UNIQUE_ID 0x0104
#define NTS_EF_COOKIE 0x0204
#define NTS_EF_COOKIE_PLACEHOLDER 0x0304
#define NTS_EF_AUTHENTICATOR 0x0404

#define SNTP_KISS_NTSN SNTP_KISS_CODE('N', 'T', 'S', 'N')

// Writes the request into packet: the plain request header carrying nonce (see
// BuildRequest), the Unique Identifier uid, the cookie, `placeholders` cookie
// placeholders of the cookie's length (asking for as many more cookies), and the
// authenticator over all of it under the client-to-server key with aeadNonce.
// Returns the length, or 0 when it does not fit in capacity, placeholders is
// outside 0..NTS_MAX_COOKIES-1, the cookie is empty or too long, or AES fails.
size_t BuildNtsRequest(uint8_t* packet, size_t capacity, uint64_t nonce, const uint8_t uid[NTS_UID_BYTES],
                       const NTSCOOKIE* cookie, int placeholders, const uint8_t aeadNonce[NTS_NONCE_BYTES],
                       const AESBLOCK* aes, const uint8_t c2sKey[NTS_KEY_BYTES]);

// The steps of BuildNtsRequest, which a server's reply is made of as well. Each
// appends to the `length` bytes in packet and returns the new length, or 0 when
// it does not fit in capacity (or AES fails).
// A field of `type` holding body (zeros when null), padded to a multiple of 4 and
// to at least 16 bytes.
size_t AppendNtsField(uint8_t* packet, size_t capacity, size_t length, uint16_t type, const uint8_t* body,
                      size_t bodyLength);
// The authenticator over the `length` bytes before it, with plaintext encrypted
// into it (the encrypted extension fields; none from a client).
size_t AppendNtsAuthenticator(uint8_t* packet, size_t capacity, size_t length, const uint8_t* plaintext,
                              size_t plainLength, const uint8_t aeadNonce[NTS_NONCE_BYTES], const AESBLOCK* aes,
                              const uint8_t key[NTS_KEY_BYTES]);

// Why a datagram is not the authenticated answer. NTS_IGNORE_* datagrams cannot
// be told apart from forgeries: the wait for the genuine one goes on.
enum NTSCHECK {
  NTS_OK = 0,
  NTS_IGNORE_HEADER,    // shorter than the header, longer than NTS_PACKET_MAX_BYTES, or a wrong origin
  NTS_IGNORE_FIELDS,    // extension fields that do not fill the datagram exactly
  NTS_IGNORE_UID,       // no Unique Identifier, or another than the request's
  NTS_IGNORE_AUTH,      // no authenticator, not the last field, malformed, or failing
  NTS_NAK,              // "NTSN" kiss echoing the identifier: the cookie was refused
  NTS_BAD_HEADER,       // authenticated, but the header fails the plain checks (header says which)
  NTS_BAD_FIELDS,       // authenticated, but the encrypted fields are malformed
};

struct NTSREPLY {
  SNTPCHECK header;     // the plain decoder's verdict on the 48-byte header
  SNTPREPLY sntp;       // its fields, valid when header is SNTP_OK (kissCode for SNTP_KISS)
  int cookieCount;      // new cookies from the encrypted fields (NTS_OK, NTS_BAD_HEADER)
  NTSCOOKIE cookies[NTS_MAX_COOKIES];
};

// Checks a datagram against the request that carried nonce and uid, with the
// server-to-client key. NTS_OK: the header passed and the reply is authentic.
NTSCHECK CheckNtsReply(const uint8_t* data, size_t length, uint64_t nonce, const uint8_t uid[NTS_UID_BYTES],
                       const AESBLOCK* aes, const uint8_t s2cKey[NTS_KEY_BYTES], NTSREPLY* reply);
