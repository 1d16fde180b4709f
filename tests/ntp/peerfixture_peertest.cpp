#include "peerfixture.h"

#include <string.h>

#include "ntp/kiss.h"

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
  // Rows nobody serves keep an empty host, which fails at once; an unserved
  // loopback address would cost the full second of waiting.
  memset(g_workTable, 0, sizeof g_workTable);
  ResetServerTable();
  KissReset();   // every test starts a new run for the refusals, too
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
  WCopy(g_workTable[row].host, HOST_CHARS, WideHost(Addr(row)).c_str());
  served_.push_back(Addr(row));
}
