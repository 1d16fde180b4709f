#include "sync/refresh.h"

#include <windows.h>

#include "app/appstate.h"
#include "ntp/clock.h"
#include "ntp/probe.h"
#include "ntp/serverrow.h"
#include "sync/texts.h"
#include "sync/view.h"

// The second last written: rows 0..9, then the clock label. Row 0 starts on a
// value no second has, so the first answer is shown at once.
#define NO_SECOND 65535
static uint16_t g_shownSecond[SERVER_COUNT + 1] = {NO_SECOND};
#define CLOCK_SLOT SERVER_COUNT

// The mark an NTS row's name carries while its sample is authenticated.
#define NTS_MARK L" [NTS]"

static void ShowName(int row, const SERVERROW& r) {
  wch text[HOST_CHARS + 8];
  JoinText(text, HOST_CHARS + 8, r.name, r.authenticated && r.delayMs != DELAY_NONE ? NTS_MARK : L"",
           (const wch*)nullptr);
  g_syncView.cell(row, 0, text);
}

static void ShowRow(int row, const SERVERROW& r, bool ntsTable) {
  const uint64_t estimate = EstimateServerTime(&r);
  const int64_t deviation = (int64_t)(estimate - GetPreciseFileTime());
  wch deviationText[TEXT_CHARS];
  FormatDeviation(deviationText, TEXT_CHARS, deviation, r.fresh);
  SYSTEMTIME local;
  if (!FileTimeToLocalSystemTime(estimate, &local) || local.wSecond == g_shownSecond[row]) return;
  wch date[TEXT_CHARS], time[TEXT_CHARS], text[TEXT_CHARS];
  FormatDate(date, TEXT_CHARS, &local);
  FormatTime(time, TEXT_CHARS, &local);
  JoinText(text, TEXT_CHARS, date, L" ", time, (const wch*)nullptr);
  g_syncView.cell(row, 1, text);
  g_syncView.cell(row, 2, deviationText);
  FormatUnsigned(text, TEXT_CHARS, r.delayMs);
  g_syncView.cell(row, 3, text);
  FormatDecimal3(text, TEXT_CHARS, r.rootDelayMs);
  g_syncView.cell(row, 4, text);
  if (r.zScore != SCORE_NONE) {
    FormatDecimal3(text, TEXT_CHARS, r.zScore);
    g_syncView.cell(row, 5, text);
  } else if (ntsTable) {
    g_syncView.cell(row, 5, L"");   // no candidate: an unauthenticated row beside NTS rows
  }
  if (r.nts) ShowName(row, r);
  FormatUnsigned(text, TEXT_CHARS, r.stratum);
  g_syncView.cell(row, 6, text);
  g_shownSecond[row] = local.wSecond;
}

int32_t RefreshDisplay(void*) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  if (now.wSecond != g_shownSecond[CLOCK_SLOT]) {
    wch date[TEXT_CHARS], time[TEXT_CHARS], text[TEXT_CHARS];
    FormatDate(date, TEXT_CHARS, &now);
    FormatTime(time, TEXT_CHARS, &now);
    JoinText(text, TEXT_CHARS, date, L"  ", time, (const wch*)nullptr);
    g_syncView.clockLabel(text);
    g_shownSecond[CLOCK_SLOT] = now.wSecond;
  }
  if (!AnyServerAnswered()) {
    g_syncView.syncButtons(0);
    for (int row = 0; row < SERVER_COUNT; ++row) g_syncView.clearRow(row);
    return 0;
  }
  if (g_app.runMode == 0) g_syncView.syncButtons(1);
  LockTable();
  const bool ntsTable = TableNamesNts(g_publishedTable);
  UnlockTable();
  for (int row = 0; row < SERVER_COUNT; ++row) {
    SERVERROW copy;
    LockTable();
    copy = g_publishedTable[row];
    UnlockTable();
    if (copy.delayMs == DELAY_NONE) {
      g_syncView.clearRow(row);
      if (copy.nts) ShowName(row, copy);
      continue;
    }
    ShowRow(row, copy, ntsTable);
  }
  g_syncView.showCells();
  return 0;
}

void FullRefresh() {
  for (int slot = 0; slot <= SERVER_COUNT; ++slot) g_shownSecond[slot] = NO_SECOND;
  g_syncView.forgetCells();
  RefreshDisplay(nullptr);
}
