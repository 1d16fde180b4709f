#include "testtext.h"

std::string Utf8(const wch* s) {
  std::string out;
  if (!s) return "(null)";
  for (size_t i = 0; s[i]; ++i) {
    unsigned long c = (unsigned short)s[i];
    if (c >= 0xD800 && c < 0xDC00 && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + ((unsigned short)s[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += (char)c;
    } else if (c < 0x800) {
      out += (char)(0xC0 | (c >> 6));
      out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += (char)(0xE0 | (c >> 12));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    } else {
      out += (char)(0xF0 | (c >> 18));
      out += (char)(0x80 | ((c >> 12) & 0x3F));
      out += (char)(0x80 | ((c >> 6) & 0x3F));
      out += (char)(0x80 | (c & 0x3F));
    }
  }
  return out;
}

wstr16 U16(const char* utf8) {
  wstr16 out;
  const unsigned char* p = (const unsigned char*)utf8;
  while (*p) {
    unsigned long c = *p++;
    int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) c &= (0x3F >> extra);
    for (int k = 0; k < extra && *p; ++k) c = (c << 6) | (*p++ & 0x3F);
    if (c >= 0x10000) {
      c -= 0x10000;
      out += (wch)(0xD800 + (c >> 10));
      out += (wch)(0xDC00 + (c & 0x3FF));
    } else {
      out += (wch)c;
    }
  }
  return out;
}
