// What every fuzz target shares: a reader that takes values off the front of
// libFuzzer's input, and the check that turns a broken invariant into a finding.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A broken invariant is a crash for libFuzzer: it saves the input and stops.
#define FUZZ_CHECK(cond, ...)                                                   \
  do {                                                                          \
    if (!(cond)) {                                                              \
      fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                             \
      fprintf(stderr, "\n");                                                    \
      abort();                                                                  \
    }                                                                           \
  } while (0)

// Values are read little-endian; a short input reads as zeros, so every input
// is valid and small mutations change single fields.
struct FuzzInput {
  const uint8_t* data;
  size_t size;

  uint64_t Bytes(int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
      uint64_t b = 0;
      if (size) {
        b = *data++;
        --size;
      }
      v |= b << (8 * i);
    }
    return v;
  }
  uint8_t U8() { return (uint8_t)Bytes(1); }
  uint16_t U16() { return (uint16_t)Bytes(2); }
  uint32_t U32() { return (uint32_t)Bytes(4); }
  uint64_t U64() { return Bytes(8); }
  int64_t I64() { return (int64_t)U64(); }
  double F64() {
    uint64_t bits = U64();
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
  }
};
