// Shared by the engine's tests that talk to the simulated time servers.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "ntp/clock.h"
#include "ntp/enginehooks.h"
#include "ntp/serverrow.h"
#include "simctl.h"
#include "text/strings.h"

// A host of the test's network as the engine takes it.
std::wstring WideHost(const std::string& addr);

// Every text the engine appended to the log since the last Clear.
struct LogRecorder {
  static std::wstring text;
  static std::vector<int> clearedRows;
  static void Append(const wch* t) { text += t; }
  static void ClearRow(int row) { clearedRows.push_back(row); }
  static const wch* Note() { return Str(117); }   // as the window plugs it in
  static void Install() {
    text.clear();
    clearedRows.clear();
    g_engineHooks.appendLog = Append;
    g_engineHooks.clearResultRow = ClearRow;
    g_engineHooks.candidateNote = Note;
  }
};

// Fresh tables whose rows are empty until served: Serve(i) makes row i ask
// PeerAddr(base + i). The simulator's counters are reset for every test.
class PeerTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;
  // Serves row i with the given behaviour ("" answers at once, offset 0).
  void Serve(int row, const std::string& options = "");
  std::string Addr(int row) const { return PeerAddr(base_ + row); }
  int base_ = 100;
  std::vector<std::string> served_;
};

// Milliseconds taken by f().
template <typename F>
double TimedMs(F f) {
  const int64_t start = GetCounterTime();
  f();
  return (GetCounterTime() - start) / 10000.0;
}
