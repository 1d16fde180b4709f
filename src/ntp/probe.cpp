#include "ntp/probe.h"

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/kiss.h"
#include "ntp/selection.h"
#include "ntp/sntp.h"

// The window may change row 9's host while a probe runs; ask a copy taken under
// the lock. A host that sent a kiss-of-death is left out as its code asks,
// without any traffic or waiting, and counts as not answering.
static int QueryRow(int j) {
  wchar_t host[HOST_CHARS];
  LockTable();
  WCopy(host, HOST_CHARS, g_workTable[j].host);
  UnlockTable();
  if (KissHoldsBack(host)) return 0;
  uint32_t kissCode = 0;
  const int r = QueryServerTimeKiss(host, &g_workTable[j], &kissCode);
  if (r) KissAnswered(host);
  else if (kissCode) KissReceived(host, kissCode);
  return r;
}

static void PublishRow(int j) {
  LockTable();
  g_publishedTable[j] = g_workTable[j];
  UnlockTable();
}

int ProbeServers(const unsigned* passes) {
  bool done[SERVER_COUNT] = {};
  int answered = 0;
  const unsigned count = passes ? *passes : 0;
  for (unsigned pass = 0; pass < count && answered < SERVER_COUNT; ++pass) {
    for (int j = 0; j < SERVER_COUNT; ++j) {
      if (done[j]) continue;
      const int r = QueryRow(j);
      g_workTable[j].result = r;
      if (r) {
        done[j] = true;
        ++answered;
        UpdateStatistics();
      } else {
        g_workTable[j].zScore = SCORE_NONE;
      }
      PublishRow(j);
    }
  }
  for (int j = 0; j < SERVER_COUNT; ++j) {
    if (done[j]) continue;
    LockTable();
    g_workTable[j].delayMs = DELAY_NONE;
    g_publishedTable[j].delayMs = DELAY_NONE;
    UnlockTable();
  }
  return answered;
}

void ProbeOtherServer(unsigned attempts) {
  g_workTable[9].delayMs = DELAY_NONE;
  g_workTable[9].inlier = 0;
  if (g_engineHooks.clearResultRow) g_engineHooks.clearResultRow(9);
  for (unsigned a = 0; a < attempts; ++a) {
    const int r = QueryRow(9);
    g_workTable[9].result = r;
    if (r) {
      PublishRow(9);
      break;
    }
  }
  UpdateStatistics();
}

uint64_t EstimateServerTime(const SERVERROW* row) {
  return row->receiveTime + (uint64_t)row->offset + (uint64_t)(GetCounterTime() - row->receiveCounter);
}

bool AnyServerAnswered() {
  for (int i = 0; i < SERVER_COUNT; ++i)
    if (g_workTable[i].result != 0) return true;
  return false;
}
