#include "testhash.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace {

template <size_t kLength>
struct Provider {
  static const EVP_MD* Md() { return kLength == 32 ? EVP_sha256() : EVP_sha384(); }

  static bool Hmac(void*, const uint8_t* key, size_t keyLength, const uint8_t* data, size_t dataLength,
                   uint8_t* out) {
    unsigned int written = 0;
    static const uint8_t kNone = 0;
    return HMAC(Md(), key, (int)keyLength, data ? data : &kNone, dataLength, out, &written) && written == kLength;
  }

  static bool Digest(void*, const uint8_t* data, size_t dataLength, uint8_t* out) {
    unsigned int written = 0;
    static const uint8_t kNone = 0;
    return EVP_Digest(data ? data : &kNone, dataLength, out, &written, Md(), nullptr) == 1 && written == kLength;
  }

  TLSHASH hash = {kLength, Hmac, Digest, nullptr};
};

}  // namespace

const TLSHASH* TestHash(size_t length) {
  static Provider<32> sha256;
  static Provider<48> sha384;
  return length == 32 ? &sha256.hash : length == 48 ? &sha384.hash : nullptr;
}
