#include <string.h>

#include "ntp/enginehooks.h"
#include "ntp/nts_name.h"
#include "ntp/serverrow.h"

SERVERROW g_workTable[SERVER_COUNT];
SERVERROW g_publishedTable[SERVER_COUNT];
SERVERROW g_selectionTable[SERVER_COUNT];
ENGINEHOOKS g_engineHooks;

void ResetServerTable() {
  for (int i = 0; i < SERVER_COUNT; ++i) {
    SERVERROW& row = g_workTable[i];
    row.delayMs = DELAY_NONE;
    row.index = i;
    row.rootDelayMs = 0.0;
    row.result = 0;
    row.zScore = SCORE_NONE;
    row.inlier = 0;
    unsigned long length;
    row.nts = HasNtsPrefix(WTrimmed(row.host, &length)) ? 1 : 0;
    row.authenticated = 0;
  }
  LockTable();
  memcpy(g_selectionTable, g_workTable, sizeof g_workTable);
  memcpy(g_publishedTable, g_workTable, sizeof g_workTable);
  UnlockTable();
}
