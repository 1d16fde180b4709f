// One SNTP exchange with one time server.
#pragma once
#include <stdint.h>

#include "ntp/serverrow.h"

#define SNTP_TIMEOUT_MS 1000

// Resolves `host`, sends one client request, waits up to one second for the
// genuine reply and writes the sample (delayMs, offset, rootDelayMs,
// receiveTime, receiveCounter, stratum, fresh) into `row`. Returns the stratum
// (1-15), or 0 on any failure, which leaves the row untouched.
int QueryServerTime(const wchar_t* host, SERVERROW* row);

// QueryServerTime that also tells a kiss-of-death: *kissCode (if given) gets the
// four-character code of a genuine kiss reply (SNTP_KISS_DENY, ...), else 0.
int QueryServerTimeKiss(const wchar_t* host, SERVERROW* row, uint32_t* kissCode);
