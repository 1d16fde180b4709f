#include "testaes.h"

#include <openssl/evp.h>

namespace {

struct Provider {
  // Fetched once: an implicit fetch on every key change would dominate a fuzz run.
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  AESBLOCK aes = {SetKey, Encrypt, this};
  ~Provider() {
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
  }

  static bool SetKey(void* context, const uint8_t key[AES_BLOCK_BYTES]) {
    Provider* p = (Provider*)context;
    return EVP_EncryptInit_ex2(p->ctx, p->cipher, key, nullptr, nullptr) == 1 &&
           EVP_CIPHER_CTX_set_padding(p->ctx, 0) == 1;
  }

  static bool Encrypt(void* context, const uint8_t in[AES_BLOCK_BYTES], uint8_t out[AES_BLOCK_BYTES]) {
    int written = 0;
    return EVP_EncryptUpdate(((Provider*)context)->ctx, out, &written, in, AES_BLOCK_BYTES) == 1 &&
           written == AES_BLOCK_BYTES;
  }
};

}  // namespace

const AESBLOCK* TestAes() {
  static Provider provider;
  return provider.cipher && provider.ctx ? &provider.aes : nullptr;
}
