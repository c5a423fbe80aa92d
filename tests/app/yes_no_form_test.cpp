#include "app/yes_no_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include <functional>

#include "tests/app/window_driver.h"
#include "wrapper/code_page.h"

namespace {

struct Answer {
  const char* how;
  std::function<void(TYesNoForm&)> act;
  int result;
};

void closeByTitleBar(QWidget& window) { window.windowHandle()->close(); }

TEST(YesNoForm, EveryWayOfAnsweringGivesItsModalResult) {
  const Answer answers[] = {
      {"key Y", [](TYesNoForm&) { pressKey(Qt::Key_Y); }, mrOk},
      {"key F4", [](TYesNoForm&) { pressKey(Qt::Key_F4); }, mrOk},
      {"click yes", [](TYesNoForm& form) { QTest::mouseClick(form.YesButton, Qt::LeftButton); }, mrOk},
      {"key N", [](TYesNoForm&) { pressKey(Qt::Key_N); }, mrNo},
      {"key Esc", [](TYesNoForm&) { pressKey(Qt::Key_Escape); }, mrNo},
      {"click no", [](TYesNoForm& form) { QTest::mouseClick(form.NoButton, Qt::LeftButton); }, mrNo},
      {"Enter at once", [](TYesNoForm&) { pressKey(Qt::Key_Return); }, mrNo},
      {"title bar", [](TYesNoForm& form) { closeByTitleBar(form); }, mrCancel},
  };
  for (const Answer& answer : answers) {
    SCOPED_TRACE(answer.how);
    TYesNoForm form(nullptr);
    form.msg->setText(QStringLiteral("繼續嗎?"));
    onNextModal([&](QWidget*) { answer.act(form); });
    EXPECT_EQ(form.exec(), answer.result);
  }
}

TEST(YesNoForm, LayoutAndCaptions) {
  TYesNoForm form(nullptr);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("信息"));
  EXPECT_EQ(form.size(), QSize(559, 220));
  EXPECT_EQ(form.minimumSize(), form.maximumSize());
  EXPECT_EQ(form.msg->geometry(), QRect(32, 24, 489, 113));
  EXPECT_TRUE(form.msg->wordWrap());
  EXPECT_TRUE(form.msg->font().bold());
  EXPECT_EQ(form.YesButton->geometry(), QRect(157, 155, 120, 33));
  EXPECT_EQ(form.NoButton->geometry(), QRect(293, 155, 120, 33));
  EXPECT_EQ(form.YesButton->text(), QStringLiteral("是 F4 (&Y)"));
  EXPECT_EQ(form.NoButton->text(), QStringLiteral("否 Esc (&N)"));
}

class MessageFunctions : public testing::Test {
 protected:
  void TearDown() override { codePage::setCharset(""); }
};

struct Question {
  const char* how;
  bool yesFirst;
  Qt::Key key;
  const char* focused;
  bool answer;
};

TEST_F(MessageFunctions, AskYesNoIsTrueOnlyForYes) {
  const Question questions[] = {
      {"Enter at once", false, Qt::Key_Return, "NoButton", false},
      {"Enter at once, yes first", true, Qt::Key_Return, "YesButton", true},
      {"key Y", false, Qt::Key_Y, "NoButton", true},
      {"key F4, yes first", true, Qt::Key_F4, "YesButton", true},
      {"key Esc", false, Qt::Key_Escape, "NoButton", false},
      {"key N, yes first", true, Qt::Key_N, "YesButton", false},
  };
  for (const Question& question : questions) {
    SCOPED_TRACE(question.how);
    std::string focused;
    onNextModal([&](QWidget*) {
      focused = QApplication::focusWidget()->objectName().toStdString();
      pressKey(question.key);
    });
    EXPECT_EQ(askYesNo(QStringLiteral("關閉系統?"), nullptr, question.yesFirst), question.answer);
    EXPECT_EQ(focused, question.focused);
  }
}

// An owner with its own F4 command, as the record list has.
class TOwnerForm : public TForm {
 public:
  TOwnerForm() : TForm(nullptr) {
    newAction("deleteAction", QStringLiteral("刪除 F4"), Qt::Key_F4, [this] { ++runs; });
  }
  int runs = 0;
};

TEST_F(MessageFunctions, KeysOfTheQuestionDoNotReachItsOwner) {
  TOwnerForm owner;
  owner.show();
  activate(&owner);
  onNextModal([](QWidget*) { pressKey(Qt::Key_F4); });
  EXPECT_TRUE(askYesNo(QStringLiteral("刪除資料 '甲' 嗎?"), &owner));
  EXPECT_EQ(owner.runs, 0);
  EXPECT_TRUE(owner.isVisible());
  owner.activateWindow();
  activate(&owner);
  pressKey(Qt::Key_F4);
  EXPECT_EQ(owner.runs, 1);
}

TEST_F(MessageFunctions, AskYesNoClosedByTitleBarIsNo) {
  onNextModal([](QWidget* window) { closeByTitleBar(*window); });
  EXPECT_FALSE(askYesNo(QStringLiteral("關閉系統?"), nullptr));
}

// A short question stands lower: fewer than 50 bytes in the code page, where a
// Chinese character takes two bytes in Big5 and three in UTF-8.
TEST_F(MessageFunctions, ShortQuestionStandsLower) {
  const struct {
    const char* charset;
    int characters;
    int top;
  } cases[] = {{"BIG5", 24, 40}, {"BIG5", 25, 24}, {"UTF-8", 16, 40}, {"UTF-8", 24, 24}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.charset << ", " << c.characters << " characters");
    codePage::setCharset(c.charset);
    int top = -1;
    onNextModal([&](QWidget* window) {
      top = window->findChild<QLabel*>(QStringLiteral("msg"))->y();
      pressKey(Qt::Key_Escape);
    });
    askYesNo(QString(c.characters, QChar(u'刪')), nullptr);
    EXPECT_EQ(top, c.top);
  }
}

TEST_F(MessageFunctions, ShowMessageHasOneOkButtonAndClosesByEveryKey) {
  const struct {
    const char* name;
    Qt::Key key;
  } keys[] = {{"Esc", Qt::Key_Escape}, {"Enter", Qt::Key_Return}, {"F4", Qt::Key_F4}, {"N", Qt::Key_N}};
  for (const auto& [name, key] : keys) {
    SCOPED_TRACE(name);
    QStringList shown;
    int left = -1;
    QString text;
    onNextModal([&](QWidget* window) {
      for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->isVisible()) {
          shown << button->text();
          left = button->x();
        }
      text = window->findChild<QLabel*>(QStringLiteral("msg"))->text();
      pressKey(key);
    });
    showMessage(QStringLiteral("沒有選擇資料."), nullptr);
    EXPECT_EQ(shown, QStringList{QStringLiteral("確定")});
    EXPECT_EQ(left, 277);
    EXPECT_EQ(text, QStringLiteral("沒有選擇資料."));
  }
}

}  // namespace
