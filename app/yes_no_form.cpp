#include "app/yes_no_form.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>

TYesNoForm::TYesNoForm(QWidget* owner) : TForm(owner) {
  setWindowTitle(QStringLiteral("信息"));
  setFixedSize(559, 220);

  msg = new QLabel(this);
  msg->setObjectName(QStringLiteral("msg"));
  msg->setGeometry(32, 24, 489, 113);
  msg->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  msg->setWordWrap(true);
  QFont bold = msg->font();
  bold.setBold(true);
  msg->setFont(bold);

  YesAction = newAction("YesAction", QStringLiteral("是 F4 (&Y)"), Qt::Key_F4, [this] { YesActionExecute(); });
  NoAction = newAction("NoAction", QStringLiteral("否 Esc (&N)"), Qt::Key_Escape, [this] { NoActionExecute(); });
  Action1 = newAction("Action1", QString(), Qt::Key_Y, [this] { YesActionExecute(); });
  Action2 = newAction("Action2", QString(), Qt::Key_N, [this] { NoActionExecute(); });

  YesButton = new QPushButton(this);
  YesButton->setObjectName(QStringLiteral("YesButton"));
  YesButton->setGeometry(157, 155, 120, 33);
  bindButton(YesButton, YesAction);

  NoButton = new QPushButton(this);
  NoButton->setObjectName(QStringLiteral("NoButton"));
  NoButton->setGeometry(293, 155, 120, 33);
  bindButton(NoButton, NoAction);

  setTabOrder(NoButton, YesButton);
  NoButton->setFocus();
}

void TYesNoForm::YesActionExecute() { setModalResult(mrOk); }

void TYesNoForm::NoActionExecute() { setModalResult(mrNo); }

void showMessage(const QString& text, QWidget* owner) {
  TYesNoForm form(owner);
  form.msg->setText(text);
  form.NoButton->hide();
  form.YesButton->setText(QStringLiteral("確定"));
  form.YesButton->move(277, form.YesButton->y());
  form.exec();
}

bool askYesNo(const QString& text, QWidget* owner, bool yesFirst) {
  TYesNoForm form(owner);
  form.msg->setText(text);
  if (toAnsi(text).size() < 50) form.msg->move(form.msg->x(), 40);
  if (yesFirst) {
    QWidget::setTabOrder(form.YesButton, form.NoButton);
    form.YesButton->setFocus();
  }
  return form.exec() == mrOk;
}
