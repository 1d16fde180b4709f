// The key exchange's records and the NTS-protected NTP packet: a request and
// response round trip through both codecs, and what the server may refuse or
// deny. Malformed framing is left to the fuzz targets, which check it against
// a reference.
#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "ntp/nts_ef.h"
#include "ntp/nts_ke.h"
#include "testaes.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Record(Bytes* b, uint16_t type, const Bytes& body) {
  const uint8_t head[4] = {(uint8_t)(type >> 8), (uint8_t)type, (uint8_t)(body.size() >> 8), (uint8_t)body.size()};
  b->insert(b->end(), head, head + 4);
  b->insert(b->end(), body.begin(), body.end());
}

Bytes U16(uint16_t v) {
  return {(uint8_t)(v >> 8), (uint8_t)v};
}

const uint16_t C = NTSKE_CRITICAL;

// What chronyd answers: protocol, algorithm, port, server, eight 100-byte cookies.
Bytes ChronyLikeResponse(int cookies = 8) {
  Bytes b;
  Record(&b, C | NTSKE_NEXT_PROTOCOL, U16(0));
  Record(&b, NTSKE_AEAD_ALGORITHM, U16(15));
  Record(&b, C | NTSKE_PORT_RECORD, U16(11123));
  Record(&b, NTSKE_SERVER, Bytes{'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'});
  for (int i = 0; i < cookies; ++i) Record(&b, NTSKE_NEW_COOKIE, Bytes(100, (uint8_t)(0xC0 + i)));
  Record(&b, C | NTSKE_END_OF_MESSAGE, {});
  return b;
}

NTSKECHECK Parse(const Bytes& b, NTSKERESPONSE* r) {
  return ParseNtsKeResponse(b.data(), b.size(), r);
}

TEST(NtsKe, RequestAndExporterContextAreTheRfcBytes) {
  uint8_t request[NTSKE_REQUEST_BYTES];
  BuildNtsKeRequest(request);
  const uint8_t expected[] = {0x80, 1, 0, 2, 0, 0, 0x80, 4, 0, 2, 0, 15, 0x80, 0, 0, 0};
  EXPECT_EQ(0, memcmp(expected, request, sizeof expected));
  uint8_t c2s[5], s2c[5];
  NtsKeExporterContext(c2s, false);
  NtsKeExporterContext(s2c, true);
  const uint8_t c2sExpected[] = {0, 0, 0, 15, 0}, s2cExpected[] = {0, 0, 0, 15, 1};
  EXPECT_EQ(0, memcmp(c2sExpected, c2s, 5));
  EXPECT_EQ(0, memcmp(s2cExpected, s2c, 5));
}

TEST(NtsKe, ReadsAResponseOnlyOnceEndOfMessageHasArrived) {
  Bytes b = ChronyLikeResponse();
  b.push_back(0x55);   // not read: the message ended
  NTSKERESPONSE r;
  ASSERT_EQ(NTSKE_OK, Parse(b, &r));
  EXPECT_EQ(b.size() - 1, r.length);
  EXPECT_STREQ("localhost", r.server);
  EXPECT_EQ(11123, r.port);
  ASSERT_EQ(8, r.cookieCount);
  EXPECT_EQ(100, r.cookies[7].length);
  EXPECT_EQ(0xC7, r.cookies[7].bytes[99]);
  EXPECT_EQ(-1, r.errorCode);
  for (size_t cut = 0; cut < b.size() - 1; ++cut)
    ASSERT_EQ(NTSKE_INCOMPLETE, ParseNtsKeResponse(b.data(), cut, &r)) << cut;
}

TEST(NtsKe, RefusesWhatTheServerDidNotAgreeTo) {
  struct {
    const char* what;
    Bytes extra;   // records put before End of Message
    NTSKECHECK expected;
  } cases[] = {
      {"error record", [] { Bytes b; Record(&b, C | NTSKE_ERROR_RECORD, U16(1)); return b; }(), NTSKE_ERROR},
      {"warning record", [] { Bytes b; Record(&b, C | NTSKE_WARNING_RECORD, U16(7)); return b; }(), NTSKE_WARNING},
      {"unknown critical", [] { Bytes b; Record(&b, C | 0x4001, {}); return b; }(), NTSKE_UNKNOWN_CRITICAL},
      {"unknown non-critical", [] { Bytes b; Record(&b, 0x4001, Bytes(3, 1)); return b; }(), NTSKE_OK},
      {"second protocol record", [] { Bytes b; Record(&b, C | NTSKE_NEXT_PROTOCOL, U16(0)); return b; }(),
       NTSKE_BAD_PROTOCOL},
      {"second algorithm record", [] { Bytes b; Record(&b, NTSKE_AEAD_ALGORITHM, U16(15)); return b; }(),
       NTSKE_BAD_AEAD},
      {"server with a blank", [] { Bytes b; Record(&b, NTSKE_SERVER, {'a', ' ', 'b'}); return b; }(),
       NTSKE_BAD_RECORD},
  };
  for (const auto& c : cases) {
    Bytes b = ChronyLikeResponse();
    b.insert(b.end() - 4, c.extra.begin(), c.extra.end());
    NTSKERESPONSE r;
    EXPECT_EQ(c.expected, Parse(b, &r)) << c.what;
  }
  NTSKERESPONSE r;
  Bytes b = ChronyLikeResponse();
  b.insert(b.end() - 4, {0x80, 2, 0, 2, 0, 2});
  ASSERT_EQ(NTSKE_ERROR, Parse(b, &r));
  EXPECT_EQ(2, r.errorCode);

  // The protocol and algorithm records as a server without ours sends them.
  Bytes none;
  Record(&none, C | NTSKE_NEXT_PROTOCOL, {});
  Record(&none, C | NTSKE_END_OF_MESSAGE, {});
  EXPECT_EQ(NTSKE_BAD_PROTOCOL, Parse(none, &r));
  Bytes other;
  Record(&other, C | NTSKE_NEXT_PROTOCOL, U16(0));
  Record(&other, C | NTSKE_AEAD_ALGORITHM, U16(30));
  Record(&other, NTSKE_NEW_COOKIE, Bytes(16, 1));
  Record(&other, C | NTSKE_END_OF_MESSAGE, {});
  EXPECT_EQ(NTSKE_BAD_AEAD, Parse(other, &r));
  EXPECT_EQ(NTSKE_NO_COOKIES, Parse(ChronyLikeResponse(0), &r));
}

// Keys from the AES-SIV vectors; everything else fixed.
const uint8_t kC2s[32] = {0xff, 0xfe, 0xfd, 0xfc, 0xfb, 0xfa, 0xf9, 0xf8, 0xf7, 0xf6, 0xf5,
                          0xf4, 0xf3, 0xf2, 0xf1, 0xf0, 0xf0, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5,
                          0xf6, 0xf7, 0xf8, 0xf9, 0xfa, 0xfb, 0xfc, 0xfd, 0xfe, 0xff};
const uint8_t kS2c[32] = {0x7f, 0x7e, 0x7d, 0x7c, 0x7b, 0x7a, 0x79, 0x78, 0x77, 0x76, 0x75,
                          0x74, 0x73, 0x72, 0x71, 0x70, 0x40, 0x41, 0x42, 0x43, 0x44, 0x45,
                          0x46, 0x47, 0x48, 0x49, 0x4a, 0x4b, 0x4c, 0x4d, 0x4e, 0x4f};
const uint64_t kNonce = 0x0123456789ABCDEFull;

struct Exchange : ::testing::Test {
  uint8_t uid[NTS_UID_BYTES];
  uint8_t aeadNonce[NTS_NONCE_BYTES];
  NTSCOOKIE cookie = {};
  uint8_t request[1024];
  size_t requestLength = 0;

  void SetUp() override {
    ASSERT_NE(nullptr, TestAes());
    for (int i = 0; i < NTS_UID_BYTES; ++i) uid[i] = (uint8_t)(0x30 + i);
    for (int i = 0; i < NTS_NONCE_BYTES; ++i) aeadNonce[i] = (uint8_t)(0xA0 + i);
    cookie.length = 100;
    memset(cookie.bytes, 0x5C, cookie.length);
    requestLength = BuildNtsRequest(request, sizeof request, kNonce, uid, &cookie, 2, aeadNonce, TestAes(), kC2s);
    ASSERT_NE(0u, requestLength);
  }

  // The server's reply: a header answering kNonce, then `fields`, then (unless
  // keyless) an authenticator under `key` over it all, holding `inner` encrypted.
  Bytes Reply(uint8_t stratum, const Bytes& fields, const Bytes& inner, const uint8_t* key = kS2c,
              uint8_t flags = 0x24, uint32_t refid = 0) {
    uint8_t p[2048] = {};
    p[0] = flags;
    p[1] = stratum;
    for (int i = 0; i < 4; ++i) p[12 + i] = (uint8_t)(refid >> (24 - 8 * i));
    for (int i = 0; i < 8; ++i) p[24 + i] = (uint8_t)(kNonce >> (56 - 8 * i));
    p[32] = 0xEB;   // receive and transmit timestamps: 2025
    p[40] = 0xEB;
    p[43] = 1;
    if (!fields.empty()) memcpy(p + 48, fields.data(), fields.size());
    size_t n = 48 + fields.size();
    if (key) n = AppendNtsAuthenticator(p, sizeof p, n, inner.data(), inner.size(), aeadNonce, TestAes(), key);
    return Bytes(p, p + n);
  }

  Bytes UidField(const uint8_t* id = nullptr) {
    uint8_t f[64];
    const size_t n = AppendNtsField(f, sizeof f, 0, NTS_EF_UNIQUE_ID, id ? id : uid, NTS_UID_BYTES);
    return Bytes(f, f + n);
  }

  Bytes Cookies(int count, size_t length) {
    Bytes b;
    uint8_t f[512];
    for (int i = 0; i < count; ++i) {
      Bytes body(length, (uint8_t)(0x70 + i));
      const size_t n = AppendNtsField(f, sizeof f, 0, NTS_EF_COOKIE, body.data(), body.size());
      b.insert(b.end(), f, f + n);
    }
    return b;
  }

  NTSCHECK Check(const Bytes& reply, NTSREPLY* r) {
    return CheckNtsReply(reply.data(), reply.size(), kNonce, uid, TestAes(), kS2c, r);
  }
};

// The request as a server reads it: identifier, cookie, two placeholders of
// its length, and an authenticator that verifies under the client's key.
TEST_F(Exchange, RequestCarriesCookiePlaceholdersAndAVerifiableAuthenticator) {
  ASSERT_EQ(48u + 36 + 104 * 3 + 40, requestLength);
  EXPECT_EQ(SNTP_REQUEST_FLAGS, request[0]);
  const uint8_t* p = request + 48;
  EXPECT_EQ(0x01, p[0]);
  EXPECT_EQ(0x04, p[1]);
  EXPECT_EQ(36, p[3]);
  EXPECT_EQ(0, memcmp(uid, p + 4, NTS_UID_BYTES));
  p += 36;
  for (uint8_t type : {0x02, 0x03, 0x03}) {
    EXPECT_EQ(type, p[0]);
    EXPECT_EQ(104, p[3]);
    EXPECT_EQ(type == 0x02 ? 0x5C : 0, p[4 + 99]);
    p += 104;
  }
  const size_t authStart = (size_t)(p - request);
  EXPECT_EQ(0x04, p[0]);
  EXPECT_EQ(40, p[3]);
  EXPECT_EQ(16, p[5]);   // nonce length
  EXPECT_EQ(16, p[7]);   // ciphertext length: the IV of an empty plaintext
  EXPECT_EQ(0, memcmp(aeadNonce, p + 8, NTS_NONCE_BYTES));
  const SIVPART parts[2] = {{request, authStart}, {aeadNonce, NTS_NONCE_BYTES}};
  uint8_t none[1];
  EXPECT_TRUE(SivDecrypt(TestAes(), kC2s, parts, 2, p + 24, SIV_TAG_BYTES, none));
  EXPECT_FALSE(SivDecrypt(TestAes(), kS2c, parts, 2, p + 24, SIV_TAG_BYTES, none));
  // Too small a buffer, or too many placeholders: no request.
  EXPECT_EQ(0u, BuildNtsRequest(request, requestLength - 1, kNonce, uid, &cookie, 2, aeadNonce, TestAes(), kC2s));
  EXPECT_EQ(0u, BuildNtsRequest(request, sizeof request, kNonce, uid, &cookie, 8, aeadNonce, TestAes(), kC2s));
}

// A genuine reply gives its header and its cookies; any one byte changed before
// the end of the authenticator makes it someone else's.
TEST_F(Exchange, AuthenticReplyPassesAndNoChangedByteDoes) {
  const Bytes reply = Reply(2, UidField(), Cookies(3, 100));
  NTSREPLY r;
  ASSERT_EQ(NTS_OK, Check(reply, &r));
  EXPECT_EQ(SNTP_OK, r.header);
  EXPECT_EQ(2, r.sntp.stratum);
  ASSERT_EQ(3, r.cookieCount);
  EXPECT_EQ(100, r.cookies[2].length);
  EXPECT_EQ(0x72, r.cookies[2].bytes[0]);
  for (size_t i = 0; i < reply.size(); ++i) {
    Bytes bad = reply;
    bad[i] ^= 0x10;
    const NTSCHECK check = Check(bad, &r);
    ASSERT_NE(NTS_OK, check) << "byte " << i;
    ASSERT_EQ(0, r.cookieCount) << "byte " << i;
  }
  EXPECT_EQ(NTS_IGNORE_AUTH, CheckNtsReply(reply.data(), reply.size(), kNonce, uid, TestAes(), kC2s, &r));
  // A nonce shorter than 16 bytes must be padded up to them.
  Bytes shortNonce = reply;
  shortNonce[48 + 36 + 5] = 4;
  EXPECT_EQ(NTS_IGNORE_AUTH, Check(shortNonce, &r));
}

TEST_F(Exchange, NakCountsOnlyWithTheRequestsIdentifier) {
  NTSREPLY r;
  EXPECT_EQ(NTS_NAK, Check(Reply(0, UidField(), {}, nullptr, 0x24, SNTP_KISS_NTSN), &r));
  uint8_t otherUid[NTS_UID_BYTES] = {};
  EXPECT_EQ(NTS_IGNORE_UID, Check(Reply(0, UidField(otherUid), {}, nullptr, 0x24, SNTP_KISS_NTSN), &r));
  EXPECT_EQ(NTS_IGNORE_UID, Check(Reply(0, {}, {}, nullptr, 0x24, SNTP_KISS_NTSN), &r));
  // Any other kiss must be authenticated, and then ends the exchange as a kiss.
  EXPECT_EQ(NTS_IGNORE_AUTH, Check(Reply(0, UidField(), {}, nullptr, 0x24, SNTP_KISS_RATE), &r));
  ASSERT_EQ(NTS_BAD_HEADER, Check(Reply(0, UidField(), Cookies(1, 100), kS2c, 0x24, SNTP_KISS_RATE), &r));
  EXPECT_EQ(SNTP_KISS, r.header);
  EXPECT_EQ(SNTP_KISS_RATE, r.sntp.kissCode);
  EXPECT_EQ(1, r.cookieCount);
  ASSERT_EQ(NTS_BAD_HEADER, Check(Reply(2, UidField(), {}, kS2c, 0xE4), &r));
  EXPECT_EQ(SNTP_BAD_LEAP, r.header);
}

}  // namespace
