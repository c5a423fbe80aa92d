#include "tests/app/window_driver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include "app/form.h"

namespace {

// One application object for all tests of a program, with the program's font.
class QtEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    application = new QApplication(argc, argv);
    useProgramFont();
  }
  void TearDown() override { delete application; }

 private:
  int argc = 1;
  char name[16] = "torvik_test";
  char* argv[2] = {name, nullptr};
  QApplication* application = nullptr;
};

[[maybe_unused]] testing::Environment* const environment = testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

// QWindow::isActive() already holds for a box while its owner has the focus;
// keys reach the box only once it is the application's active window.
void activate(QWidget* window) {
  ASSERT_TRUE(QTest::qWaitFor([window] { return QApplication::activeWindow() == window; }))
      << "window never became active";
}

void onNextModal(std::function<void(QWidget*)> act) {
  QTimer::singleShot(0, qApp, [act = std::move(act)] {
    QPointer<QWidget> window = QApplication::activeModalWidget();
    if (!window) {
      ADD_FAILURE() << "no modal window is open";
      return;
    }
    activate(window);
    act(window);
    if (window && window->isVisible()) {
      ADD_FAILURE() << "the modal window stayed open";
      window->close();
    }
  });
}

void pressKey(Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  if (!target) target = QApplication::activeWindow();
  ASSERT_NE(target, nullptr) << "no window is active";
  QTest::keyClick(target, key);
}

FileOpenCatcher::FileOpenCatcher() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "open"); }

FileOpenCatcher::~FileOpenCatcher() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
