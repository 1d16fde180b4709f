// Canary target: a length-prefixed record reader with a planted fault. It trusts
// the length byte, so a record longer than the input reads past its end. The
// fuzzer must find this within seconds (scripts/fuzz --canary); if it does not,
// the fuzz stage could not find a real fault either.
// Input: one length byte, then the record.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint8_t record[256];
  memcpy(record, data + 1, data[0]);   // the planted fault: data[0] is not checked against size
  volatile uint8_t sum = 0;
  for (size_t i = 0; i < data[0]; i++) sum = (uint8_t)(sum + record[i]);
  return 0;
}
