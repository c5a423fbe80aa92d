#include "tests/app/dialog_answerer.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/yes_no_form.h"

DialogAnswerer::DialogAnswerer(bool yes) : yesAnswer(yes) { qApp->installEventFilter(this); }

DialogAnswerer::~DialogAnswerer() { qApp->removeEventFilter(this); }

// The answer waits for the box's own loop, which starts right after the showing.
bool DialogAnswerer::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Show) return false;
  if (auto* box = qobject_cast<TYesNoForm*>(watched)) {
    messages << box->msg->text();
    QPushButton* answer = box->NoButton->isHidden() || yesAnswer ? box->YesButton : box->NoButton;
    QTimer::singleShot(0, answer, [answer] { answer->click(); });
  } else if (auto* box = qobject_cast<QMessageBox*>(watched)) {
    errors << box->text();
    QTimer::singleShot(0, box, [box] { box->accept(); });
  }
  return false;
}
