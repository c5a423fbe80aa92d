// Answers every message box the moment it opens, as a user who reads it and
// answers at once: a notice with its one button, a question with yes or no
// as told, an error box with OK. The texts are kept in the order they came.
#pragma once

#include <QObject>
#include <QStringList>

class DialogAnswerer : public QObject {
 public:
  explicit DialogAnswerer(bool yes = true);
  ~DialogAnswerer() override;

  void answerYes(bool yes) { yesAnswer = yes; }

  QStringList messages;  // notices and questions (TYesNoForm)
  QStringList errors;    // error boxes of handlers that failed

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  bool yesAnswer;
};
