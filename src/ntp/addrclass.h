// The class of an IP address, for the NTP server a key exchange names: a
// hostile key-exchange server must not aim its clients at the loopback, a
// private network or a multicast group. Pure functions, no platform call.
#pragma once
#include <stddef.h>
#include <stdint.h>

enum ADDRCLASS {
  ADDR_PUBLIC = 0,      // anything below does not hold
  ADDR_UNSPECIFIED,     // 0.0.0.0/8, ::
  ADDR_LOOPBACK,        // 127.0.0.0/8, ::1
  ADDR_PRIVATE,         // 10/8, 172.16/12, 192.168/16, fc00::/7
  ADDR_SHARED,          // 100.64/10, the carrier-grade NAT's space
  ADDR_LINK_LOCAL,      // 169.254/16, fe80::/10
  ADDR_MULTICAST,       // 224/4, ff00::/8
  ADDR_BROADCAST,       // 255.255.255.255
  ADDR_INVALID,         // not 4 or 16 bytes
};

// The class of a 4-byte IPv4 or 16-byte IPv6 address (network order); an
// IPv4-mapped IPv6 address (::ffff:a.b.c.d) is classed as its IPv4 address.
ADDRCLASS ClassifyAddress(const uint8_t* address, size_t length);

// True when an NTP server of class `server` may be asked on the word of a key
// exchange with a peer of class `peer`: a public one, or one in the peer's own
// class (a key-exchange server on the loopback may name the loopback).
bool NtsServerClassAllowed(ADDRCLASS server, ADDRCLASS peer);

// True when a key exchange may name `port` for NTP: 0 (the standard one), 123,
// or one of 1024 and above, where no other well-known service listens.
bool NtsServerPortAllowed(uint16_t port);
