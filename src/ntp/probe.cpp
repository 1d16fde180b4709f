#include "ntp/probe.h"

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/kiss.h"
#include "ntp/selection.h"
#include "ntp/sntp.h"

// The window may change row 9's host while a probe runs; ask a copy taken under
// the lock.
static void CopyHost(int j, wchar_t* host) {
  LockTable();
  WCopy(host, HOST_CHARS, g_workTable[j].host);
  UnlockTable();
}

// The kiss-of-death etiquette after an exchange with `host`.
static void NoteAnswer(const wchar_t* host, int result, uint32_t kissCode) {
  if (result) KissAnswered(host);
  else if (kissCode) KissReceived(host, kissCode);
}

// A host that sent a kiss-of-death is left out as its code asks, without any
// traffic or waiting, and counts as not answering.
static int QueryRow(int j) {
  wchar_t host[HOST_CHARS];
  CopyHost(j, host);
  if (KissHoldsBack(host)) return 0;
  uint32_t kissCode = 0;
  const int r = QueryServerTimeKiss(host, &g_workTable[j], &kissCode);
  NoteAnswer(host, r, kissCode);
  return r;
}

static void PublishRow(int j) {
  LockTable();
  g_publishedTable[j] = g_workTable[j];
  UnlockTable();
}

// One pass over the rows not done yet.
struct PASSROWS {
  bool* done;
  int* answered;
  wchar_t hosts[SERVER_COUNT][HOST_CHARS];
  int rowOf[SERVER_COUNT];   // the row each query asks for
  SNTPQUERY queries[SERVER_COUNT];
};

// A row's outcome in a round: a good answer counts and renews every Z_Score at
// once, a failure takes the row's own; either way the row is published.
static void RecordOutcome(PASSROWS* pass, int j, int r) {
  g_workTable[j].result = r;
  if (r) {
    pass->done[j] = true;
    ++*pass->answered;
    UpdateStatistics();
  } else {
    g_workTable[j].zScore = SCORE_NONE;
  }
  PublishRow(j);
}

static void QueryDone(SNTPQUERY* query, void* context) {
  PASSROWS* pass = (PASSROWS*)context;
  const int q = (int)(query - pass->queries);
  NoteAnswer(query->host, query->result, query->kissCode);
  RecordOutcome(pass, pass->rowOf[q], query->result);
}

// The rows are asked at once, so a pass costs one second of waiting however
// many servers are silent; outcomes are recorded in the order they arrive.
static void ProbePass(PASSROWS* pass) {
  int n = 0;
  for (int j = 0; j < SERVER_COUNT; ++j) {
    if (pass->done[j]) continue;
    CopyHost(j, pass->hosts[n]);
    if (KissHoldsBack(pass->hosts[n])) {
      RecordOutcome(pass, j, 0);
      continue;
    }
    pass->rowOf[n] = j;
    pass->queries[n] = SNTPQUERY{pass->hosts[n], &g_workTable[j], 0, 0};
    ++n;
  }
  QueryServersTime(pass->queries, n, QueryDone, pass);
}

int ProbeServers(const unsigned* passes) {
  bool done[SERVER_COUNT] = {};
  int answered = 0;
  PASSROWS pass;
  pass.done = done;
  pass.answered = &answered;
  const unsigned count = passes ? *passes : 0;
  for (unsigned p = 0; p < count && answered < SERVER_COUNT && !PassesCut(); ++p) ProbePass(&pass);
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
