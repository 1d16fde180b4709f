#include "ntp/nts_name.h"

bool HasNtsPrefix(const wch* host) {
  static const char kPrefix[] = "nts://";
  for (int i = 0; i < NTS_NAME_PREFIX_CHARS; ++i)
    if (WLowerAscii(host[i]) != (wch)kPrefix[i]) return false;   // also stops at the terminator
  return true;
}

static bool IsHexDigit(wch c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// A host name or IPv4 literal: letters, digits, '-', '.', '_' and any non-ASCII
// unit (an internationalised name is the resolver's to judge).
static bool IsNameUnit(wch c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c >= 0x80;
}

// ":port" with 1 to 5 digits and a value 1..65535, or nothing at all.
static bool ParsePort(const wch* s, uint16_t* port) {
  *port = 0;
  if (!*s) return true;
  if (*s != ':' || !s[1]) return false;
  uint32_t value = 0;
  int digits = 0;
  for (++s; *s; ++s) {
    if (*s < '0' || *s > '9' || ++digits > 5) return false;
    value = value * 10 + (uint32_t)(*s - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = (uint16_t)value;
  return true;
}

static NTSNAMEKIND SplitNtsName(const wch* host, wch name[HOST_CHARS], uint16_t* port) {
  const wch* s = host + NTS_NAME_PREFIX_CHARS;
  int n = 0;
  if (*s == '[') {
    ++s;
    while (*s && *s != ']') {
      if (!(IsHexDigit(*s) || *s == ':' || *s == '.') || n + 1 >= HOST_CHARS) return NTSNAME_MALFORMED;
      name[n++] = *s++;
    }
    if (*s != ']' || n < 2) return NTSNAME_MALFORMED;
    ++s;
  } else {
    while (*s && *s != ':') {
      if (!IsNameUnit(*s) || n + 1 >= HOST_CHARS) return NTSNAME_MALFORMED;
      name[n++] = *s++;
    }
    if (n == 0) return NTSNAME_MALFORMED;
  }
  name[n] = 0;
  return ParsePort(s, port) ? NTSNAME_OK : NTSNAME_MALFORMED;
}

NTSNAMEKIND ParseNtsName(const wch* host, wch name[HOST_CHARS], uint16_t* port) {
  name[0] = 0;
  *port = 0;
  if (!HasNtsPrefix(host)) return NTSNAME_PLAIN;
  const NTSNAMEKIND kind = SplitNtsName(host, name, port);
  if (kind != NTSNAME_OK) {   // nothing half-parsed is left for a caller to use
    name[0] = 0;
    *port = 0;
  }
  return kind;
}
