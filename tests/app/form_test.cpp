#include "app/form.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include "engine/exception.h"
#include "tests/app/window_driver.h"
#include "wrapper/code_page.h"

namespace {

// A form with one command on a button; while `failing` the command fails the
// way an engine call does.
class TFailingForm : public TForm {
 public:
  TFailingForm() : TForm(nullptr) {
    failAction = newAction("failAction", QStringLiteral("寫入 F2"), Qt::Key_F2,
                           [this] {
                             ++runs;
                             if (failing) throw dbException(5, "Failed to write file", 28);
                           },
                           QStringLiteral("寫入資料"));
    failButton = new QPushButton(this);
    bindButton(failButton, failAction);
  }
  QAction* failAction;
  QPushButton* failButton;
  int runs = 0;
  bool failing = true;
};

TEST(Form, ExceptionOfAHandlerIsShownAndTheFormStaysOpen) {
  TFailingForm form;
  form.show();
  activate(&form);
  QString shown;
  onNextModal([&](QWidget* box) {
    shown = qobject_cast<QMessageBox*>(box)->text();
    pressKey(Qt::Key_Return);
  });
  pressKey(Qt::Key_F2);
  EXPECT_EQ(form.runs, 1);
  EXPECT_TRUE(shown.contains(QStringLiteral("Failed to write file"))) << shown.toStdString();
  EXPECT_TRUE(form.isVisible());
  EXPECT_EQ(form.modalResult(), mrNone);
}

TEST(Form, ButtonShowsItsActionAndFollowsItsEnabledState) {
  TFailingForm form;
  form.failing = false;
  EXPECT_EQ(form.failButton->text(), QStringLiteral("寫入 F2"));
  EXPECT_EQ(form.failButton->toolTip(), QStringLiteral("寫入資料"));
  form.show();
  activate(&form);
  QTest::mouseClick(form.failButton, Qt::LeftButton);
  EXPECT_EQ(form.runs, 1);
  form.failAction->setEnabled(false);
  EXPECT_FALSE(form.failButton->isEnabled());
  QTest::mouseClick(form.failButton, Qt::LeftButton);
  pressKey(Qt::Key_F2);
  EXPECT_EQ(form.runs, 1);
  form.failAction->setEnabled(true);
  EXPECT_TRUE(form.failButton->isEnabled());
  pressKey(Qt::Key_F2);
  EXPECT_EQ(form.runs, 2);
}

TEST(Form, TitleBarCancelsAndAStrayEscDoesNothing) {
  TFailingForm form;
  onNextModal([](QWidget* window) {
    pressKey(Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    window->windowHandle()->close();
  });
  EXPECT_EQ(form.exec(), mrCancel);
}

TEST(Form, PlainTextsConvertThroughTheCodePage) {
  codePage::setCharset("BIG5");
  EXPECT_EQ(toAnsi(QStringLiteral("中文")), "\xA4\xA4\xA4\xE5");
  EXPECT_EQ(fromAnsi("\xA4\xA4\xA4\xE5"), QStringLiteral("中文"));
  EXPECT_EQ(toAnsi(QStringLiteral("ok")), "ok");
  codePage::setCharset("UTF-8");
  EXPECT_EQ(toAnsi(QStringLiteral("中文")), "中文");
  EXPECT_EQ(fromAnsi("\xE4\xB8\xAD"), QStringLiteral("中"));
  codePage::setCharset("");
}

}  // namespace
