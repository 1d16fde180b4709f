// Big-endian 16-bit fields, as NTS records and extension fields carry them.
#pragma once
#include <stdint.h>

inline uint16_t Read16(const uint8_t* p) { return (uint16_t)((p[0] << 8) | p[1]); }

// Writes v at p; the unit after it.
inline uint8_t* Put16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)(v >> 8);
  p[1] = (uint8_t)v;
  return p + 2;
}
