// The server table: ten rows, each a server's host, display name, latest SNTP
// sample and statistics. It exists three times: the work table (written by the
// probing thread), the published table (read by the display) and the selection
// table (rebuilt and sorted for each clock setting). Rows are copied whole.
#pragma once
#include <stdint.h>
#include "text/wch.h"

#define SERVER_COUNT 10
#define HOST_CHARS 128                       // host and display name, terminator included
#define DELAY_NONE 0xFFFFFFFFu               // delayMs of a row without a usable answer
#define SCORE_NONE 18446744073709551616.0    // zScore of a row without one (2^64)

struct SERVERROW {
  wch host[HOST_CHARS];     // host name or address literal asked
  wch name[HOST_CHARS];     // display name, list column 0
  uint32_t delayMs;         // round trip T4 - T1 in ms, or DELAY_NONE
  int64_t offset;           // clock offset theta, 100 ns, positive when the server is ahead
  int32_t result;           // last QueryServerTime: 0 failure, else the stratum
  int32_t index;            // the row's own number; travels with the row when sorted
  double rootDelayMs;       // the reply's root delay
  uint64_t receiveTime;     // T4 as FILETIME
  int64_t receiveCounter;   // counter time read right after T4
  uint8_t stratum;          // the reply's stratum
  double zScore;            // Z_Score of offset among the answered rows, or SCORE_NONE
  int32_t fresh;            // nonzero until the sample has been used to set the clock
  int32_t inlier;           // inside the IQR fences (selection table only)
  int32_t nts;              // the host was last asked as an NTS server ("nts://")
  int32_t authenticated;    // the sample came from an authenticated NTS reply
};

extern SERVERROW g_workTable[SERVER_COUNT];
extern SERVERROW g_publishedTable[SERVER_COUNT];
extern SERVERROW g_selectionTable[SERVER_COUNT];

// The one table lock: guards every copy into or out of the published table and
// every whole-table copy. Never held across a network, clock or window call.
void InitTableLock();
void DeleteTableLock();
void LockTable();
void UnlockTable();

// Marks every work row unanswered, numbers the rows and copies the work table
// into the selection and published tables.
void ResetServerTable();

// True when the row may set the clock and counts in the statistics: it answered,
// and where the table names any NTS server (ntsTable), it answered authenticated.
inline bool IsCandidate(const SERVERROW& row, bool ntsTable) {
  return row.delayMs != DELAY_NONE && (!ntsTable || row.authenticated);
}

// True when any of the ten rows was last asked as an NTS server.
inline bool TableNamesNts(const SERVERROW* table) {
  for (int i = 0; i < SERVER_COUNT; ++i)
    if (table[i].nts) return true;
  return false;
}
