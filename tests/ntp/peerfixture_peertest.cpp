#include "peerfixture.h"

#include <string.h>

std::wstring LogRecorder::text;
std::vector<int> LogRecorder::clearedRows;

std::wstring WideHost(const std::string& addr) { return std::wstring(addr.begin(), addr.end()); }

void PeerTables::SetUpTestSuite() {
  static HMODULE clockModule = BindPreciseClock();
  (void)clockModule;
  static bool lockReady = false;
  if (!lockReady) InitTableLock();
  lockReady = true;
}

void PeerTables::SetUp() {
  memset(g_workTable, 0, sizeof g_workTable);
  for (int i = 0; i < SERVER_COUNT; ++i) WCopy(g_workTable[i].host, HOST_CHARS, WideHost(Addr(i)).c_str());
  ResetServerTable();
  LogRecorder::Install();
  ASSERT_TRUE(SimReset());
}

void PeerTables::TearDown() {
  for (const std::string& addr : served_) SimStop(addr);
  served_.clear();
  g_engineHooks = ENGINEHOOKS();
}

void PeerTables::Serve(int row, const std::string& options) {
  ASSERT_TRUE(SimServe(Addr(row), options)) << Addr(row) << " " << options;
  served_.push_back(Addr(row));
}
