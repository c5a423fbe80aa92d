// One QApplication for the whole test program, before any test runs.
#include <QApplication>

#include <gtest/gtest.h>

namespace {

class QtApplication : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "report_test";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

::testing::Environment* const kQtApplication = ::testing::AddGlobalTestEnvironment(new QtApplication);

}  // namespace
