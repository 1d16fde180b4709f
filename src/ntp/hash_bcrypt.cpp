#include "ntp/hash_bcrypt.h"

#include <windows.h>
#include <bcrypt.h>

namespace {

bool Run(void* algorithm, const uint8_t* key, size_t keyLength, const uint8_t* data, size_t dataLength,
         uint8_t* out, size_t outLength) {
  BCRYPT_HASH_HANDLE handle = nullptr;
  // No hash object given: BCrypt allocates it and frees it with the handle.
  if (!BCRYPT_SUCCESS(BCryptCreateHash((BCRYPT_ALG_HANDLE)algorithm, &handle, nullptr, 0, (PUCHAR)key,
                                       (ULONG)keyLength, 0)))
    return false;
  const bool ok = (dataLength == 0 || BCRYPT_SUCCESS(BCryptHashData(handle, (PUCHAR)data, (ULONG)dataLength, 0))) &&
                  BCRYPT_SUCCESS(BCryptFinishHash(handle, out, (ULONG)outLength, 0));
  BCryptDestroyHash(handle);
  return ok;
}

template <size_t kLength>
bool Hmac(void* context, const uint8_t* key, size_t keyLength, const uint8_t* data, size_t dataLength, uint8_t* out) {
  return Run(((HASHBCRYPT*)context)->hmac, key, keyLength, data, dataLength, out, kLength);
}

template <size_t kLength>
bool Digest(void* context, const uint8_t* data, size_t dataLength, uint8_t* out) {
  return Run(((HASHBCRYPT*)context)->digest, nullptr, 0, data, dataLength, out, kLength);
}

}  // namespace

bool OpenHashBcrypt(size_t length, HASHBCRYPT* state, TLSHASH* hash) {
  state->digest = nullptr;
  state->hmac = nullptr;
  const wchar_t* name = length == 32 ? BCRYPT_SHA256_ALGORITHM : length == 48 ? BCRYPT_SHA384_ALGORITHM : nullptr;
  if (!name) return false;
  BCRYPT_ALG_HANDLE digest = nullptr, hmac = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&digest, name, nullptr, 0))) return false;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, name, nullptr, BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    BCryptCloseAlgorithmProvider(digest, 0);
    return false;
  }
  state->digest = digest;
  state->hmac = hmac;
  hash->length = length;
  hash->hmac = length == 32 ? Hmac<32> : Hmac<48>;
  hash->digest = length == 32 ? Digest<32> : Digest<48>;
  hash->context = state;
  return true;
}

void CloseHashBcrypt(HASHBCRYPT* state) {
  if (state->digest) BCryptCloseAlgorithmProvider((BCRYPT_ALG_HANDLE)state->digest, 0);
  if (state->hmac) BCryptCloseAlgorithmProvider((BCRYPT_ALG_HANDLE)state->hmac, 0);
  state->digest = nullptr;
  state->hmac = nullptr;
}
