// The test CA in the Root store for the whole test binary.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "catrust.h"

// Added once for the whole binary and removed when it ends (every run makes a
// CA of its own): a root removed and added again within one process is not
// reliably seen by its chains under Wine.
class NtsTrustEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (getenv("QL_NTS_CA")) added = RunNtsTrustChild(L"add");
  }
  void TearDown() override {
    if (added) RunNtsTrustChild(L"remove");
    added = false;
  }
  bool added = false;
};

inline NtsTrustEnvironment* const g_ntsTrust =
    static_cast<NtsTrustEnvironment*>(::testing::AddGlobalTestEnvironment(new NtsTrustEnvironment));

// Why the NTS peers of with-peers (QL_PEERS_NTS=1) cannot serve this binary,
// or an empty text when they and the test CA in the Root store are ready.
inline std::string NtsPeersUnready() {
  if (!getenv("QL_NTS_CA")) return "run through with-peers with QL_PEERS_NTS=1";
  if (!g_ntsTrust->added) return "the test CA could not be added to the prefix's Root store";
  return "";
}
