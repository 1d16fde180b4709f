#include "ntp/kiss.h"

#include "ntp/clock.h"
#include "ntp/serverrow.h"
#include "ntp/sntp_codec.h"
#include "text/lines.h"

struct KISSRECORD {
  wch host[HOST_CHARS];   // empty: a free slot
  bool refused;           // "DENY" or "RSTR": never again this run
  uint32_t backoffMs;     // the last "RATE" back-off, 0 when none
  uint64_t untilMs;       // not asked before this time
};

static KISSRECORD g_kiss[KISS_RECORDS];
static uint64_t (*g_kissClock)();

void SetKissClock(uint64_t (*nowMs)()) { g_kissClock = nowMs; }

static uint64_t NowMs() { return g_kissClock ? g_kissClock() : GetCounterMs(); }

void KissReset() {
  for (KISSRECORD& r : g_kiss) r = KISSRECORD();
}

static KISSRECORD* Find(const wch* host) {
  if (!host || !host[0]) return nullptr;
  for (KISSRECORD& r : g_kiss)
    if (r.host[0] && EqualsNoCase(r.host, host)) return &r;
  return nullptr;
}

// A slot for a new record: a free one, else the one whose back-off ended
// first. Refusals are never overwritten; with every slot refused the kiss is
// not recorded (it counts as a failure all the same).
static KISSRECORD* Slot(const wch* host) {
  if (!host || !host[0]) return nullptr;
  KISSRECORD* best = nullptr;
  for (KISSRECORD& r : g_kiss) {
    if (!r.host[0]) {
      best = &r;
      break;
    }
    if (!r.refused && (!best || r.untilMs < best->untilMs)) best = &r;
  }
  if (best) {
    *best = KISSRECORD();
    WCopy(best->host, HOST_CHARS, host);
  }
  return best;
}

bool KissHoldsBack(const wch* host) {
  const KISSRECORD* r = Find(host);
  if (!r) return false;
  return r->refused || (r->backoffMs && NowMs() < r->untilMs);
}

void KissReceived(const wch* host, uint32_t kissCode) {
  const bool refusal = kissCode == SNTP_KISS_DENY || kissCode == SNTP_KISS_RSTR;
  if (!refusal && kissCode != SNTP_KISS_RATE) return;
  KISSRECORD* r = Find(host);
  if (!r) r = Slot(host);
  if (!r) return;
  if (refusal) {
    r->refused = true;
    return;
  }
  uint32_t backoff = KISS_FIRST_BACKOFF_MS;
  if (r->backoffMs) backoff = r->backoffMs >= KISS_LONGEST_BACKOFF_MS / 2 ? KISS_LONGEST_BACKOFF_MS : r->backoffMs * 2;
  r->backoffMs = backoff;
  r->untilMs = NowMs() + backoff;
}

void KissAnswered(const wch* host) {
  KISSRECORD* r = Find(host);
  if (r && !r->refused) *r = KISSRECORD();
}
