#include "testaes.h"

#include <openssl/evp.h>

namespace {

bool SetKey(void* context, const uint8_t key[AES_BLOCK_BYTES]) {
  EVP_CIPHER_CTX* ctx = (EVP_CIPHER_CTX*)context;
  return EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(ctx, 0) == 1;
}

bool Encrypt(void* context, const uint8_t in[AES_BLOCK_BYTES], uint8_t out[AES_BLOCK_BYTES]) {
  int written = 0;
  return EVP_EncryptUpdate((EVP_CIPHER_CTX*)context, out, &written, in, AES_BLOCK_BYTES) == 1 &&
         written == AES_BLOCK_BYTES;
}

struct Provider {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  AESBLOCK aes = {SetKey, Encrypt, ctx};
  ~Provider() { EVP_CIPHER_CTX_free(ctx); }
};

}  // namespace

const AESBLOCK* TestAes() {
  static Provider provider;
  return provider.ctx ? &provider.aes : nullptr;
}
