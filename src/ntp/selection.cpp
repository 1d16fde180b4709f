#include "ntp/selection.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

// Compacted copies of the answered rows, reused by both computations.
static SERVERROW g_scratch[SERVER_COUNT];

static int CopyAnswered(const SERVERROW* table) {
  const bool ntsTable = TableNamesNts(table);
  int n = 0;
  for (int i = 0; i < SERVER_COUNT; ++i)
    if (IsCandidate(table[i], ntsTable)) g_scratch[n++] = table[i];
  return n;
}

void SwapRows(SERVERROW* a, SERVERROW* b) {
  SERVERROW t = *a;
  *a = *b;
  *b = t;
}

// One selection sort; `less` must be false for equal keys and for NaN.
template <typename Less>
static void SelectionSort(SERVERROW* rows, int count, Less less) {
  for (int i = 0; i + 1 < count; ++i) {
    int candidate = i;
    for (int j = i + 1; j < count; ++j)
      if (less(rows[j], rows[candidate])) candidate = j;
    SwapRows(&rows[i], &rows[candidate]);
  }
}

void SortByRootDelay(SERVERROW* rows, int count) {
  SelectionSort(rows, count, [](const SERVERROW& a, const SERVERROW& b) { return a.rootDelayMs < b.rootDelayMs; });
}
void SortByZScore(SERVERROW* rows, int count) {
  SelectionSort(rows, count, [](const SERVERROW& a, const SERVERROW& b) { return a.zScore < b.zScore; });
}
void SortByDelay(SERVERROW* rows, int count) {
  SelectionSort(rows, count, [](const SERVERROW& a, const SERVERROW& b) { return a.delayMs < b.delayMs; });
}
void SortByOffset(SERVERROW* rows, int count) {
  SelectionSort(rows, count, [](const SERVERROW& a, const SERVERROW& b) { return a.offset < b.offset; });
}

void UpdateStatistics() {
  // Only what the scores need is read: whole rows would include row 9's host,
  // which the interface thread may be writing under the lock meanwhile. The
  // probing thread, which runs this, is the only writer of delays and offsets.
  // Where the table names an NTS server, unauthenticated rows are no candidates:
  // they get no score, so a forged plain reply cannot move the others' scores.
  int64_t offsets[SERVER_COUNT];
  int rows[SERVER_COUNT];
  int n = 0;
  const bool ntsTable = TableNamesNts(g_workTable);
  for (int i = 0; i < SERVER_COUNT; ++i) {
    if (g_workTable[i].delayMs == DELAY_NONE) continue;
    if (!IsCandidate(g_workTable[i], ntsTable)) {
      g_workTable[i].zScore = SCORE_NONE;
      LockTable();
      g_publishedTable[i].zScore = SCORE_NONE;
      UnlockTable();
      continue;
    }
    offsets[n] = g_workTable[i].offset;
    rows[n++] = i;
  }
  if (n == 0) return;
  double mean = (double)offsets[0];
  double deviation = mean;
  if (n > 1) {
    double sum = 0.0;
    for (int k = 0; k < n; ++k) sum += (double)offsets[k];
    mean = sum / n;
    double squares = 0.0;
    for (int k = 0; k < n; ++k) {
      const double d = (double)offsets[k] - mean;
      squares += d * d;
    }
    deviation = sqrt(squares / (n - 1));
  }
  for (int k = 0; k < n; ++k) {
    const double z = deviation == 0.0 ? 0.0 : fabs((double)offsets[k] - mean) / deviation;
    g_workTable[rows[k]].zScore = z;
    LockTable();
    g_publishedTable[rows[k]].zScore = z;
    UnlockTable();
  }
}

// x[i] + trunc((x[i + 1] - x[i]) * r / 4) for sorted x and r < 4, exact for
// every input: the difference is never negative, so it is taken unsigned, and
// the result lies between x[i] and x[i + 1].
static int64_t Quartile(const int64_t* x, int i, int r) {
  const uint64_t d = (uint64_t)x[i + 1] - (uint64_t)x[i];
  const uint64_t part = (d / 4) * (uint64_t)r + ((d % 4) * (uint64_t)r) / 4;
  return (int64_t)((uint64_t)x[i] + part);
}

// Truncation toward zero, saturated where the value leaves the 64-bit range.
static int64_t SaturatedInt64(double v) {
  if (v >= 9223372036854775808.0) return INT64_MAX;
  if (v < -9223372036854775808.0) return INT64_MIN;
  return (int64_t)v;
}

void IqrFences(const int64_t* x, int n, int64_t* lowFence, int64_t* highFence) {
  // Quartiles by this program's own interpolation (not the median of halves).
  // Offsets spread by more than about 3 * 10^18 (thousands of years, which only
  // a forged table reaches) would overflow plain 64-bit arithmetic here.
  const int q = n / 4, r = n % 4, h = 3 * n / 4 - 1;
  const int64_t q1 = Quartile(x, q, r);
  const int64_t q3 = Quartile(x, h, r);
  const uint64_t iqr = (uint64_t)q3 - (uint64_t)q1;   // q3 >= q1
  *lowFence = SaturatedInt64((double)q1 - IQR_FENCE_FACTOR * (double)iqr);
  *highFence = SaturatedInt64((double)q3 + IQR_FENCE_FACTOR * (double)iqr);
}

void MarkIqrInliers() {
  for (int i = 0; i < SERVER_COUNT; ++i) g_selectionTable[i].inlier = 0;
  const int n = CopyAnswered(g_selectionTable);
  if (n == 0) return;
  if (n < IQR_MIN_ROWS) {
    for (int k = 0; k < n; ++k) g_selectionTable[g_scratch[k].index].inlier = 1;
    return;
  }
  SortByOffset(g_scratch, n);
  int64_t sorted[SERVER_COUNT];
  for (int k = 0; k < n; ++k) sorted[k] = g_scratch[k].offset;
  int64_t lowFence, highFence;
  IqrFences(sorted, n, &lowFence, &highFence);
  for (int k = 0; k < n; ++k) {
    const int64_t x = g_scratch[k].offset;
    g_selectionTable[g_scratch[k].index].inlier = (lowFence <= x && x <= highFence) ? 1 : 0;
  }
}

void SelectServers() {
  LockTable();
  memcpy(g_selectionTable, g_workTable, sizeof g_workTable);
  UnlockTable();
  MarkIqrInliers();
  SortByRootDelay(g_selectionTable, SERVER_COUNT);
  SortByZScore(g_selectionTable, SERVER_COUNT);
  SortByDelay(g_selectionTable, SERVER_COUNT);
}
