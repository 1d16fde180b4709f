// AES-128 block encryption for aes_siv from the system's cryptography library
// (BCrypt AES in ECB mode, one block per call). Windows only.
#pragma once
#include "ntp/aes_siv.h"

// The provider's handles; zero before OpenAesBcrypt and after CloseAesBcrypt.
struct AESBCRYPT {
  void* algorithm;   // BCRYPT_ALG_HANDLE
  void* key;         // BCRYPT_KEY_HANDLE of the current key, or null
};

// Opens the algorithm and fills aes with calls bound to state. False (and
// nothing left open) when the system has no AES in ECB mode.
bool OpenAesBcrypt(AESBCRYPT* state, AESBLOCK* aes);

// Destroys the key and closes the algorithm.
void CloseAesBcrypt(AESBCRYPT* state);
