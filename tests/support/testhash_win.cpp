#include "testhash.h"

#include "ntp/hash_bcrypt.h"

namespace {

struct Provider {
  explicit Provider(size_t length) : open(OpenHashBcrypt(length, &state, &hash)) {}
  ~Provider() { CloseHashBcrypt(&state); }
  HASHBCRYPT state = {};
  TLSHASH hash = {};
  bool open;
};

}  // namespace

const TLSHASH* TestHash(size_t length) {
  static Provider sha256(32), sha384(48);
  Provider* p = length == 32 ? &sha256 : length == 48 ? &sha384 : nullptr;
  return p && p->open ? &p->hash : nullptr;
}
