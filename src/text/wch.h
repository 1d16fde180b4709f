// The UTF-16 code unit of every text in the program. On Windows it is wchar_t,
// so texts go to the W functions unchanged; the portable modules also build on
// Linux, where wchar_t is 32 bits wide and char16_t takes its place.
#pragma once

#ifdef _WIN32
typedef wchar_t wch;
#define WSTR(s) L##s
#else
typedef char16_t wch;
#define WSTR(s) u##s
#endif

// Length of a NUL-terminated text, in code units.
inline unsigned long WLen(const wch* s) {
  unsigned long n = 0;
  while (s[n]) ++n;
  return n;
}

// Copies src into dst[cap], cutting it to cap - 1 units; dst is always terminated.
inline void WCopy(wch* dst, unsigned long cap, const wch* src) {
  if (!cap) return;
  unsigned long i = 0;
  if (src)
    for (; i + 1 < cap && src[i]; ++i) dst[i] = src[i];
  dst[i] = 0;
}
