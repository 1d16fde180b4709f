// The table lock on Linux, where only the portable modules and their tests build.
#include <mutex>
#include "ntp/serverrow.h"

static std::mutex g_tableMutex;

void InitTableLock() {}
void DeleteTableLock() {}
void LockTable() { g_tableMutex.lock(); }
void UnlockTable() { g_tableMutex.unlock(); }
