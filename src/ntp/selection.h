// Which servers to trust: Z_Scores of the offsets after every good answer, and
// for each clock setting a selection table flagged by the IQR test and ordered
// by root delay, Z_Score and finally round-trip delay.
#pragma once
#include "ntp/serverrow.h"

#define IQR_FENCE_FACTOR 1.5
#define IQR_MIN_ROWS 3
#define ZSCORE_LIMIT 1.0   // a row qualifies only below it

// Recomputes zScore of every answered work row, in the work and published tables.
void UpdateStatistics();

// Copies the work table into the selection table, flags the inliers, sorts.
void SelectServers();

// Sets `inlier` in the selection table (which must not be sorted yet).
void MarkIqrInliers();

// The IQR fences of `n` >= 3 offsets sorted ascending.
void IqrFences(const int64_t* sorted, int n, int64_t* lowFence, int64_t* highFence);

// Exchanges two rows whole.
void SwapRows(SERVERROW* a, SERVERROW* b);

// The three orderings, each a selection sort over rows[0..count): the
// earliest of equal keys stays the candidate, NaN never displaces one.
void SortByRootDelay(SERVERROW* rows, int count);
void SortByZScore(SERVERROW* rows, int count);
void SortByDelay(SERVERROW* rows, int count);
void SortByOffset(SERVERROW* rows, int count);
