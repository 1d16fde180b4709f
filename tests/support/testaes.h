// The AES-128 block cipher the tests hand to aes_siv: the system's BCrypt AES
// in the Windows build, OpenSSL's libcrypto natively (and in the fuzz targets).
#pragma once
#include "ntp/aes_siv.h"

// A process-wide provider, opened on first use; null when it cannot be opened.
const AESBLOCK* TestAes();
