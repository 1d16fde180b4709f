// The tests' main: GoogleTest's own, except that failures are printed without
// OutputDebugStringA. Under Wine that call raises an exception internally, and
// the i386 build, which runs under qemu here, crashes unwinding it, so a failing
// test would take the whole binary and its report down with it.
#include <gtest/gtest.h>
#include <stdio.h>

#include <memory>

namespace {

class FailurePrinter : public ::testing::TestEventListener {
 public:
  explicit FailurePrinter(::testing::TestEventListener* inner) : inner_(inner) {}

  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (result.type() == ::testing::TestPartResult::kSuccess) return;
    printf("%s:%d: %s\n%s\n", result.file_name() ? result.file_name() : "unknown file", result.line_number(),
           result.skipped() ? "Skipped" : "Failure", result.message());
    fflush(stdout);
  }

  void OnTestProgramStart(const ::testing::UnitTest& u) override { inner_->OnTestProgramStart(u); }
  void OnTestIterationStart(const ::testing::UnitTest& u, int i) override { inner_->OnTestIterationStart(u, i); }
  void OnEnvironmentsSetUpStart(const ::testing::UnitTest& u) override { inner_->OnEnvironmentsSetUpStart(u); }
  void OnEnvironmentsSetUpEnd(const ::testing::UnitTest& u) override { inner_->OnEnvironmentsSetUpEnd(u); }
  void OnTestSuiteStart(const ::testing::TestSuite& s) override { inner_->OnTestSuiteStart(s); }
  void OnTestStart(const ::testing::TestInfo& t) override { inner_->OnTestStart(t); }
  void OnTestDisabled(const ::testing::TestInfo& t) override { inner_->OnTestDisabled(t); }
  void OnTestEnd(const ::testing::TestInfo& t) override { inner_->OnTestEnd(t); }
  void OnTestSuiteEnd(const ::testing::TestSuite& s) override { inner_->OnTestSuiteEnd(s); }
  void OnEnvironmentsTearDownStart(const ::testing::UnitTest& u) override { inner_->OnEnvironmentsTearDownStart(u); }
  void OnEnvironmentsTearDownEnd(const ::testing::UnitTest& u) override { inner_->OnEnvironmentsTearDownEnd(u); }
  void OnTestIterationEnd(const ::testing::UnitTest& u, int i) override { inner_->OnTestIterationEnd(u, i); }
  void OnTestProgramEnd(const ::testing::UnitTest& u) override { inner_->OnTestProgramEnd(u); }

 private:
  std::unique_ptr<::testing::TestEventListener> inner_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::TestEventListeners& listeners = ::testing::UnitTest::GetInstance()->listeners();
  ::testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
  if (printer) listeners.Append(new FailurePrinter(printer));
  return RUN_ALL_TESTS();
}
