// The Network Time Security key exchange's records (RFC 8915): the client's
// request, and the server's response read into a plain record. Bytes only: the
// TLS connection that carries them and the key export live elsewhere.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define NTSKE_PORT 4460
#define NTSKE_ALPN "ntske/1"
#define NTSKE_EXPORTER_LABEL "EXPORTER-network-time-security"
#define NTSKE_EXPORTER_CONTEXT_BYTES 5

#define NTS_PROTOCOL_NTPV4 0
#define NTS_AEAD_AES_SIV_CMAC_256 15
#define NTS_KEY_BYTES 32          // each of the two keys of AEAD_AES_SIV_CMAC_256
#define NTS_MAX_COOKIES 8
#define NTS_COOKIE_MAX_BYTES 256
#define NTSKE_SERVER_MAX_CHARS 255

// Record types; the top bit of a record's type is its critical bit.
#define NTSKE_END_OF_MESSAGE 0
#define NTSKE_NEXT_PROTOCOL 1
#define NTSKE_ERROR_RECORD 2
#define NTSKE_WARNING_RECORD 3
#define NTSKE_AEAD_ALGORITHM 4
#define NTSKE_NEW_COOKIE 5
#define NTSKE_SERVER 6
#define NTSKE_PORT_RECORD 7
#define NTSKE_CRITICAL 0x8000

// The request: Next Protocol NTPv4, AEAD algorithm AES-SIV-CMAC-256 and End of
// Message, each marked critical.
#define NTSKE_REQUEST_BYTES 16
void BuildNtsKeRequest(uint8_t request[NTSKE_REQUEST_BYTES]);

// The context of the TLS exporter for the client-to-server key (false) or the
// server-to-client key (true), both NTS_KEY_BYTES long, with NTSKE_EXPORTER_LABEL.
void NtsKeExporterContext(uint8_t context[NTSKE_EXPORTER_CONTEXT_BYTES], bool serverToClient);

struct NTSCOOKIE {
  uint16_t length;
  uint8_t bytes[NTS_COOKIE_MAX_BYTES];
};

// What a response says. Filled as far as the bytes went, whatever the result.
struct NTSKERESPONSE {
  int32_t errorCode;        // the Error record's code, -1 when there is none
  int32_t warningCode;      // the Warning record's code, -1 when there is none
  char server[NTSKE_SERVER_MAX_CHARS + 1];   // NTPv4 server to ask; empty: the key-exchange host
  uint16_t port;            // its UDP port; 0: not negotiated (123)
  int cookieCount;
  NTSCOOKIE cookies[NTS_MAX_COOKIES];
  size_t length;            // bytes up to and including End of Message
};

enum NTSKECHECK {
  NTSKE_OK = 0,
  NTSKE_INCOMPLETE,         // no End of Message yet: read on (or, once the stream ends, give up)
  NTSKE_BAD_RECORD,         // a known record with a body of the wrong length or content, or repeated
  NTSKE_UNKNOWN_CRITICAL,   // a critical record of a type this client does not know
  NTSKE_ERROR,              // the server sent an Error record (errorCode)
  NTSKE_WARNING,            // the server sent a Warning record (warningCode)
  NTSKE_BAD_PROTOCOL,       // Next Protocol missing or not exactly NTPv4
  NTSKE_BAD_AEAD,           // AEAD algorithm missing or not exactly AES-SIV-CMAC-256
  NTSKE_NO_COOKIES,         // no usable cookie (1 to NTS_COOKIE_MAX_BYTES bytes, a multiple of 4)
};

// Reads the response's records from the start of data. Unknown non-critical
// records are skipped, cookies beyond NTS_MAX_COOKIES or unusable are dropped,
// bytes after End of Message are not read.
NTSKECHECK ParseNtsKeResponse(const uint8_t* data, size_t length, NTSKERESPONSE* response);
