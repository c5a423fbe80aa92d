#include "app/record_form.h"

#include <QAction>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/program.h"

namespace {

// The text up to its first zero code unit.
QString beforeZero(const QString& text) {
  const qsizetype zero = text.indexOf(QChar(0));
  return zero < 0 ? text : text.left(zero);
}

std::vector<int1> utf16LeBytes(const QString& text) {
  std::vector<int1> bytes;
  bytes.reserve(2 * static_cast<size_t>(text.size()));
  for (QChar unit : text) {
    bytes.push_back(static_cast<int1>(unit.unicode() & 0xFF));
    bytes.push_back(static_cast<int1>(unit.unicode() >> 8));
  }
  return bytes;
}

dbArray<int1> utf16LeArray(const QString& text) {
  const std::vector<int1> bytes = utf16LeBytes(text);
  return dbArray<int1>(bytes.data(), bytes.size());
}

}  // namespace

QString utf16LeText(const dbArray<int1>& bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.base());
  QString text;
  for (size_t i = 0; i + 1 < bytes.length(); i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
    if (unit == 0) break;
    text.append(QChar(unit));
  }
  return text;
}

void openRecordHelp() {
  const QString page = QString::fromStdString(theDatabase().workingFolder()) + QStringLiteral("/help/Record.htm");
  if (QFileInfo(page).isFile()) QDesktopServices::openUrl(QUrl::fromLocalFile(page));
}

TRecordForm::TRecordForm(QWidget* owner) : TForm(owner) {
  setWindowTitle(QStringLiteral("資料"));
  resize(640, 420);

  saveAction = newAction(
      "saveAction", QStringLiteral("儲存 F4"), Qt::Key_F4, [this] { saveActionExecute(); }, QStringLiteral("儲存"));
  exitAction = newAction(
      "exitAction", QStringLiteral("取消 Esc"), Qt::Key_Escape, [this] { exitActionExecute(); },
      QStringLiteral("取消"));
  helpAction = newAction("helpAction", QStringLiteral("說明 F1"), Qt::Key_F1, [this] { helpActionExecute(); });

  name = new QLineEdit(QStringLiteral("堃"));
  name->setObjectName(QStringLiteral("name"));
  remark = new QPlainTextEdit(QStringLiteral("remark\n堃\n堃"));
  remark->setObjectName(QStringLiteral("remark"));
  name2 = new QLineEdit;
  name2->setObjectName(QStringLiteral("name2"));
  big5 = new QLineEdit(QStringLiteral("你好"));
  big5->setObjectName(QStringLiteral("big5"));
  Button1 = new QPushButton(QStringLiteral("Button1"));
  Button1->setObjectName(QStringLiteral("Button1"));
  Button2 = new QPushButton(QStringLiteral("BIG5 To UNI"));
  Button2->setObjectName(QStringLiteral("Button2"));

  auto* fields = new QGridLayout;
  fields->addWidget(new QLabel(QStringLiteral("名稱:")), 0, 0);
  fields->addWidget(name, 0, 1, 1, 2);
  fields->addWidget(new QLabel(QStringLiteral("備註:")), 1, 0, Qt::AlignTop);
  fields->addWidget(remark, 1, 1, 1, 2);
  fields->addWidget(name2, 2, 1);
  fields->addWidget(Button1, 2, 2);
  fields->addWidget(big5, 3, 1);
  fields->addWidget(Button2, 3, 2);
  fields->setRowStretch(1, 1);

  actionPanel = newActionPanel({{&saveButton, saveAction}, {&exitButton, exitAction}, {&helpButton, helpAction}},
                               QSize(120, 40), Align::Right);
  // Enter in a box stays in the box; only the actions' keys answer the dialog.
  for (QPushButton* button : {Button1, Button2, saveButton, exitButton, helpButton}) button->setAutoDefault(false);

  auto* page = new QVBoxLayout(this);
  page->addLayout(fields, 1);
  page->addWidget(actionPanel);

  connect(Button1, &QPushButton::clicked, this, [this] { guarded(this, [this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { guarded(this, [this] { Button2Click(); }); });
  name->setFocus();
}

QString TRecordForm::nameText() const { return beforeZero(name->text()); }

QString TRecordForm::remarkText() const {
  return beforeZero(remark->toPlainText().replace(QChar('\n'), QStringLiteral("\r\n")));
}

void TRecordForm::loadRecord(const Record& record) {
  name->setText(utf16LeText(record.nameA));
  remark->setPlainText(utf16LeText(record.remarkA).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TRecordForm::storeRecord(Record& record) const {
  record.nameA = utf16LeArray(nameText());
  record.remarkA = utf16LeArray(remarkText());
}

void TRecordForm::saveActionExecute() { setModalResult(mrOk); }

void TRecordForm::exitActionExecute() { setModalResult(mrCancel); }

void TRecordForm::helpActionExecute() { openRecordHelp(); }

// name2 gets the name's code units whose bytes all come before the name's
// first zero byte: an ASCII first letter already ends it.
void TRecordForm::Button1Click() {
  const std::vector<int1> bytes = utf16LeBytes(name->text());
  char* copy = buffer.reserve(static_cast<nat4>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), copy);
  copy[bytes.size()] = '\0';
  name2->setText(name->text().left(static_cast<qsizetype>(strlen(copy) / 2)));
}

void TRecordForm::Button2Click() { name2->setText(fromAnsi(toAnsi(big5->text()))); }
