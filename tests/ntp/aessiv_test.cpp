// AES-CMAC and AES-SIV against the published vectors, with the AES of the build
// under test (BCrypt under Wine, libcrypto natively).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ntp/aes_siv.h"
#include "testaes.h"

namespace {

std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> bytes;
  for (const char* p = text; p[0] && p[1]; p += 2) bytes.push_back((uint8_t)std::stoi(std::string(p, 2), nullptr, 16));
  return bytes;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {kDigits[p[i] >> 4], kDigits[p[i] & 15]};
  return s;
}

// RFC 4493, section 4: one key, the message cut at 0, 16, 40 and 64 bytes.
TEST(AesCmac, MatchesTheRfc4493Examples) {
  ASSERT_NE(nullptr, TestAes());
  const std::vector<uint8_t> key = Hex("2b7e151628aed2a6abf7158809cf4f3c");
  const std::vector<uint8_t> message = Hex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const struct {
    size_t length;
    const char* mac;
  } examples[] = {{0, "bb1d6929e95937287fa37d129b756746"},
                  {16, "070a16b46b4d4144f79bdd9dd04a287c"},
                  {40, "dfa66747de9ae63030ca32611497c827"},
                  {64, "51f0bebf7e3b9d92fc49741779363cfe"}};
  for (const auto& e : examples) {
    uint8_t mac[16];
    ASSERT_TRUE(AesCmac(TestAes(), key.data(), message.data(), e.length, mac));
    EXPECT_EQ(e.mac, ToHex(mac, 16)) << e.length << " bytes";
  }
}

struct SivCase {
  const char* name;
  const char* key;
  std::vector<const char*> parts;
  const char* plaintext;
  const char* output;
};

// RFC 5297 appendix A.1 (one string: as an AEAD call, the nonce with no other
// associated data) and A.2 (two strings and a nonce); then no associated data at
// all with an empty and a one-block plaintext (the published AES-SIV test set).
const SivCase kSivCases[] = {
    {"A.1", "fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff",
     {"101112131415161718191a1b1c1d1e1f2021222324252627"},
     "112233445566778899aabbccddee",
     "85632d07c6e8f37f950acd320a2ecc9340c02b9690c4dc04daef7f6afe5c"},
    {"A.2", "7f7e7d7c7b7a79787776757473727170404142434445464748494a4b4c4d4e4f",
     {"00112233445566778899aabbccddeeffdeaddadadeaddadaffeeddccbbaa99887766554433221100",
      "102030405060708090a0", "09f911029d74e35bd84156c5635688c0"},
     "7468697320697320736f6d6520706c61696e7465787420746f20656e6372797074207573696e67205349562d414553",
     "7bdb6e3b432667eb06f4d14bff2fbd0fcb900f2fddbe404326601965c889bf17"
     "dba77ceb094fa663b7a3f748ba8af829ea64ad544a272e9c485b62a3fd5c0d"},
    {"empty", "fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", {}, "",
     "f2007a5beb2b8900c588a7adf599f172"},
    {"one block", "fffefdfcfbfaf9f8f7f6f5f4f3f2f1f0f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff", {},
     "00112233445566778899aabbccddeeff",
     "f304f912863e303d5b540e5057c7010c942ffaf45b0e5ca5fb9a56a5263bb065"},
};

// Encryption gives the vector; decryption gives the plaintext back, and a
// single flipped bit anywhere (IV, ciphertext, associated data) is refused with
// the output wiped.
TEST(AesSiv, MatchesThePublishedVectorsBothWaysAndRefusesAnyChange) {
  ASSERT_NE(nullptr, TestAes());
  for (const SivCase& c : kSivCases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> key = Hex(c.key);
    const std::vector<uint8_t> plaintext = Hex(c.plaintext);
    std::vector<std::vector<uint8_t>> strings;
    for (const char* p : c.parts) strings.push_back(Hex(p));
    std::vector<SIVPART> parts;
    for (const auto& s : strings) parts.push_back({s.data(), s.size()});

    std::vector<uint8_t> out(SIV_TAG_BYTES + plaintext.size());
    ASSERT_TRUE(SivEncrypt(TestAes(), key.data(), parts.data(), (int)parts.size(), plaintext.data(),
                           plaintext.size(), out.data()));
    EXPECT_EQ(c.output, ToHex(out.data(), out.size()));

    std::vector<uint8_t> back(plaintext.size() + 1, 0xEE);
    ASSERT_TRUE(SivDecrypt(TestAes(), key.data(), parts.data(), (int)parts.size(), out.data(), out.size(),
                           back.data()));
    EXPECT_EQ(ToHex(plaintext.data(), plaintext.size()), ToHex(back.data(), plaintext.size()));
    EXPECT_EQ(0xEE, back[plaintext.size()]) << "wrote past the plaintext";

    for (size_t bit = 0; bit < out.size() * 8; bit += 7) {
      std::vector<uint8_t> bad = out;
      bad[bit / 8] ^= (uint8_t)(1 << (bit % 8));
      EXPECT_FALSE(SivDecrypt(TestAes(), key.data(), parts.data(), (int)parts.size(), bad.data(), bad.size(),
                              back.data()))
          << "bit " << bit;
      for (size_t i = 0; i < plaintext.size(); ++i) ASSERT_EQ(0, back[i]) << "plaintext left after a refusal";
    }
    if (!strings.empty()) {
      strings[0].push_back(0);
      parts[0] = {strings[0].data(), strings[0].size()};
      EXPECT_FALSE(SivDecrypt(TestAes(), key.data(), parts.data(), (int)parts.size(), out.data(), out.size(),
                              back.data()));
    }
  }
}

}  // namespace
