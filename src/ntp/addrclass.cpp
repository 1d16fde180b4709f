#include "ntp/addrclass.h"

#include <string.h>

namespace {

struct RANGE {
  uint8_t prefix[4];
  int bits;
  ADDRCLASS cls;
};

const RANGE kIpv4[] = {
    {{0, 0, 0, 0}, 8, ADDR_UNSPECIFIED},        {{127, 0, 0, 0}, 8, ADDR_LOOPBACK},
    {{10, 0, 0, 0}, 8, ADDR_PRIVATE},           {{172, 16, 0, 0}, 12, ADDR_PRIVATE},
    {{192, 168, 0, 0}, 16, ADDR_PRIVATE},       {{100, 64, 0, 0}, 10, ADDR_SHARED},
    {{169, 254, 0, 0}, 16, ADDR_LINK_LOCAL},    {{224, 0, 0, 0}, 4, ADDR_MULTICAST},
    {{255, 255, 255, 255}, 32, ADDR_BROADCAST},
};

bool InPrefix(const uint8_t* address, const uint8_t* prefix, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    const uint8_t mask = bits >= 8 ? 0xFF : (uint8_t)(0xFF << (8 - bits));
    if ((address[i] & mask) != (prefix[i] & mask)) return false;
  }
  return true;
}

ADDRCLASS ClassifyIpv4(const uint8_t* a) {
  for (const RANGE& r : kIpv4)
    if (InPrefix(a, r.prefix, r.bits)) return r.cls;
  return ADDR_PUBLIC;
}

}  // namespace

ADDRCLASS ClassifyAddress(const uint8_t* address, size_t length) {
  if (!address) return ADDR_INVALID;
  if (length == 4) return ClassifyIpv4(address);
  if (length != 16) return ADDR_INVALID;
  static const uint8_t kZero[16] = {};
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (memcmp(address, kMapped, sizeof kMapped) == 0) return ClassifyIpv4(address + 12);
  if (memcmp(address, kZero, 15) == 0) return address[15] == 0 ? ADDR_UNSPECIFIED : address[15] == 1 ? ADDR_LOOPBACK
                                                                                                       : ADDR_PUBLIC;
  if ((address[0] & 0xFE) == 0xFC) return ADDR_PRIVATE;
  if (address[0] == 0xFE && (address[1] & 0xC0) == 0x80) return ADDR_LINK_LOCAL;
  if (address[0] == 0xFF) return ADDR_MULTICAST;
  return ADDR_PUBLIC;
}

bool NtsServerClassAllowed(ADDRCLASS server, ADDRCLASS peer) {
  return server == ADDR_PUBLIC || (server == peer && server != ADDR_INVALID);
}

bool NtsServerPortAllowed(uint16_t port) {
  return port == 0 || port == 123 || port >= 1024;
}
