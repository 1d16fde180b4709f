// How a row names a Network Time Security server: "nts://" (any case) and a
// host name, an IPv4 literal or a bracketed IPv6 literal, then ":port" when the
// key exchange is not on 4460. Everything else is a plain SNTP host.
#pragma once
#include <stdint.h>

#include "ntp/serverrow.h"
#include "text/wch.h"

#define NTS_NAME_PREFIX_CHARS 6   // "nts://"

enum NTSNAMEKIND {
  NTSNAME_PLAIN = 0,   // no "nts://" prefix: asked over plain SNTP
  NTSNAME_OK,          // name (brackets removed) and port filled in
  NTSNAME_MALFORMED,   // the prefix with an empty or bad name, or a bad port
};

// True when host (already trimmed) starts with the prefix.
bool HasNtsPrefix(const wch* host);

// Splits host; name receives at most HOST_CHARS units, *port the key-exchange
// port (0 when none is given, which means 4460).
NTSNAMEKIND ParseNtsName(const wch* host, wch name[HOST_CHARS], uint16_t* port);
