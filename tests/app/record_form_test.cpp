#include "app/record_form.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QUrl>
#include <QWindow>

#include <functional>
#include <initializer_list>
#include <vector>

#include "app/program.h"
#include "tests/app/window_driver.h"
#include "tests/support/temp_dir.h"
#include "wrapper/code_page.h"

namespace {

dbArray<int1> arrayOf(std::initializer_list<int> bytes) {
  std::vector<int1> items;
  for (int b : bytes) items.push_back(static_cast<int1>(b));
  return dbArray<int1>(items.data(), items.size());
}

std::vector<int> bytesOf(const dbArray<int1>& array) {
  std::vector<int> bytes;
  for (size_t i = 0; i < array.length(); i++) bytes.push_back(static_cast<unsigned char>(array[i]));
  return bytes;
}

Record emptyRecord() { return Record{"", 0, "", 0, dbArray<int1>(), dbArray<int1>()}; }

class RecordFormTest : public testing::Test {
 protected:
  void TearDown() override { codePage::setCharset(""); }
};

TEST_F(RecordFormTest, ANewRecordStartsWithTheInitialTexts) {
  TRecordForm form(nullptr);
  EXPECT_EQ(form.windowTitle(), QStringLiteral("資料"));
  EXPECT_EQ(form.name->text(), QStringLiteral("堃"));
  EXPECT_EQ(form.remark->toPlainText(), QStringLiteral("remark\n堃\n堃"));
  EXPECT_EQ(form.name2->text(), QString());
  EXPECT_EQ(form.big5->text(), QStringLiteral("你好"));
  EXPECT_EQ(form.Button1->text(), QStringLiteral("Button1"));
  EXPECT_EQ(form.Button2->text(), QStringLiteral("BIG5 To UNI"));
  EXPECT_EQ(form.saveButton->text(), QStringLiteral("儲存 F4"));
  EXPECT_EQ(form.saveButton->toolTip(), QStringLiteral("儲存"));
  EXPECT_EQ(form.exitButton->text(), QStringLiteral("取消 Esc"));
  EXPECT_EQ(form.exitButton->toolTip(), QStringLiteral("取消"));
  EXPECT_EQ(form.helpButton->text(), QStringLiteral("說明 F1"));
  QStringList labels;
  for (const QLabel* label : form.findChildren<QLabel*>()) labels << label->text();
  EXPECT_EQ(labels, (QStringList{QStringLiteral("名稱:"), QStringLiteral("備註:")}));

  // Saved unedited, the record gets exactly these texts.
  Record record = emptyRecord();
  form.storeRecord(record);
  EXPECT_EQ(utf16LeText(record.nameA), QStringLiteral("堃"));
  EXPECT_EQ(utf16LeText(record.remarkA), QStringLiteral("remark\r\n堃\r\n堃"));
}

struct LoadCase {
  const char* what;
  std::initializer_list<int> bytes;
  const char16_t* text;
};

TEST_F(RecordFormTest, LoadRecordReadsWholeCodeUnitsUpToAZeroOne) {
  const LoadCase cases[] = {
      {"even length", {0x2D, 0x4E, 0x87, 0x65}, u"中文"},
      {"odd length drops the last byte", {0x2D, 0x4E, 0x87, 0x65, 0x41}, u"中文"},
      {"one byte", {0x41}, u""},
      {"a zero code unit ends the text", {0x41, 0, 0, 0, 0x42, 0}, u"A"},
      {"a zero byte alone does not", {0x00, 0x4E, 0x41, 0x00}, u"一A"},
      {"empty", {}, u""},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.what);
    Record record{"name", 3, "remark", 5, arrayOf(c.bytes), arrayOf(c.bytes)};
    TRecordForm form(nullptr);
    form.loadRecord(record);
    EXPECT_EQ(form.name->text(), QString::fromUtf16(c.text));
    EXPECT_EQ(form.remark->toPlainText(), QString::fromUtf16(c.text));
  }
}

TEST_F(RecordFormTest, StoreRecordWritesUtf16LeBytesAndNothingElse) {
  TRecordForm form(nullptr);
  form.name->setText(QStringLiteral("堃"));
  form.remark->setPlainText(QStringLiteral("a\nb"));
  Record record{"name", 3, "remark", 5, arrayOf({1, 2, 3}), arrayOf({4})};
  form.storeRecord(record);
  EXPECT_EQ(bytesOf(record.nameA), (std::vector<int>{0x03, 0x58}));
  EXPECT_EQ(bytesOf(record.remarkA), (std::vector<int>{'a', 0, '\r', 0, '\n', 0, 'b', 0}));
  EXPECT_STREQ(record.name, "name");
  EXPECT_EQ(record.namelen, 3);
  EXPECT_STREQ(record.remark, "remark");
  EXPECT_EQ(record.remarklen, 5);

  form.name->clear();
  form.remark->clear();
  form.storeRecord(record);
  EXPECT_EQ(record.nameA.length(), 0u);
  EXPECT_EQ(record.remarkA.length(), 0u);
}

TEST_F(RecordFormTest, ATextEndsAtItsFirstZeroCodeUnit) {
  TRecordForm form(nullptr);
  form.name->setText(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
  Record record = emptyRecord();
  form.storeRecord(record);
  EXPECT_EQ(bytesOf(record.nameA), (std::vector<int>{'a', 0, 'b', 0}));
}

TEST_F(RecordFormTest, ACharacterOutsideTheCodePageSurvivesSaving) {
  codePage::setCharset("BIG5");
  ASSERT_EQ(toAnsi(QStringLiteral("堃")), "?");  // Big5 has no 堃
  Record record = emptyRecord();
  {
    TRecordForm form(nullptr);
    form.name->setText(QStringLiteral("堃甲"));
    form.remark->setPlainText(QStringLiteral("第一行\n堃"));
    form.storeRecord(record);
  }
  TRecordForm again(nullptr);
  again.loadRecord(record);
  EXPECT_EQ(again.name->text(), QStringLiteral("堃甲"));
  EXPECT_EQ(again.remark->toPlainText(), QStringLiteral("第一行\n堃"));
  EXPECT_EQ(again.remarkText(), QStringLiteral("第一行\r\n堃"));
}

struct Closing {
  const char* how;
  std::function<void(TRecordForm&)> act;
  int result;
};

TEST_F(RecordFormTest, SaveIsOkAndEveryOtherWayOutIsCancel) {
  const Closing closings[] = {
      {"key F4", [](TRecordForm&) { pressKey(Qt::Key_F4); }, mrOk},
      {"click save", [](TRecordForm& form) { QTest::mouseClick(form.saveButton, Qt::LeftButton); }, mrOk},
      {"key Esc", [](TRecordForm&) { pressKey(Qt::Key_Escape); }, mrCancel},
      {"click cancel", [](TRecordForm& form) { QTest::mouseClick(form.exitButton, Qt::LeftButton); }, mrCancel},
      {"title bar", [](TRecordForm& form) { form.windowHandle()->close(); }, mrCancel},
      {"Enter in the name box stays there",
       [](TRecordForm& form) {
         pressKey(Qt::Key_Return);
         EXPECT_TRUE(form.isVisible());
         EXPECT_EQ(form.name2->text(), QString());
         pressKey(Qt::Key_Escape);
       },
       mrCancel},
  };
  for (const Closing& closing : closings) {
    SCOPED_TRACE(closing.how);
    TRecordForm form(nullptr);
    onNextModal([&](QWidget*) { closing.act(form); });
    EXPECT_EQ(form.exec(), closing.result);
  }
}

struct Conversion {
  const char16_t* name;
  const char16_t* name2;
};

TEST_F(RecordFormTest, Button1KeepsTheCodeUnitsBeforeTheNamesFirstZeroByte) {
  const Conversion cases[] = {
      {u"abc", u""},          // 'a' is 61 00
      {u"堃", u"堃"},         // 03 58
      {u"堃中a堃", u"堃中"},  // the zero byte of 'a' ends it
      {u"一", u""},           // 00 4E
      {u"", u""},
  };
  TRecordForm form(nullptr);
  for (const Conversion& c : cases) {
    SCOPED_TRACE(QString::fromUtf16(c.name).toStdString());
    form.name->setText(QString::fromUtf16(c.name));
    QTest::mouseClick(form.Button1, Qt::LeftButton);
    EXPECT_EQ(form.name2->text(), QString::fromUtf16(c.name2));
    EXPECT_EQ(form.name->text(), QString::fromUtf16(c.name));
  }
}

struct CodePageCase {
  const char* charset;
  const char16_t* big5;
  const char16_t* name2;
};

TEST_F(RecordFormTest, Button2ConvertsTheCodePageBoxToUnicode) {
  const CodePageCase cases[] = {
      {"BIG5", u"你好", u"你好"},
      {"BIG5", u"堃a", u"?a"},
      {"ISO-8859-1", u"你好", u"??"},
      {"ISO-8859-1", u"é", u"é"},
  };
  for (const CodePageCase& c : cases) {
    SCOPED_TRACE(c.charset);
    codePage::setCharset(c.charset);
    TRecordForm form(nullptr);
    form.big5->setText(QString::fromUtf16(c.big5));
    QTest::mouseClick(form.Button2, Qt::LeftButton);
    EXPECT_EQ(form.name2->text(), QString::fromUtf16(c.name2));
  }
}

TEST_F(RecordFormTest, HelpOpensThePageOnlyWhenItExists) {
  TempDir dir;
  ASSERT_TRUE(theDatabase().open(uniqueName("help").c_str()));
  const QString folder = QString::fromStdString(theDatabase().workingFolder());
  const QString page = folder + QStringLiteral("/help/Record.htm");
  FileOpenCatcher catcher;
  TRecordForm form(nullptr);

  onNextModal([](QWidget*) {
    pressKey(Qt::Key_F1);
    pressKey(Qt::Key_Escape);
  });
  form.exec();
  EXPECT_TRUE(catcher.opened.isEmpty());

  ASSERT_TRUE(QDir(folder).mkpath(QStringLiteral("help")));
  QFile file(page);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();
  onNextModal([&](QWidget*) {
    QTest::mouseClick(form.helpButton, Qt::LeftButton);
    pressKey(Qt::Key_Escape);
  });
  form.exec();
  EXPECT_EQ(catcher.opened, QList<QUrl>{QUrl::fromLocalFile(page)});
  theDatabase().close();
}

}  // namespace
