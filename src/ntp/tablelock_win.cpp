// The table lock: one critical section for the whole process.
#include <windows.h>

#include "ntp/serverrow.h"

static CRITICAL_SECTION g_tableLock;

void InitTableLock() { InitializeCriticalSection(&g_tableLock); }
void DeleteTableLock() { DeleteCriticalSection(&g_tableLock); }
void LockTable() { EnterCriticalSection(&g_tableLock); }
void UnlockTable() { LeaveCriticalSection(&g_tableLock); }
