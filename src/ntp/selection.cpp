#include "ntp/selection.h"

#include <math.h>
#include <string.h>

// Compacted copies of the answered rows, reused by both computations.
static SERVERROW g_scratch[SERVER_COUNT];

static int CopyAnswered(const SERVERROW* table) {
  int n = 0;
  for (int i = 0; i < SERVER_COUNT; ++i)
    if (table[i].delayMs != DELAY_NONE) g_scratch[n++] = table[i];
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
  const int n = CopyAnswered(g_workTable);
  double mean = (double)g_scratch[0].offset;
  double deviation = mean;
  if (n > 1) {
    double sum = 0.0;
    for (int k = 0; k < n; ++k) sum += (double)g_scratch[k].offset;
    mean = sum / n;
    double squares = 0.0;
    for (int k = 0; k < n; ++k) {
      const double d = (double)g_scratch[k].offset - mean;
      squares += d * d;
    }
    deviation = sqrt(squares / (n - 1));
  }
  for (int k = 0; k < n; ++k) {
    const double z = deviation == 0.0 ? 0.0 : fabs((double)g_scratch[k].offset - mean) / deviation;
    const int row = g_scratch[k].index;
    if (row < 0 || row >= SERVER_COUNT) continue;
    g_workTable[row].zScore = z;
    LockTable();
    g_publishedTable[row].zScore = z;
    UnlockTable();
  }
}

void IqrFences(const int64_t* x, int n, int64_t* lowFence, int64_t* highFence) {
  // Quartiles by this program's own interpolation (not the median of halves).
  const int q = n / 4, r = n % 4, h = 3 * n / 4 - 1;
  const int64_t q1 = x[q] + (x[q + 1] - x[q]) * r / 4;
  const int64_t q3 = x[h] + (x[h + 1] - x[h]) * r / 4;
  const int64_t iqr = q3 - q1;
  *lowFence = (int64_t)((double)q1 - IQR_FENCE_FACTOR * (double)iqr);
  *highFence = (int64_t)((double)q3 + IQR_FENCE_FACTOR * (double)iqr);
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
