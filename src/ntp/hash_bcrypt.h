// SHA-256 or SHA-384, plain and as HMAC, for tls_exporter from the system's
// cryptography library (BCrypt). Windows only.
#pragma once
#include "ntp/tls_exporter.h"

// The provider's handles; zero before OpenHashBcrypt and after CloseHashBcrypt.
struct HASHBCRYPT {
  void* digest;   // BCRYPT_ALG_HANDLE
  void* hmac;     // BCRYPT_ALG_HANDLE opened for HMAC
};

// Opens SHA-256 (length 32) or SHA-384 (length 48) and fills hash with calls
// bound to state. False (and nothing left open) for another length or when the
// system lacks the algorithm.
bool OpenHashBcrypt(size_t length, HASHBCRYPT* state, TLSHASH* hash);

void CloseHashBcrypt(HASHBCRYPT* state);
