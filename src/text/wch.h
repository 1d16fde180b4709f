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

// A blank around a value: space or tab.
inline bool WBlank(wch c) { return c == 0x20 || c == 0x09; }

// ASCII letters lowered, every other unit as it is: how host names and
// prefixes compare.
inline wch WLowerAscii(wch c) { return c >= 'A' && c <= 'Z' ? (wch)(c + ('a' - 'A')) : c; }

// The text without the blanks around it, as its first unit and its length.
inline const wch* WTrimmed(const wch* s, unsigned long* length) {
  while (WBlank(*s)) ++s;
  unsigned long n = WLen(s);
  while (n && WBlank(s[n - 1])) --n;
  *length = n;
  return s;
}

// Copies src into dst[cap], cutting it to cap - 1 units without splitting a
// surrogate pair; dst is always terminated. A null src gives an empty text.
inline void WCopy(wch* dst, unsigned long cap, const wch* src) {
  if (!cap) return;
  unsigned long n = 0;
  if (src)
    while (n + 1 < cap && src[n]) ++n;
  // A high surrogate whose partner did not fit would be a broken character.
  if (n > 0 && src[n] && src[n - 1] >= 0xD800 && src[n - 1] < 0xDC00) --n;
  for (unsigned long i = 0; i < n; ++i) dst[i] = src[i];
  dst[n] = 0;
}
