// AES-CMAC and AEAD_AES_SIV_CMAC_256 (deterministic authenticated encryption
// with a synthetic IV) over an AES-128 block encryption that the caller supplies:
// the Windows build passes the system's AES, the native tests and fuzzers
// another one. Free of any platform call.
#pragma once
#include <stddef.h>
#include <stdint.h>

#define AES_BLOCK_BYTES 16
#define SIV_KEY_BYTES 32   // the CMAC key, then the counter-mode key
#define SIV_TAG_BYTES 16   // the synthetic IV in front of the ciphertext
#define SIV_MAX_PARTS 126  // associated-data strings, the plaintext being one more

// AES-128 in the encrypt direction, one block at a time. setKey replaces the key
// for every following block; either call returns false when the cipher fails.
struct AESBLOCK {
  bool (*setKey)(void* context, const uint8_t key[AES_BLOCK_BYTES]);
  bool (*encrypt)(void* context, const uint8_t in[AES_BLOCK_BYTES], uint8_t out[AES_BLOCK_BYTES]);
  void* context;
};

// One string of associated data (a nonce counts as one, given last).
struct SIVPART {
  const uint8_t* data;
  size_t length;
};

// The 16-byte AES-CMAC of data under key.
bool AesCmac(const AESBLOCK* aes, const uint8_t key[AES_BLOCK_BYTES], const uint8_t* data, size_t length,
             uint8_t mac[AES_BLOCK_BYTES]);

// out receives the synthetic IV and the ciphertext: SIV_TAG_BYTES + length bytes.
// False when the cipher fails or there are more than SIV_MAX_PARTS parts.
bool SivEncrypt(const AESBLOCK* aes, const uint8_t key[SIV_KEY_BYTES], const SIVPART* parts, int partCount,
                const uint8_t* plaintext, size_t length, uint8_t* out);

// in holds the synthetic IV and the ciphertext (length >= SIV_TAG_BYTES); out
// receives length - SIV_TAG_BYTES bytes. True only when the IV proves that
// key, parts and ciphertext are genuine; out is zeroed otherwise.
bool SivDecrypt(const AESBLOCK* aes, const uint8_t key[SIV_KEY_BYTES], const SIVPART* parts, int partCount,
                const uint8_t* in, size_t length, uint8_t* out);
