#include "ntp/nts_ke.h"

#include <string.h>

#include "ntp/bytes.h"

namespace {

uint8_t* PutRecord(uint8_t* p, uint16_t type, const uint16_t* body, int count) {
  p = Put16(p, (uint16_t)(type | NTSKE_CRITICAL));
  p = Put16(p, (uint16_t)(2 * count));
  for (int i = 0; i < count; ++i) p = Put16(p, body[i]);
  return p;
}

// A negotiated host: printable ASCII without blanks, as a name or an address literal.
bool PlainHost(const uint8_t* body, size_t length) {
  if (length == 0 || length > NTSKE_SERVER_MAX_CHARS) return false;
  for (size_t i = 0; i < length; ++i)
    if (body[i] <= 0x20 || body[i] >= 0x7F) return false;
  return true;
}

}  // namespace

void BuildNtsKeRequest(uint8_t request[NTSKE_REQUEST_BYTES]) {
  const uint16_t protocol = NTS_PROTOCOL_NTPV4;
  const uint16_t aead = NTS_AEAD_AES_SIV_CMAC_256;
  uint8_t* p = PutRecord(request, NTSKE_NEXT_PROTOCOL, &protocol, 1);
  p = PutRecord(p, NTSKE_AEAD_ALGORITHM, &aead, 1);
  PutRecord(p, NTSKE_END_OF_MESSAGE, nullptr, 0);
}

void NtsKeExporterContext(uint8_t context[NTSKE_EXPORTER_CONTEXT_BYTES], bool serverToClient) {
  Put16(Put16(context, NTS_PROTOCOL_NTPV4), NTS_AEAD_AES_SIV_CMAC_256);
  context[4] = serverToClient ? 1 : 0;
}

NTSKECHECK ParseNtsKeResponse(const uint8_t* data, size_t length, NTSKERESPONSE* response) {
  memset(response, 0, sizeof *response);
  response->errorCode = -1;
  response->warningCode = -1;
  int protocols = 0, aeads = 0;
  bool protocolOk = false, aeadOk = false, serverSeen = false, portSeen = false;
  size_t at = 0;
  for (;;) {
    if (length - at < 4) return NTSKE_INCOMPLETE;
    const uint16_t word = Read16(data + at);
    const bool critical = (word & NTSKE_CRITICAL) != 0;
    const uint16_t type = word & ~NTSKE_CRITICAL;
    const size_t bodyLength = Read16(data + at + 2);
    if (length - at - 4 < bodyLength) return NTSKE_INCOMPLETE;
    const uint8_t* body = data + at + 4;
    at += 4 + bodyLength;
    switch (type) {
      case NTSKE_END_OF_MESSAGE:
        if (bodyLength != 0) return NTSKE_BAD_RECORD;
        response->length = at;
        if (response->errorCode >= 0) return NTSKE_ERROR;
        if (response->warningCode >= 0) return NTSKE_WARNING;
        if (protocols != 1 || !protocolOk) return NTSKE_BAD_PROTOCOL;
        if (aeads != 1 || !aeadOk) return NTSKE_BAD_AEAD;
        if (response->cookieCount == 0) return NTSKE_NO_COOKIES;
        return NTSKE_OK;
      case NTSKE_NEXT_PROTOCOL:
        // Exactly one protocol, ours; an empty list says the server has none of ours.
        if (bodyLength % 2) return NTSKE_BAD_RECORD;
        ++protocols;
        protocolOk = bodyLength == 2 && Read16(body) == NTS_PROTOCOL_NTPV4;
        break;
      case NTSKE_AEAD_ALGORITHM:
        if (bodyLength % 2) return NTSKE_BAD_RECORD;
        ++aeads;
        aeadOk = bodyLength == 2 && Read16(body) == NTS_AEAD_AES_SIV_CMAC_256;
        break;
      case NTSKE_ERROR_RECORD:
      case NTSKE_WARNING_RECORD:
        if (bodyLength != 2) return NTSKE_BAD_RECORD;
        (type == NTSKE_ERROR_RECORD ? response->errorCode : response->warningCode) = Read16(body);
        break;
      case NTSKE_NEW_COOKIE:
        // A cookie that could not be sent back whole in an extension field is dropped.
        if (bodyLength > 0 && bodyLength <= NTS_COOKIE_MAX_BYTES && bodyLength % 4 == 0 &&
            response->cookieCount < NTS_MAX_COOKIES) {
          NTSCOOKIE* cookie = &response->cookies[response->cookieCount++];
          cookie->length = (uint16_t)bodyLength;
          memcpy(cookie->bytes, body, bodyLength);
        }
        break;
      case NTSKE_SERVER:
        if (serverSeen || !PlainHost(body, bodyLength)) return NTSKE_BAD_RECORD;
        serverSeen = true;
        memcpy(response->server, body, bodyLength);
        response->server[bodyLength] = 0;
        break;
      case NTSKE_PORT_RECORD:
        if (portSeen || bodyLength != 2 || Read16(body) == 0) return NTSKE_BAD_RECORD;
        portSeen = true;
        response->port = Read16(body);
        break;
      default:
        if (critical) return NTSKE_UNKNOWN_CRITICAL;
        break;
    }
  }
}
