// The TLS 1.3 exporter that stands in for SChannel's in test builds, checked
// against RFC 5869 and against OpenSSL's own exporter, and the two key-log
// inputs it is fed: the ClientHello's random and the EXPORTER_SECRET line.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "ntp/nts_ke.h"
#include "ntp/tls_exporter.h"
#include "testhash.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes FromHex(const std::string& hex) {
  Bytes b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back((uint8_t)std::stoi(hex.substr(i, 2), nullptr, 16));
  return b;
}

TEST(TlsExporter, HkdfExpandMatchesRfc5869TestCase1) {
  const TLSHASH* sha256 = TestHash(32);
  ASSERT_NE(nullptr, sha256);
  const Bytes prk = FromHex("077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5");
  const Bytes info = FromHex("f0f1f2f3f4f5f6f7f8f9");
  Bytes okm(42);   // two HMAC blocks, the second cut short
  ASSERT_TRUE(HkdfExpand(sha256, prk.data(), info.data(), info.size(), okm.data(), okm.size()));
  EXPECT_EQ(FromHex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"), okm);
  EXPECT_FALSE(HkdfExpand(sha256, prk.data(), info.data(), info.size(), okm.data(), 255 * 32 + 1));
}

// Secrets and outputs from `openssl s_client -keylogfile -keymatexport
// EXPORTER-network-time-security -keymatexportlen 32` (no context, which TLS 1.3
// treats as an empty one), once with each hash of the TLS 1.3 suites.
TEST(TlsExporter, MatchesOpenSslForBothHashes) {
  struct Vector {
    size_t hashLength;
    const char* secret;
    const char* exported;
  } vectors[] = {
      {32, "c8235def41ab634492980a416de29504153773552ca579ad5ec1a1224715884c",
       "131955bb2a0614316afda8c5148a3442cb77204e8de6173daf03f0a2c74b3bd8"},
      {48,
       "ba73b9430dc116029bbb87b54636ba5b062e54d622d2cb9586732851e75c1c718cd8d9a04885f694a273d694418bea04",
       "f95bd4a516ddf88d402a62fdcf4999648e4827ff77fc3f779359a27d64811ec5"},
  };
  for (const Vector& v : vectors) {
    const TLSHASH* hash = TestHash(v.hashLength);
    ASSERT_NE(nullptr, hash);
    const Bytes secret = FromHex(v.secret);
    Bytes out(32);
    ASSERT_TRUE(TlsExporter(hash, secret.data(), NTSKE_EXPORTER_LABEL, nullptr, 0, out.data(), out.size()));
    EXPECT_EQ(FromHex(v.exported), out) << v.hashLength;
  }
}

TEST(TlsExporter, TheTwoNtsContextsGiveTwoKeysAndOversizedInputsAreRefused) {
  const TLSHASH* sha256 = TestHash(32);
  ASSERT_NE(nullptr, sha256);
  const Bytes secret = FromHex("c8235def41ab634492980a416de29504153773552ca579ad5ec1a1224715884c");
  uint8_t c2sContext[NTSKE_EXPORTER_CONTEXT_BYTES], s2cContext[NTSKE_EXPORTER_CONTEXT_BYTES];
  NtsKeExporterContext(c2sContext, false);
  NtsKeExporterContext(s2cContext, true);
  uint8_t c2s[32], s2c[32], empty[32];
  ASSERT_TRUE(TlsExporter(sha256, secret.data(), NTSKE_EXPORTER_LABEL, c2sContext, 5, c2s, 32));
  ASSERT_TRUE(TlsExporter(sha256, secret.data(), NTSKE_EXPORTER_LABEL, s2cContext, 5, s2c, 32));
  ASSERT_TRUE(TlsExporter(sha256, secret.data(), NTSKE_EXPORTER_LABEL, nullptr, 0, empty, 32));
  EXPECT_NE(0, memcmp(c2s, s2c, 32));
  EXPECT_NE(0, memcmp(c2s, empty, 32));

  const std::string longLabel(TLS_LABEL_MAX_CHARS + 1, 'x');
  const Bytes longContext(TLS_CONTEXT_MAX_BYTES + 1);
  uint8_t out[32];
  EXPECT_FALSE(HkdfExpandLabel(sha256, secret.data(), longLabel.c_str(), nullptr, 0, out, 32));
  EXPECT_FALSE(HkdfExpandLabel(sha256, secret.data(), "exporter", longContext.data(), longContext.size(), out, 32));
  EXPECT_TRUE(HkdfExpandLabel(sha256, secret.data(), longLabel.c_str() + 1, longContext.data(), 255, out, 32));
}

// The key-log inputs exist in test builds only (QL_NTS_KEYLOG_ROUTE).
#if QL_NTS_KEYLOG_ROUTE
Bytes ClientHello(const Bytes& random) {
  Bytes b = {22, 3, 1, 0, 200, 1, 0, 0, 196, 3, 3};
  b.insert(b.end(), random.begin(), random.end());
  b.push_back(32);   // the legacy session id's length, as a ClientHello goes on
  return b;
}

TEST(TlsExporter, TakesTheRandomOfAClientHelloOnly) {
  Bytes random(32);
  for (int i = 0; i < 32; ++i) random[i] = (uint8_t)(0xA0 + i);
  uint8_t got[TLS_RANDOM_BYTES] = {};
  Bytes hello = ClientHello(random);
  ASSERT_TRUE(ClientHelloRandom(hello.data(), hello.size(), got));
  EXPECT_EQ(random, Bytes(got, got + 32));

  Bytes alert = hello;
  alert[0] = 21;
  EXPECT_FALSE(ClientHelloRandom(alert.data(), alert.size(), got));
  Bytes serverHello = hello;
  serverHello[5] = 2;
  EXPECT_FALSE(ClientHelloRandom(serverHello.data(), serverHello.size(), got));
  EXPECT_FALSE(ClientHelloRandom(hello.data(), 5 + 4 + 2 + 31, got));
}

bool Line(const std::string& line, const Bytes& random, Bytes* secret) {
  uint8_t out[TLS_HASH_MAX_BYTES];
  size_t length = 0;
  if (!KeyLogExporterSecret(line.data(), line.size(), random.data(), out, &length)) return false;
  secret->assign(out, out + length);
  return true;
}

TEST(TlsExporter, FindsOnlyThisConnectionsExporterSecret) {
  const std::string randomHex = "e10dd8db3f2db463fddd9c5711ef12d351e8736d2c858ea59e9f811a25829121";
  const std::string secret256 = "c8235def41ab634492980a416de29504153773552ca579ad5ec1a1224715884c";
  const std::string secret384 = secret256 + "00112233445566778899aabbccddeeff";
  const Bytes random = FromHex(randomHex);
  Bytes secret;
  ASSERT_TRUE(Line("EXPORTER_SECRET " + randomHex + " " + secret256, random, &secret));
  EXPECT_EQ(FromHex(secret256), secret);
  ASSERT_TRUE(Line("EXPORTER_SECRET " + randomHex + " " + secret384, random, &secret));
  EXPECT_EQ(48u, secret.size());
  std::string upper = randomHex;
  for (char& ch : upper) ch = (char)toupper(ch);
  EXPECT_TRUE(Line("EXPORTER_SECRET " + upper + " " + secret256, random, &secret));

  Bytes otherRandom = random;
  otherRandom[31] ^= 1;
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex + " " + secret256, otherRandom, &secret));
  EXPECT_FALSE(Line("CLIENT_TRAFFIC_SECRET_0 " + randomHex + " " + secret256, random, &secret));
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex + " " + secret256.substr(2), random, &secret));
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex + " " + secret256 + "00", random, &secret));
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex + "  " + secret256.substr(1), random, &secret));
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex + " " + secret256.substr(1) + "g", random, &secret));
  EXPECT_FALSE(Line("EXPORTER_SECRET " + randomHex, random, &secret));
  EXPECT_FALSE(Line("", random, &secret));
}
#endif

}  // namespace
