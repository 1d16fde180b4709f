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

#include <windows.h>

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

static uint64_t (*g_backoffClock)();

void SetNtsBackoffClock(uint64_t (*nowMs)()) { g_backoffClock = nowMs; }

static uint64_t BackoffNow() { return g_backoffClock ? g_backoffClock() : GetCounterMs(); }

// The back-off after an exchange that was not cut: a failed key exchange, or
// cookies spent without one authenticated answer.
static void NoteBackoff(NTSHOST* record, const NTSEXCHANGE& info, int r) {
  if (info.keyExchanged && info.keResult != NTSKX_OK) {
    if (info.keResult != NTSKX_CUT) NtsNoteFailure(record, BackoffNow());
  } else if (info.sent) {
    NtsNoteExchange(record, r != 0, BackoffNow());
  }
}

static void NoteRowsReason(const int* rows, int count, int r, int reason) {
  if (r || reason != NTSREASON_NONE)
    for (int k = 0; k < count; ++k) NoteReason(rows[k], reason);
}

// Why a host's exchange failed: a key exchange of this round decides when it
// failed, keys and cookies at hand or not.
static int HostFailureReason(const NTSHOST* record, const NTSEXCHANGE& info) {
  if (info.keyExchanged && info.keResult != NTSKX_OK) return NtsFailureReason(info.keResult, 0, 0, 0);
  // The server the key exchange named is not one to ask: its word is refused.
  if (info.serverRefused) return NTSREASON_KE_REFUSED;
  return NtsFailureReason(info.keyExchanged ? info.keResult : record ? record->keResult : (int)NTSKX_OK,
                          record && record->keyed, info.nak, info.datagrams);
}

// The reason a host's exchange leaves for its rows: its failure's, or for keys
// won with the clock behind the build, a line of its own.
static int HostReason(int r, const NTSHOST* record, const NTSEXCHANGE& info) {
  const int reason = r ? (int)NTSREASON_NONE : HostFailureReason(record, info);
  if (reason == NTSREASON_NONE && info.keyExchanged && info.keResult == NTSKX_OK && info.clockBehind)
    return NTSREASON_CLOCK_BEHIND;
  return reason;
}

// One NTS host's exchange for its rows, kiss etiquette included; `host` is the
// row's trimmed "nts://" text. Notes the reason for each row. A host asked
// alone is asked at once, back-off or not: only the window asks so.
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
    reason = HostReason(r, record, info);
  }
  NoteRowsReason(rows, count, r, reason);
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

// An NTS host of a pass: its record, its key exchange (on a thread of its
// own, which writes the record and info alone) and its request.
struct NTSPART {
  NTSHOST* record;           // null: a plain host, or one that is not asked
  uint16_t kePort;
  const CUTSIGNAL* cut;
  NTSEXCHANGE info;
  NTSQUERY query;
};

// One pass over the rows not done yet.
struct PASSROWS {
  bool* done;
  bool* failed;              // a failure of its own (not the cut) was recorded for the row
  int* answered;
  const CUTSIGNAL* cut;
  bool pressed;              // a press of the sync button: NTS hosts are asked, back-off or not
  HOSTROWS hosts[SERVER_COUNT];
  int hostOf[SERVER_COUNT];  // the host each query asks
  SNTPQUERY queries[SERVER_COUNT];
  NTSPART nts[SERVER_COUNT]; // by host
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

// An NTS host's exchange is over: kiss etiquette, back-off, reason and outcome.
static void NtsQueryDone(PASSROWS* pass, int h, SNTPQUERY* query) {
  NTSPART& part = pass->nts[h];
  const HOSTROWS& rows = pass->hosts[h];
  uint32_t kissCode = 0;
  FinishNtsQuery(&part.query, query, &part.info, &kissCode);
  const int r = query->result;
  // Given up rather than refused: the rows keep what they held.
  if (!r && !query->kissCode && IsCut(pass->cut)) return;
  NoteAnswer(rows.host, r, kissCode);
  NoteBackoff(part.record, part.info, r);
  NoteRowsReason(rows.rows, rows.count, r, HostReason(r, part.record, part.info));
  RecordOutcome(pass, rows, r, true);
}

static void QueryDone(SNTPQUERY* query, void* context) {
  PASSROWS* pass = (PASSROWS*)context;
  const int h = pass->hostOf[query - pass->queries];
  if (pass->nts[h].record) {
    NtsQueryDone(pass, h, query);
    return;
  }
  // A query that fails without a kiss while the round is cut was given up
  // rather than refused: its rows keep what they held.
  if (!query->result && !query->kissCode && IsCut(pass->cut)) return;
  NoteAnswer(query->host, query->result, query->kissCode);
  RecordOutcome(pass, pass->hosts[h], query->result, false);
}

// An NTS host that is not asked in this pass, with the reason for its rows.
static void NtsNotAsked(PASSROWS* pass, int h, int reason) {
  const HOSTROWS& rows = pass->hosts[h];
  NoteRowsReason(rows.rows, rows.count, 0, reason);
  pass->nts[h].record = nullptr;
  RecordOutcome(pass, rows, 0, true);
}

// The host's request for the pass's wait, as queries[*n]; a host that cannot
// make one is done with.
static void AddNtsQuery(PASSROWS* pass, int h, int* n) {
  NTSPART& part = pass->nts[h];
  if (PrepareNtsQuery(part.record, &g_workTable[pass->hosts[h].rows[0]], &part.query, &pass->queries[*n],
                      &part.info)) {
    pass->hostOf[(*n)++] = h;
    return;
  }
  NtsNotAsked(pass, h, HostFailureReason(part.record, part.info));
}

static DWORD WINAPI KeyExchangeThread(void* parameter) {
  NTSPART* part = static_cast<NTSPART*>(parameter);
  NtsKeyExchange(part->record, part->kePort, part->cut, &part->info);
  return 0;
}

// A host's key exchange has ended: a keyed host joins the next wait; a failed
// one backs off. A cut one is no fault of the host, and a cut round asks no more.
static void KeyExchangeEnded(PASSROWS* pass, int h, int* n) {
  NTSPART& part = pass->nts[h];
  if (part.info.keResult == NTSKX_CUT) return;
  if (part.info.keResult != NTSKX_OK) {
    // The earlier keys still serve; the exchange's back-off counts the failure.
    if (!IsCut(pass->cut) && NtsCanAsk(part.record)) {
      AddNtsQuery(pass, h, n);
      return;
    }
    NtsNoteFailure(part.record, BackoffNow());
    if (!IsCut(pass->cut)) NtsNotAsked(pass, h, HostFailureReason(part.record, part.info));
    return;
  }
  if (!IsCut(pass->cut)) AddNtsQuery(pass, h, n);
}

// Rows that name one NTS server in other words (the standard port written
// out) are that host's rows too: one record, one key exchange, one request.
static void FindNtsRecords(PASSROWS* pass, int hosts) {
  for (int h = 0; h < hosts; ++h) {
    HOSTROWS& rows = pass->hosts[h];
    pass->nts[h].record = nullptr;
    if (!rows.count || !HasNtsPrefix(rows.host)) continue;
    wch name[HOST_CHARS];
    uint16_t port = 0;
    if (ParseNtsName(rows.host, name, &port) != NTSNAME_OK) continue;
    NTSHOST* record = NtsHostAt(name, port);
    int same = 0;
    while (same < h && pass->nts[same].record != record) ++same;
    if (record && same < h) {
      HOSTROWS& first = pass->hosts[same];
      for (int k = 0; k < rows.count; ++k) first.rows[first.count++] = rows.rows[k];
      rows.count = 0;
      continue;
    }
    NTSPART& part = pass->nts[h];
    part.record = record;
    part.kePort = port;
    part.cut = pass->cut;
    memset(&part.info, 0, sizeof part.info);
    part.info.last = NTS_IGNORE_HEADER;
    part.query.open = false;
  }
}

// Every host is asked at once: plain hosts and NTS hosts that hold cookies in
// one wait, while the key exchanges of the NTS hosts that need one run on
// threads of their own; a host keyed meanwhile is asked as soon as that wait
// and its key exchange are over. A pass thus costs one second of waiting
// however many servers are silent, and one key-exchange deadline more at most
// however many key-exchange servers stall. Outcomes are recorded in the order
// they arrive; the host records are not looked up while an exchange runs.
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
  FindNtsRecords(pass, hosts);
  const uint64_t now = BackoffNow();
  HANDLE threads[SERVER_COUNT];
  int threadHost[SERVER_COUNT];
  int running = 0, n = 0;
  for (int h = 0; h < hosts; ++h) {
    const HOSTROWS& rows = pass->hosts[h];
    if (!rows.count) continue;
    if (KissHoldsBack(rows.host)) {
      pass->nts[h].record = nullptr;
      RecordOutcome(pass, rows, 0, false);
      continue;
    }
    if (!HasNtsPrefix(rows.host)) {
      pass->hostOf[n] = h;
      pass->queries[n] = SNTPQUERY{rows.host, &g_workTable[rows.rows[0]], 0, 0, nullptr};
      ++n;
      continue;
    }
    NTSPART& part = pass->nts[h];
    if (!part.record) {
      NtsNotAsked(pass, h, NTSREASON_MALFORMED);
    } else if (!pass->pressed && NtsBackingOff(part.record, now)) {
      // Not answered, its reason as last logged.
      NtsNotAsked(pass, h, NTSREASON_NONE);
    } else if (!NtsNeedsKeyExchange(part.record)) {
      AddNtsQuery(pass, h, &n);
    } else if (!NtsClaimKeyExchange(part.record, NtsRound())) {
      // A NAK's host keeps asking with its keys until a key exchange succeeds.
      if (NtsCanAsk(part.record)) AddNtsQuery(pass, h, &n);
      else NtsNotAsked(pass, h, HostFailureReason(part.record, part.info));
    } else {
      HANDLE thread = CreateThread(nullptr, 0, KeyExchangeThread, &part, 0, nullptr);
      if (thread) {
        threads[running] = thread;
        threadHost[running++] = h;
      } else {
        KeyExchangeThread(&part);   // no thread to spare: in turn, then
        KeyExchangeEnded(pass, h, &n);
      }
    }
  }
  QueryServersTimeCut(pass->queries, n, QueryDone, pass, pass->cut);
  while (running > 0) {
    // The key exchanges end by their deadline or at the cut.
    if (WaitForMultipleObjects((DWORD)running, threads, FALSE, INFINITE) == WAIT_FAILED)
      WaitForSingleObject(threads[0], INFINITE);
    n = 0;
    for (int i = 0; i < running;) {
      if (WaitForSingleObject(threads[i], 0) != WAIT_OBJECT_0) {
        ++i;
        continue;
      }
      CloseHandle(threads[i]);
      const int h = threadHost[i];
      --running;
      threads[i] = threads[running];
      threadHost[i] = threadHost[running];
      KeyExchangeEnded(pass, h, &n);
    }
    QueryServersTimeCut(pass->queries, n, QueryDone, pass, pass->cut);
  }
}

int ProbeServers(const unsigned* passes) { return ProbeRound(passes ? *passes : 0, nullptr, 0); }

int ProbeRound(unsigned count, const CUTSIGNAL* cut, int pressed) {
  bool done[SERVER_COUNT] = {}, failed[SERVER_COUNT] = {};
  int answered = 0;
  // The NTS requests make it too large for a worker's stack.
  PASSROWS* pass = static_cast<PASSROWS*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(PASSROWS)));
  if (!pass) return 0;
  pass->done = done;
  pass->failed = failed;
  pass->answered = &answered;
  pass->cut = cut;
  pass->pressed = pressed != 0;
  NtsNextRound();
  for (unsigned p = 0; p < count && answered < SERVER_COUNT && !IsCut(cut); ++p) ProbePass(pass);
  HeapFree(GetProcessHeap(), 0, pass);
  // A cut round leaves no row worse than it found it: a row it never heard from
  // (still waiting, or not asked) keeps its earlier sample.
  const bool wasCut = IsCut(cut);
  for (int j = 0; j < SERVER_COUNT; ++j) {
    if (done[j] || (wasCut && !failed[j])) continue;
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
