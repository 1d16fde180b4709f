#include "ntp/probe.h"

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/kiss.h"
#include "ntp/nts_client.h"
#include "ntp/nts_exchange.h"
#include "ntp/nts_name.h"
#include "ntp/selection.h"
#include "ntp/sntp.h"
#include "text/lines.h"

// A row's host as it is asked and compared: without the blanks around it, as the
// list loaders store it. The window may change row 9's host while a probe runs,
// so the copy is taken under the lock.
static void CopyHost(int j, wchar_t* host) {
  wchar_t raw[HOST_CHARS];
  LockTable();
  WCopy(raw, HOST_CHARS, g_workTable[j].host);
  UnlockTable();
  WCopy(host, HOST_CHARS, Trim(raw));
}

// The kiss-of-death etiquette after an exchange with `host`.
static void NoteAnswer(const wchar_t* host, int result, uint32_t kissCode) {
  if (result) KissAnswered(host);
  else if (kissCode) KissReceived(host, kissCode);
}

// The last reason shown for each row (NTSREASON_NONE after an authenticated
// answer), and the changes not yet taken for the log. Written by the probing
// thread, taken under the table lock.
static int g_shownReason[SERVER_COUNT];
static int g_pendingReason[SERVER_COUNT];
static bool g_reasonPending[SERVER_COUNT];

static void NoteReason(int row, int reason) {
  if (reason == g_shownReason[row]) return;
  g_shownReason[row] = reason;
  if (reason == NTSREASON_NONE) return;
  LockTable();
  g_pendingReason[row] = reason;
  g_reasonPending[row] = true;
  UnlockTable();
}

bool TakeNtsReason(int* row, int* reason) {
  bool found = false;
  LockTable();
  for (int j = 0; j < SERVER_COUNT && !found; ++j) {
    if (!g_reasonPending[j]) continue;
    g_reasonPending[j] = false;
    *row = j;
    *reason = g_pendingReason[j];
    found = true;
  }
  UnlockTable();
  return found;
}

void ForgetNtsReasons() {
  LockTable();
  for (int j = 0; j < SERVER_COUNT; ++j) {
    g_shownReason[j] = NTSREASON_NONE;
    g_reasonPending[j] = false;
  }
  UnlockTable();
}

static int KeyExchangeReason(int keResult) {
  switch (keResult) {
    case NTSKX_OK: return NTSREASON_NONE;
    case NTSKX_CERTIFICATE: return NTSREASON_CERTIFICATE;
    case NTSKX_CERTIFICATE_PERIOD: return NTSREASON_CERTIFICATE_PERIOD;
    case NTSKX_TLS13_UNAVAILABLE:
    case NTSKX_NOT_TLS13: return NTSREASON_TLS13;
    case NTSKX_RESOLVE:
    case NTSKX_CONNECT:
    case NTSKX_TIMEOUT: return NTSREASON_KE_TIMEOUT;
    default: return NTSREASON_KE_REFUSED;
  }
}

int NtsFailureReason(int keResult, int keyed, int nak, int datagrams) {
  if (nak) return NTSREASON_NAK;
  if (!keyed) return keResult == NTSKX_OK ? NTSREASON_KE_REFUSED : KeyExchangeReason(keResult);
  // Silence is an unanswered row like any plain one; datagrams that all failed
  // the authentication are worth a line.
  return datagrams ? NTSREASON_UNAUTHENTIC : NTSREASON_NONE;
}

// One NTS host's exchange for its rows, kiss etiquette included; `host` is the
// row's trimmed "nts://" text. Notes the reason for each row.
static int QueryNtsHost(const wchar_t* host, SERVERROW* row, const int* rows, int count) {
  wch name[HOST_CHARS];
  uint16_t port = 0;
  int reason = NTSREASON_NONE, r = 0;
  if (ParseNtsName(host, name, &port) != NTSNAME_OK) {
    reason = NTSREASON_MALFORMED;
  } else if (!KissHoldsBack(host)) {
    NTSHOST* record = NtsHostAt(name, port);
    NTSEXCHANGE info;
    uint32_t kissCode = 0;
    r = QueryNtsServerTime(record, port, NtsRound(), row, &kissCode, &info);
    NoteAnswer(host, r, kissCode);
    if (!r && !PassesCut())
      reason = NtsFailureReason(info.keyExchanged ? info.keResult : record ? record->keResult : (int)NTSKX_OK,
                                record && record->keyed, info.nak, info.datagrams);
    // Keys won with the clock behind the build: worth a line of its own.
    if (reason == NTSREASON_NONE && info.keyExchanged && info.keResult == NTSKX_OK && info.clockBehind)
      reason = NTSREASON_CLOCK_BEHIND;
  }
  if (r || reason != NTSREASON_NONE)
    for (int k = 0; k < count; ++k) NoteReason(rows[k], reason);
  return r;
}

// A host that sent a kiss-of-death is left out as its code asks, without any
// traffic or waiting, and counts as not answering.
static int QueryRow(int j) {
  wchar_t host[HOST_CHARS];
  CopyHost(j, host);
  g_workTable[j].nts = HasNtsPrefix(host) ? 1 : 0;
  g_workTable[j].authenticated = 0;
  if (g_workTable[j].nts) {
    const int r = QueryNtsHost(host, &g_workTable[j], &j, 1);
    g_workTable[j].authenticated = r ? 1 : 0;
    return r;
  }
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

// The rows of a pass that name one host (compared without regard to case): the
// host is asked once and its answer is every such row's, so that a server is
// not asked twice at once and its kiss-of-death counts once.
struct HOSTROWS {
  wchar_t host[HOST_CHARS];
  int rows[SERVER_COUNT];
  int count;
};

// One pass over the rows not done yet.
struct PASSROWS {
  bool* done;
  bool* failed;              // a failure of its own (not the cut) was recorded for the row
  int* answered;
  HOSTROWS hosts[SERVER_COUNT];
  int hostOf[SERVER_COUNT];  // the host each query asks
  SNTPQUERY queries[SERVER_COUNT];
};

// The sample fields an exchange writes, from one row into another.
static void CopySample(SERVERROW* to, const SERVERROW& from) {
  to->delayMs = from.delayMs;
  to->offset = from.offset;
  to->rootDelayMs = from.rootDelayMs;
  to->receiveTime = from.receiveTime;
  to->receiveCounter = from.receiveCounter;
  to->stratum = from.stratum;
  to->fresh = from.fresh;
}

// A host's outcome in a round, for each of its rows: a good answer counts once
// per row and renews every Z_Score at once, a failure takes the rows' own;
// either way the rows are published. The first row holds the exchange's sample.
static void RecordOutcome(PASSROWS* pass, const HOSTROWS& h, int r, bool authenticated) {
  for (int k = 0; k < h.count; ++k) {
    const int j = h.rows[k];
    if (r && k) CopySample(&g_workTable[j], g_workTable[h.rows[0]]);
    g_workTable[j].result = r;
    g_workTable[j].authenticated = r && authenticated ? 1 : 0;
    if (r) {
      pass->done[j] = true;
      ++*pass->answered;
    } else {
      pass->failed[j] = true;
      g_workTable[j].zScore = SCORE_NONE;
    }
  }
  if (r) UpdateStatistics();
  for (int k = 0; k < h.count; ++k) PublishRow(h.rows[k]);
}

static void QueryDone(SNTPQUERY* query, void* context) {
  PASSROWS* pass = (PASSROWS*)context;
  const HOSTROWS& h = pass->hosts[pass->hostOf[query - pass->queries]];
  // A query that fails without a kiss while the passes are cut was given up
  // rather than refused: its rows keep what they held.
  if (!query->result && !query->kissCode && PassesCut()) return;
  NoteAnswer(query->host, query->result, query->kissCode);
  RecordOutcome(pass, h, query->result, false);
}

// The hosts are asked at once, so a pass costs one second of waiting however
// many servers are silent; outcomes are recorded in the order they arrive.
static void ProbePass(PASSROWS* pass) {
  int hosts = 0;
  for (int j = 0; j < SERVER_COUNT; ++j) {
    if (pass->done[j]) continue;
    wchar_t host[HOST_CHARS];
    CopyHost(j, host);
    int h = 0;
    while (h < hosts && !EqualsNoCase(pass->hosts[h].host, host)) ++h;
    if (h == hosts) {
      WCopy(pass->hosts[h].host, HOST_CHARS, host);
      pass->hosts[h].count = 0;
      ++hosts;
    }
    pass->hosts[h].rows[pass->hosts[h].count++] = j;
    g_workTable[j].nts = HasNtsPrefix(host) ? 1 : 0;
  }
  int n = 0;
  for (int h = 0; h < hosts; ++h) {
    if (HasNtsPrefix(pass->hosts[h].host)) continue;
    if (KissHoldsBack(pass->hosts[h].host)) {
      RecordOutcome(pass, pass->hosts[h], 0, false);
      continue;
    }
    pass->hostOf[n] = h;
    pass->queries[n] = SNTPQUERY{pass->hosts[h].host, &g_workTable[pass->hosts[h].rows[0]], 0, 0, nullptr};
    ++n;
  }
  QueryServersTime(pass->queries, n, QueryDone, pass);
  // NTS hosts one after the other once the plain ones are in: a key exchange
  // takes its own time, and the plain rows need not wait for it.
  for (int h = 0; h < hosts && !PassesCut(); ++h) {
    const HOSTROWS& rows = pass->hosts[h];
    if (!HasNtsPrefix(rows.host)) continue;
    const int r = QueryNtsHost(rows.host, &g_workTable[rows.rows[0]], rows.rows, rows.count);
    if (!r && PassesCut()) break;   // given up, not refused: the rows keep what they held
    RecordOutcome(pass, rows, r, true);
  }
}

int ProbeServers(const unsigned* passes) {
  bool done[SERVER_COUNT] = {}, failed[SERVER_COUNT] = {};
  int answered = 0;
  PASSROWS pass;
  pass.done = done;
  pass.failed = failed;
  pass.answered = &answered;
  const unsigned count = passes ? *passes : 0;
  NtsNextRound();
  for (unsigned p = 0; p < count && answered < SERVER_COUNT && !PassesCut(); ++p) ProbePass(&pass);
  // A cut round leaves no row worse than it found it: a row it never heard from
  // (still waiting, or not asked) keeps its earlier sample.
  const bool cut = PassesCut();
  for (int j = 0; j < SERVER_COUNT; ++j) {
    if (done[j] || (cut && !failed[j])) continue;
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
  NtsNextRound();
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
