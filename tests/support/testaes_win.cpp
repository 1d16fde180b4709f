#include "testaes.h"

#include "ntp/aes_bcrypt.h"

namespace {

struct Provider {
  AESBCRYPT state = {};
  AESBLOCK aes = {};
  bool open = OpenAesBcrypt(&state, &aes);
  ~Provider() { CloseAesBcrypt(&state); }
};

}  // namespace

const AESBLOCK* TestAes() {
  static Provider provider;
  return provider.open ? &provider.aes : nullptr;
}
