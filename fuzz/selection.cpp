// The statistics and the selection over a work table whose delays, offsets,
// root delays and stale scores come from the input: UpdateStatistics, then
// SelectServers (which runs MarkIqrInliers and the three sorts).
//
// Input: ten rows of 29 bytes each:
//   byte 0   flags: 1 unanswered (DELAY_NONE); bits 1-2 the offset's form (0 raw,
//            1 a 16-bit value, 2 INT64_MAX minus a 16-bit value, 3 INT64_MIN plus
//            one); 8 root delay as raw double bits (else from a 32-bit field, as
//            the decoder gives it); 16 a stale score (else SCORE_NONE)
//   1..4 delayMs, 5..12 offset, 13..20 root delay, 21..28 stale score
#include <math.h>

#include "fuzzinput.h"
#include "ntp/selection.h"
#include "ntp/serverrow.h"
#include "ntp/sntp_codec.h"

typedef __int128 i128;

namespace {

SERVERROW g_input[SERVER_COUNT];

void ReadTable(FuzzInput* in) {
  memset(g_input, 0, sizeof g_input);
  for (int i = 0; i < SERVER_COUNT; ++i) {
    SERVERROW& row = g_input[i];
    const uint8_t flags = in->U8();
    const uint32_t delay = in->U32();
    const uint64_t offset = in->U64();
    const uint64_t rootDelay = in->U64();
    const double stale = in->F64();
    row.delayMs = (flags & 1) ? DELAY_NONE : delay;
    switch ((flags >> 1) & 3) {
      case 0: row.offset = (int64_t)offset; break;
      case 1: row.offset = (int16_t)offset; break;
      case 2: row.offset = INT64_MAX - (int64_t)(uint16_t)offset; break;
      default: row.offset = INT64_MIN + (int64_t)(uint16_t)offset; break;
    }
    if (flags & 8)
      memcpy(&row.rootDelayMs, &rootDelay, sizeof row.rootDelayMs);
    else
      row.rootDelayMs = RootDelayToMs((uint32_t)rootDelay);
    row.zScore = (flags & 16) ? stale : SCORE_NONE;
    row.index = i;
    row.result = row.delayMs == DELAY_NONE ? 0 : 1 + (int)(offset % 15);
    row.stratum = (uint8_t)row.result;
    row.fresh = row.result;
    row.receiveTime = offset ^ 0x5555;
    row.receiveCounter = (int64_t)rootDelay;
    // Host and name: a terminated text, then units that must travel with the row.
    for (int k = 0; k < HOST_CHARS; ++k) {
      row.host[k] = (wch)(0x4100 + i * 3 + k);
      row.name[k] = (wch)(0x6200 + i * 5 + k);
    }
    row.host[10 + i] = 0;
    row.name[20 + i] = 0;
  }
}

bool Terminated(const wch* field) {
  for (int k = 0; k < HOST_CHARS; ++k)
    if (!field[k]) return true;
  return false;
}

bool SameBits(double a, double b) { return memcmp(&a, &b, sizeof a) == 0; }

// Every field but the ones named as allowed to differ.
bool SameRow(const SERVERROW& a, const SERVERROW& b, bool zScore, bool inlier) {
  return memcmp(a.host, b.host, sizeof a.host) == 0 && memcmp(a.name, b.name, sizeof a.name) == 0 &&
         a.delayMs == b.delayMs && a.offset == b.offset && a.result == b.result && a.index == b.index &&
         SameBits(a.rootDelayMs, b.rootDelayMs) && a.receiveTime == b.receiveTime &&
         a.receiveCounter == b.receiveCounter && a.stratum == b.stratum && a.fresh == b.fresh &&
         (!zScore || SameBits(a.zScore, b.zScore)) && (!inlier || a.inlier == b.inlier);
}

// The fences from quartiles and IQR worked out in 128 bits, the fences then by
// the program's double formula, truncated and saturated to the 64-bit range.
int64_t Saturate(double v) {
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v < -9223372036854775808.0) return INT64_MIN;
  return (int64_t)v;
}

void ReferenceInliers(const SERVERROW* table, int* inlier) {
  i128 x[SERVER_COUNT];
  int rows[SERVER_COUNT];
  int n = 0;
  for (int i = 0; i < SERVER_COUNT; ++i) {
    inlier[i] = 0;
    if (table[i].delayMs != DELAY_NONE) {
      x[n] = table[i].offset;
      rows[n++] = i;
    }
  }
  if (n < 3) {
    for (int k = 0; k < n; ++k) inlier[rows[k]] = 1;
    return;
  }
  i128 sorted[SERVER_COUNT];
  memcpy(sorted, x, sizeof(i128) * n);
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && sorted[j] < sorted[j - 1]; --j) {
      const i128 t = sorted[j];
      sorted[j] = sorted[j - 1];
      sorted[j - 1] = t;
    }
  const int q = n / 4, r = n % 4, h = 3 * n / 4 - 1;
  const i128 q1 = sorted[q] + (sorted[q + 1] - sorted[q]) * r / 4;
  const i128 q3 = sorted[h] + (sorted[h + 1] - sorted[h]) * r / 4;
  const i128 iqr = q3 - q1;
  const i128 low = Saturate((double)q1 - IQR_FENCE_FACTOR * (double)iqr);
  const i128 high = Saturate((double)q3 + IQR_FENCE_FACTOR * (double)iqr);
  for (int k = 0; k < n; ++k) inlier[rows[k]] = low <= x[k] && x[k] <= high;
}

// The three passes of the selection, on a copy, by the program's own Z_Scores.
template <typename Key>
void ReferenceSort(SERVERROW* rows, Key key) {
  for (int i = 0; i + 1 < SERVER_COUNT; ++i) {
    int candidate = i;
    for (int j = i + 1; j < SERVER_COUNT; ++j)
      if (key(rows[j]) < key(rows[candidate])) candidate = j;
    const SERVERROW t = rows[i];
    rows[i] = rows[candidate];
    rows[candidate] = t;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in = {data, size};
  ReadTable(&in);
  InitTableLock();
  memcpy(g_workTable, g_input, sizeof g_workTable);
  memcpy(g_publishedTable, g_input, sizeof g_publishedTable);
  memset(g_selectionTable, 0x33, sizeof g_selectionTable);

  // Z_Scores: written for the answered rows only, the same in both tables.
  UpdateStatistics();
  int n = 0;
  long double sum = 0, maxOffset = 0;
  for (const SERVERROW& row : g_input) {
    if (row.delayMs == DELAY_NONE) continue;
    ++n;
    sum += row.offset;
    maxOffset = fmaxl(maxOffset, fabsl((long double)row.offset));
  }
  long double squares = 0;
  for (const SERVERROW& row : g_input)
    if (row.delayMs != DELAY_NONE) squares += ((long double)row.offset - sum / n) * ((long double)row.offset - sum / n);
  const long double spread = n > 1 ? sqrtl(squares / (n - 1)) : 0.0L;
  for (int i = 0; i < SERVER_COUNT; ++i) {
    const SERVERROW& work = g_workTable[i];
    FUZZ_CHECK(SameRow(work, g_input[i], false, true) && SameRow(g_publishedTable[i], g_input[i], false, true),
               "row %d changed beyond its score", i);
    if (g_input[i].delayMs == DELAY_NONE) {
      FUZZ_CHECK(SameBits(work.zScore, g_input[i].zScore) && SameBits(g_publishedTable[i].zScore, g_input[i].zScore),
                 "unanswered row %d got a score", i);
      continue;
    }
    FUZZ_CHECK(SameBits(work.zScore, g_publishedTable[i].zScore), "row %d published %.17g, work %.17g", i,
               g_publishedTable[i].zScore, work.zScore);
    // No offset lies further than (n - 1) / sqrt(n) deviations from the mean,
    // give or take what doubles lose: offsets near the ends of the range are
    // only kept to some thousand units, which counts when their spread is small.
    const double bound = n > 1 ? (n - 1) / sqrt((double)n) : 0.0;
    const long double rounding = spread > 0 ? 16.0L * n * maxOffset * 0x1p-52L / spread : 0.0L;
    FUZZ_CHECK(isfinite(work.zScore) && work.zScore >= 0.0 &&
                   (long double)work.zScore <= bound * (1 + 1e-9) + 1e-12 + rounding,
               "row %d of %d has Z %.17g", i, n, work.zScore);
  }

  SERVERROW scored[SERVER_COUNT];
  memcpy(scored, g_workTable, sizeof scored);
  SelectServers();

  // The work table is only read.
  for (int i = 0; i < SERVER_COUNT; ++i)
    FUZZ_CHECK(SameRow(g_workTable[i], scored[i], true, true), "selection changed work row %d", i);

  // A permutation of the work rows, ordered by delay, unanswered rows last.
  bool seen[SERVER_COUNT] = {};
  for (int k = 0; k < SERVER_COUNT; ++k) {
    const SERVERROW& row = g_selectionTable[k];
    FUZZ_CHECK(row.index >= 0 && row.index < SERVER_COUNT && !seen[row.index], "position %d holds index %d", k,
               row.index);
    seen[row.index] = true;
    FUZZ_CHECK(SameRow(row, scored[row.index], true, false), "row %d changed on its way into the selection",
               row.index);
    FUZZ_CHECK(Terminated(row.host) && Terminated(row.name), "host or name of row %d not terminated", row.index);
    if (k > 0)
      FUZZ_CHECK(g_selectionTable[k - 1].delayMs <= row.delayMs, "delay %u before %u at %d",
                 g_selectionTable[k - 1].delayMs, row.delayMs, k);
  }

  // The exact order of the three passes, and the inlier flags.
  SERVERROW expect[SERVER_COUNT];
  memcpy(expect, scored, sizeof expect);
  ReferenceSort(expect, [](const SERVERROW& r) { return r.rootDelayMs; });
  ReferenceSort(expect, [](const SERVERROW& r) { return r.zScore; });
  ReferenceSort(expect, [](const SERVERROW& r) { return r.delayMs; });
  int inlier[SERVER_COUNT];
  ReferenceInliers(scored, inlier);
  for (int k = 0; k < SERVER_COUNT; ++k) {
    const SERVERROW& row = g_selectionTable[k];
    FUZZ_CHECK(row.index == expect[k].index, "position %d holds row %d, expected row %d", k, row.index,
               expect[k].index);
    FUZZ_CHECK(row.inlier == inlier[row.index], "row %d (offset %lld) inlier %d, expected %d", row.index,
               (long long)row.offset, row.inlier, inlier[row.index]);
  }
  return 0;
}
