// The record editor "資料": the name and the remark of one Record as Unicode
// texts, kept in the record's nameA and remarkA as UTF-16LE bytes so that
// characters outside the system code page survive storage. The dialog never
// touches the database; its caller loads it, shows it and stores it back.
#pragma once

#include <QString>

#include "app/form.h"
#include "app/tables/tables.h"
#include "wrapper/ardon_buffer.h"

class QAction;
class QFrame;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class TRecordForm : public TForm {
  Q_OBJECT

 public:
  // The boxes start with what a new record gets when saved unedited.
  explicit TRecordForm(QWidget* owner);

  // Shows the record's nameA and remarkA; no other field is read.
  void loadRecord(const Record& record);
  // Replaces the record's nameA and remarkA by the boxes' texts; no other
  // field is touched.
  void storeRecord(Record& record) const;

  // The name up to its first zero code unit.
  QString nameText() const;
  // The remark's lines joined by CR LF, up to its first zero code unit.
  QString remarkText() const;

  QLineEdit* name;
  QPlainTextEdit* remark;
  QLineEdit* name2;  // output of the two conversion buttons
  QLineEdit* big5;   // holds system code page text: its content counts as the bytes toAnsi gives
  QPushButton* Button1;
  QPushButton* Button2;
  QFrame* actionPanel;
  QPushButton* saveButton;
  QPushButton* exitButton;
  QPushButton* helpButton;

  QAction* saveAction;  // F4
  QAction* exitAction;  // Esc
  QAction* helpAction;  // F1

 private:
  void saveActionExecute();
  void exitActionExecute();
  void helpActionExecute();
  void Button1Click();
  void Button2Click();

  // Scratch space of the conversion buttons, released with the dialog.
  ardonBuffer buffer;
};

// The text of UTF-16LE bytes: a last odd byte is ignored, and the text ends
// early at a zero code unit.
QString utf16LeText(const dbArray<int1>& bytes);

// Opens the help page of the record windows, help/Record.htm in the database's
// working folder, when it exists; otherwise does nothing.
void openRecordHelp();
