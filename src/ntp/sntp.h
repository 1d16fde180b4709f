// One SNTP exchange with one time server.
#pragma once
#include "ntp/serverrow.h"

#define SNTP_TIMEOUT_MS 1000

// Resolves `host`, sends one client request, waits up to one second for the
// genuine reply and writes the sample (delayMs, offset, rootDelayMs,
// receiveTime, receiveCounter, stratum, fresh) into `row`. Returns the stratum
// (1-15), or 0 on any failure, which leaves the row untouched.
int QueryServerTime(const wchar_t* host, SERVERROW* row);
