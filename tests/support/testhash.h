// SHA-256 and SHA-384 (plain and HMAC) the tests hand to tls_exporter: the
// system's BCrypt in the Windows build, OpenSSL's libcrypto natively.
#pragma once
#include "ntp/tls_exporter.h"

// A process-wide provider for a hash of 32 or 48 bytes; null when it cannot be opened.
const TLSHASH* TestHash(size_t length);
