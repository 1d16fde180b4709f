// Which NTP server addresses a key exchange may name: each range's edges, on
// both sides, and the IPv4 addresses IPv6 carries.
#include <gtest/gtest.h>

#include <stdio.h>

#include <vector>

#include "ntp/addrclass.h"

namespace {

struct ADDRCASE {
  const char* text;
  std::vector<uint8_t> bytes;
  ADDRCLASS cls;
};

std::vector<uint8_t> V4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

// An IPv6 address from its first two and last two bytes.
std::vector<uint8_t> V6(uint8_t a, uint8_t b, uint8_t y, uint8_t z) {
  std::vector<uint8_t> v(16, 0);
  v[0] = a, v[1] = b, v[14] = y, v[15] = z;
  return v;
}

std::vector<uint8_t> Mapped(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  std::vector<uint8_t> v(16, 0);
  v[10] = v[11] = 0xFF;
  v[12] = a, v[13] = b, v[14] = c, v[15] = d;
  return v;
}

const char* Name(ADDRCLASS c) {
  static const char* const names[] = {"public",  "unspecified", "loopback",  "private", "shared",
                                      "link-local", "multicast", "broadcast", "invalid"};
  return names[c];
}

TEST(AddressClass, EachRangeAndItsNeighboursAndWhatAKeyExchangeMayName) {
  const ADDRCASE cases[] = {
      {"0.0.0.0", V4(0, 0, 0, 0), ADDR_UNSPECIFIED},
      {"0.255.255.255", V4(0, 255, 255, 255), ADDR_UNSPECIFIED},
      {"1.0.0.0", V4(1, 0, 0, 0), ADDR_PUBLIC},
      {"9.255.255.255", V4(9, 255, 255, 255), ADDR_PUBLIC},
      {"10.0.0.0", V4(10, 0, 0, 0), ADDR_PRIVATE},
      {"10.255.255.255", V4(10, 255, 255, 255), ADDR_PRIVATE},
      {"11.0.0.0", V4(11, 0, 0, 0), ADDR_PUBLIC},
      {"100.63.255.255", V4(100, 63, 255, 255), ADDR_PUBLIC},
      {"100.64.0.0", V4(100, 64, 0, 0), ADDR_SHARED},
      {"100.127.255.255", V4(100, 127, 255, 255), ADDR_SHARED},
      {"100.128.0.0", V4(100, 128, 0, 0), ADDR_PUBLIC},
      {"126.255.255.255", V4(126, 255, 255, 255), ADDR_PUBLIC},
      {"127.0.0.1", V4(127, 0, 0, 1), ADDR_LOOPBACK},
      {"127.255.255.255", V4(127, 255, 255, 255), ADDR_LOOPBACK},
      {"128.0.0.0", V4(128, 0, 0, 0), ADDR_PUBLIC},
      {"169.253.255.255", V4(169, 253, 255, 255), ADDR_PUBLIC},
      {"169.254.0.0", V4(169, 254, 0, 0), ADDR_LINK_LOCAL},
      {"169.254.255.255", V4(169, 254, 255, 255), ADDR_LINK_LOCAL},
      {"169.255.0.0", V4(169, 255, 0, 0), ADDR_PUBLIC},
      {"172.15.255.255", V4(172, 15, 255, 255), ADDR_PUBLIC},
      {"172.16.0.0", V4(172, 16, 0, 0), ADDR_PRIVATE},
      {"172.31.255.255", V4(172, 31, 255, 255), ADDR_PRIVATE},
      {"172.32.0.0", V4(172, 32, 0, 0), ADDR_PUBLIC},
      {"192.167.255.255", V4(192, 167, 255, 255), ADDR_PUBLIC},
      {"192.168.0.0", V4(192, 168, 0, 0), ADDR_PRIVATE},
      {"192.168.255.255", V4(192, 168, 255, 255), ADDR_PRIVATE},
      {"192.169.0.0", V4(192, 169, 0, 0), ADDR_PUBLIC},
      {"223.255.255.255", V4(223, 255, 255, 255), ADDR_PUBLIC},
      {"224.0.0.0", V4(224, 0, 0, 0), ADDR_MULTICAST},
      {"239.255.255.255", V4(239, 255, 255, 255), ADDR_MULTICAST},
      {"240.0.0.0", V4(240, 0, 0, 0), ADDR_PUBLIC},
      {"255.255.255.254", V4(255, 255, 255, 254), ADDR_PUBLIC},
      {"255.255.255.255", V4(255, 255, 255, 255), ADDR_BROADCAST},
      {"::", V6(0, 0, 0, 0), ADDR_UNSPECIFIED},
      {"::1", V6(0, 0, 0, 1), ADDR_LOOPBACK},
      {"::2", V6(0, 0, 0, 2), ADDR_PUBLIC},
      {"::ffff:127.0.0.1", Mapped(127, 0, 0, 1), ADDR_LOOPBACK},
      {"::ffff:0.0.0.0", Mapped(0, 0, 0, 0), ADDR_UNSPECIFIED},
      {"::ffff:10.1.2.3", Mapped(10, 1, 2, 3), ADDR_PRIVATE},
      {"::ffff:169.254.1.1", Mapped(169, 254, 1, 1), ADDR_LINK_LOCAL},
      {"::ffff:239.1.1.1", Mapped(239, 1, 1, 1), ADDR_MULTICAST},
      {"::ffff:255.255.255.255", Mapped(255, 255, 255, 255), ADDR_BROADCAST},
      {"::ffff:8.8.8.8", Mapped(8, 8, 8, 8), ADDR_PUBLIC},
      {"fbff::ffff", V6(0xFB, 0xFF, 0xFF, 0xFF), ADDR_PUBLIC},
      {"fc00::", V6(0xFC, 0, 0, 0), ADDR_PRIVATE},
      {"fdff::ffff", V6(0xFD, 0xFF, 0xFF, 0xFF), ADDR_PRIVATE},
      {"fe7f::ffff", V6(0xFE, 0x7F, 0xFF, 0xFF), ADDR_PUBLIC},
      {"fe80::", V6(0xFE, 0x80, 0, 0), ADDR_LINK_LOCAL},
      {"febf::ffff", V6(0xFE, 0xBF, 0xFF, 0xFF), ADDR_LINK_LOCAL},
      {"fec0::", V6(0xFE, 0xC0, 0, 0), ADDR_PUBLIC},
      {"ff00::", V6(0xFF, 0, 0, 0), ADDR_MULTICAST},
      {"ff02::1", V6(0xFF, 0x02, 0, 1), ADDR_MULTICAST},
      {"2001:db8::1", V6(0x20, 0x01, 0, 1), ADDR_PUBLIC},
      {"(5 bytes)", std::vector<uint8_t>(5, 10), ADDR_INVALID},
  };
  const ADDRCLASS loopback = ADDR_LOOPBACK, publicPeer = ADDR_PUBLIC;
  printf("%-24s %-12s %-18s %s\n", "address", "class", "loopback KE peer", "public KE peer");
  for (const ADDRCASE& c : cases) {
    const ADDRCLASS got = ClassifyAddress(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(c.cls, got) << c.text;
    // A public server is anyone's; any other only for a peer of its own class.
    const bool fromLoopback = NtsServerClassAllowed(got, loopback), fromPublic = NtsServerClassAllowed(got, publicPeer);
    EXPECT_EQ(got == ADDR_PUBLIC || got == ADDR_LOOPBACK, fromLoopback) << c.text;
    EXPECT_EQ(got == ADDR_PUBLIC, fromPublic) << c.text;
    EXPECT_EQ(got != ADDR_INVALID, NtsServerClassAllowed(got, got)) << c.text;
    printf("%-24s %-12s %-18s %s\n", c.text, Name(got), fromLoopback ? "asked" : "refused",
           fromPublic ? "asked" : "refused");
  }
  EXPECT_EQ(ADDR_INVALID, ClassifyAddress(nullptr, 4));

  const struct {
    uint16_t port;
    bool allowed;
  } ports[] = {{0, true}, {1, false}, {53, false}, {122, false}, {123, true}, {124, false},
               {1023, false}, {1024, true}, {11130, true}, {65535, true}};
  for (const auto& p : ports) EXPECT_EQ(p.allowed, NtsServerPortAllowed(p.port)) << p.port;
}

}  // namespace
