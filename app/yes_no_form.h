// The program's only message box, and the two message functions built on it.
#pragma once

#include <QString>

#include "app/form.h"

class QAction;
class QLabel;
class QPushButton;

// Shows a message and takes a yes (mrOk) or no (mrNo) answer; closed by its
// title bar it gives mrCancel. No has the first focus, so Enter right after
// opening answers no. Callers adapt the controls before showing it.
class TYesNoForm : public TForm {
  Q_OBJECT

 public:
  explicit TYesNoForm(QWidget* owner);

  QLabel* msg;
  QPushButton* YesButton;
  QPushButton* NoButton;

  QAction* YesAction;  // F4
  QAction* NoAction;   // Esc
  QAction* Action1;    // the plain key Y
  QAction* Action2;    // the plain key N

 private:
  void YesActionExecute();
  void NoActionExecute();
};

// A notice with one button, "確定"; returns when the user has closed it by any means.
void showMessage(const QString& text, QWidget* owner);

// A question; true exactly when the user answered yes. A text shorter than 50
// bytes in the system code page stands lower in the box. With yesFirst the yes
// button has the first focus instead of the no button.
bool askYesNo(const QString& text, QWidget* owner, bool yesFirst = false);
