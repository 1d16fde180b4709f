#include "ntp/aes_siv.h"

#include <string.h>

namespace {

// Multiplication by x in GF(2^128) as CMAC and S2V define it ("dbl").
void Double(uint8_t block[AES_BLOCK_BYTES]) {
  const uint8_t carry = block[0] >> 7;
  for (int i = 0; i < AES_BLOCK_BYTES - 1; ++i) block[i] = (uint8_t)((block[i] << 1) | (block[i + 1] >> 7));
  block[AES_BLOCK_BYTES - 1] = (uint8_t)((block[AES_BLOCK_BYTES - 1] << 1) ^ (carry ? 0x87 : 0));
}

void Xor(uint8_t* into, const uint8_t* from, size_t n) {
  for (size_t i = 0; i < n; ++i) into[i] ^= from[i];
}

// CMAC fed in pieces, so that S2V can mask the end of a long string without
// copying it. The last block is held back until final, as it is treated apart.
struct CMAC {
  const AESBLOCK* aes;
  uint8_t state[AES_BLOCK_BYTES];
  uint8_t pending[AES_BLOCK_BYTES];
  size_t pendingBytes;
  bool ok;
};

// The key is set by the caller: S2V runs several MACs under one key.
void StartCmac(CMAC* c, const AESBLOCK* aes) {
  c->aes = aes;
  memset(c->state, 0, sizeof c->state);
  c->pendingBytes = 0;
  c->ok = true;
}

void FeedCmac(CMAC* c, const uint8_t* data, size_t length) {
  while (length > 0) {
    if (c->pendingBytes == AES_BLOCK_BYTES) {
      Xor(c->state, c->pending, AES_BLOCK_BYTES);
      c->ok = c->aes->encrypt(c->aes->context, c->state, c->state) && c->ok;
      c->pendingBytes = 0;
    }
    size_t n = AES_BLOCK_BYTES - c->pendingBytes;
    if (n > length) n = length;
    memcpy(c->pending + c->pendingBytes, data, n);
    c->pendingBytes += n;
    data += n;
    length -= n;
  }
}

bool FinishCmac(CMAC* c, uint8_t mac[AES_BLOCK_BYTES]) {
  uint8_t subkey[AES_BLOCK_BYTES] = {0};
  c->ok = c->aes->encrypt(c->aes->context, subkey, subkey) && c->ok;
  Double(subkey);   // K1: for a whole last block
  if (c->pendingBytes < AES_BLOCK_BYTES) {
    Double(subkey);   // K2: for a padded one
    c->pending[c->pendingBytes] = 0x80;
    memset(c->pending + c->pendingBytes + 1, 0, AES_BLOCK_BYTES - c->pendingBytes - 1);
  }
  Xor(c->state, c->pending, AES_BLOCK_BYTES);
  Xor(c->state, subkey, AES_BLOCK_BYTES);
  c->ok = c->aes->encrypt(c->aes->context, c->state, mac) && c->ok;
  memset(subkey, 0, sizeof subkey);
  return c->ok;
}

bool Cmac(const AESBLOCK* aes, const uint8_t* data, size_t length, uint8_t mac[AES_BLOCK_BYTES]) {
  CMAC c;
  StartCmac(&c, aes);
  FeedCmac(&c, data, length);
  return FinishCmac(&c, mac);
}

// S2V over the associated data and the plaintext (always the last string).
bool S2v(const AESBLOCK* aes, const uint8_t key[AES_BLOCK_BYTES], const SIVPART* parts, int partCount,
         const uint8_t* plaintext, size_t length, uint8_t v[AES_BLOCK_BYTES]) {
  static const uint8_t kZero[AES_BLOCK_BYTES] = {0};
  uint8_t d[AES_BLOCK_BYTES];
  uint8_t mac[AES_BLOCK_BYTES];
  if (!aes->setKey(aes->context, key) || !Cmac(aes, kZero, sizeof kZero, d)) return false;
  for (int i = 0; i < partCount; ++i) {
    if (!Cmac(aes, parts[i].data, parts[i].length, mac)) return false;
    Double(d);
    Xor(d, mac, AES_BLOCK_BYTES);
  }
  CMAC c;
  StartCmac(&c, aes);
  uint8_t last[AES_BLOCK_BYTES];
  if (length >= AES_BLOCK_BYTES) {
    // The plaintext with D folded into its last 16 bytes.
    FeedCmac(&c, plaintext, length - AES_BLOCK_BYTES);
    memcpy(last, plaintext + length - AES_BLOCK_BYTES, AES_BLOCK_BYTES);
    Xor(last, d, AES_BLOCK_BYTES);
  } else {
    // dbl(D) xor the plaintext padded with 10*.
    Double(d);
    memset(last, 0, sizeof last);
    if (length) memcpy(last, plaintext, length);
    last[length] = 0x80;
    Xor(last, d, AES_BLOCK_BYTES);
  }
  FeedCmac(&c, last, AES_BLOCK_BYTES);
  return FinishCmac(&c, v);
}

// AES-CTR from the synthetic IV with bits 63 and 31 cleared.
bool Ctr(const AESBLOCK* aes, const uint8_t key[AES_BLOCK_BYTES], const uint8_t v[AES_BLOCK_BYTES],
         const uint8_t* in, size_t length, uint8_t* out) {
  if (length == 0) return true;
  if (!aes->setKey(aes->context, key)) return false;
  uint8_t counter[AES_BLOCK_BYTES];
  uint8_t stream[AES_BLOCK_BYTES];
  memcpy(counter, v, sizeof counter);
  counter[8] &= 0x7F;
  counter[12] &= 0x7F;
  for (size_t done = 0; done < length; done += AES_BLOCK_BYTES) {
    if (!aes->encrypt(aes->context, counter, stream)) return false;
    const size_t n = length - done < AES_BLOCK_BYTES ? length - done : AES_BLOCK_BYTES;
    for (size_t i = 0; i < n; ++i) out[done + i] = in[done + i] ^ stream[i];
    for (int i = AES_BLOCK_BYTES - 1; i >= 0 && ++counter[i] == 0; --i) {
    }
  }
  memset(stream, 0, sizeof stream);
  return true;
}

}  // namespace

bool AesCmac(const AESBLOCK* aes, const uint8_t key[AES_BLOCK_BYTES], const uint8_t* data, size_t length,
             uint8_t mac[AES_BLOCK_BYTES]) {
  return aes->setKey(aes->context, key) && Cmac(aes, data, length, mac);
}

bool SivEncrypt(const AESBLOCK* aes, const uint8_t key[SIV_KEY_BYTES], const SIVPART* parts, int partCount,
                const uint8_t* plaintext, size_t length, uint8_t* out) {
  if (partCount < 0 || partCount > SIV_MAX_PARTS) return false;
  uint8_t v[AES_BLOCK_BYTES];
  if (!S2v(aes, key, parts, partCount, plaintext, length, v)) return false;
  memcpy(out, v, SIV_TAG_BYTES);
  return Ctr(aes, key + AES_BLOCK_BYTES, v, plaintext, length, out + SIV_TAG_BYTES);
}

bool SivDecrypt(const AESBLOCK* aes, const uint8_t key[SIV_KEY_BYTES], const SIVPART* parts, int partCount,
                const uint8_t* in, size_t length, uint8_t* out) {
  if (length < SIV_TAG_BYTES) return false;
  const size_t textLength = length - SIV_TAG_BYTES;
  bool ok = partCount >= 0 && partCount <= SIV_MAX_PARTS;
  ok = ok && Ctr(aes, key + AES_BLOCK_BYTES, in, in + SIV_TAG_BYTES, textLength, out);
  uint8_t v[AES_BLOCK_BYTES];
  ok = ok && S2v(aes, key, parts, partCount, out, textLength, v);
  if (ok) {
    // Compared in full whatever differs first: the time taken says nothing.
    uint8_t diff = 0;
    for (int i = 0; i < SIV_TAG_BYTES; ++i) diff |= (uint8_t)(v[i] ^ in[i]);
    ok = diff == 0;
  }
  if (!ok && textLength) memset(out, 0, textLength);
  return ok;
}
