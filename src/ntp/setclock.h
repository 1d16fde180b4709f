// Setting the system clock from the best trusted server.
#pragma once
#include <windows.h>
#include <stdint.h>

// Result codes of SetClockFromBest; 0..9 is the chosen
// row's position in the sorted selection table.
#define SYNC_SET_FAILED (-1)      // a qualifying row was tried, setting failed for all
#define SYNC_NO_SERVER (-2)       // no row qualified
#define SYNC_NO_PRIVILEGE (-3)    // the system-time privilege could not be enabled

#define CLOCK_LEAD_100NS 100000   // the clock is set 10 ms ahead of the estimate
#define SYNC_PROBE_PASSES 2        // passes of an attempt's own probe round

struct SYNCOUTCOME {
  uint32_t delayMs;   // the chosen row's round trip
  double zScore;      // and its Z_Score
};

// Enables SeSystemtimePrivilege in the process token. 1 on success, 0 when it
// could not be enabled or is not held at all.
int EnableSystemTimePrivilege();

// Sets the local time from the first qualifying row of the selection table for
// which setting succeeds. Appends one "<117><index>: <host>..." text per
// candidate to the log (no line end). `outcome` may be null.
int SetClockFromBest(SYNCOUTCOME* outcome);

// The two system calls behind SetClockFromBest, replaceable so that tests can
// record the time it sets and refuse the privilege. A null field (or a null
// setter) restores the system's own: EnableSystemTimePrivilege, SetLocalTime.
struct CLOCKSETTER {
  int (*enablePrivilege)();
  BOOL(WINAPI* setLocalTime)(const SYSTEMTIME* local);
};
void SetClockSetter(const CLOCKSETTER* setter);
