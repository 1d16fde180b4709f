#include "ntp/aes_bcrypt.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

namespace {

bool SetKey(void* context, const uint8_t key[AES_BLOCK_BYTES]) {
  AESBCRYPT* state = (AESBCRYPT*)context;
  if (state->key) {
    BCryptDestroyKey((BCRYPT_KEY_HANDLE)state->key);
    state->key = nullptr;
  }
  BCRYPT_KEY_HANDLE handle = nullptr;
  // No key object given: BCrypt allocates it and frees it with the key.
  if (!BCRYPT_SUCCESS(BCryptGenerateSymmetricKey((BCRYPT_ALG_HANDLE)state->algorithm, &handle, nullptr, 0,
                                                 (PUCHAR)key, AES_BLOCK_BYTES, 0)))
    return false;
  state->key = handle;
  return true;
}

bool Encrypt(void* context, const uint8_t in[AES_BLOCK_BYTES], uint8_t out[AES_BLOCK_BYTES]) {
  AESBCRYPT* state = (AESBCRYPT*)context;
  if (!state->key) return false;
  UCHAR block[AES_BLOCK_BYTES];
  memcpy(block, in, sizeof block);   // in and out may be the same block
  ULONG written = 0;
  const NTSTATUS status = BCryptEncrypt((BCRYPT_KEY_HANDLE)state->key, block, sizeof block, nullptr, nullptr, 0,
                                        out, AES_BLOCK_BYTES, &written, 0);
  return BCRYPT_SUCCESS(status) && written == AES_BLOCK_BYTES;
}

}  // namespace

bool OpenAesBcrypt(AESBCRYPT* state, AESBLOCK* aes) {
  state->algorithm = nullptr;
  state->key = nullptr;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_AES_ALGORITHM, nullptr, 0))) return false;
  if (!BCRYPT_SUCCESS(BCryptSetProperty(algorithm, BCRYPT_CHAINING_MODE, (PUCHAR)BCRYPT_CHAIN_MODE_ECB,
                                        sizeof BCRYPT_CHAIN_MODE_ECB, 0))) {
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return false;
  }
  state->algorithm = algorithm;
  aes->setKey = SetKey;
  aes->encrypt = Encrypt;
  aes->context = state;
  return true;
}

void CloseAesBcrypt(AESBCRYPT* state) {
  if (state->key) BCryptDestroyKey((BCRYPT_KEY_HANDLE)state->key);
  if (state->algorithm) BCryptCloseAlgorithmProvider((BCRYPT_ALG_HANDLE)state->algorithm, 0);
  state->key = nullptr;
  state->algorithm = nullptr;
}
