// Kiss-of-death etiquette: what the servers that refused or rate-limited the
// program asked of it. One record per host, kept beside the server table and
// apart from the exchange, for the rest of the run; the probing thread alone
// uses it (probe rounds and the row-9 probe never run at the same time).
//   "DENY", "RSTR": the host is asked no more.
//   "RATE": the host is left out for 60 s, doubling with every further "RATE"
//           up to one hour; a good answer ends the back-off.
// Any other code changes nothing.
#pragma once
#include <stdint.h>

#include "text/wch.h"

#define KISS_RECORDS 64                  // hosts remembered; more than the lists ever name
#define KISS_FIRST_BACKOFF_MS 60000u
#define KISS_LONGEST_BACKOFF_MS 3600000u

// True when `host` must not be asked now (refused, or within its back-off).
bool KissHoldsBack(const wch* host);

// Notes a genuine kiss-of-death with code `kissCode` from `host`.
void KissReceived(const wch* host, uint32_t kissCode);

// Notes a good answer from `host`: it ends a "RATE" back-off.
void KissAnswered(const wch* host);

// Forgets every record (a new run, or a test).
void KissReset();

// The millisecond clock the back-off is measured on; null restores the
// monotonic counter (GetCounterMs). A seam for the tests.
void SetKissClock(uint64_t (*nowMs)());
