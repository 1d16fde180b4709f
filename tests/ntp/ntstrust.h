// The test CA in the Root store for the whole test binary.
#pragma once
#include <gtest/gtest.h>

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
