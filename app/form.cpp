#include "app/form.h"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <exception>

#include "wrapper/code_page.h"

TForm::TForm(QWidget* owner) : QDialog(owner) {}

void TForm::reject() { done(mrCancel); }

QAction* TForm::newAction(const char* name, const QString& caption, const QKeySequence& shortcut,
                          std::function<void()> handler, const QString& hint) {
  auto* action = new QAction(caption, this);
  action->setObjectName(QString::fromLatin1(name));
  action->setShortcut(shortcut);
  action->setShortcutContext(Qt::WindowShortcut);
  action->setStatusTip(hint);
  if (handler)
    connect(action, &QAction::triggered, this, [this, handler = std::move(handler)] { guarded(this, handler); });
  addAction(action);
  return action;
}

void TForm::bindButton(QPushButton* button, QAction* action) {
  button->setText(action->text());
  button->setToolTip(action->statusTip());
  button->setEnabled(action->isEnabled());
  connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
  connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
}

QFrame* TForm::newActionPanel(std::initializer_list<ActionButton> buttons, QSize buttonSize, Align align) {
  auto* panel = new QFrame;
  panel->setObjectName(QStringLiteral("actionPanel"));
  panel->setFrameShape(QFrame::StyledPanel);
  auto* row = new QHBoxLayout(panel);
  if (align == Align::Right) row->addStretch();
  for (const ActionButton& b : buttons) {
    *b.button = new QPushButton;
    (*b.button)->setObjectName(b.action->objectName().replace(QStringLiteral("Action"), QStringLiteral("Button")));
    (*b.button)->setMinimumSize(buttonSize);
    bindButton(*b.button, b.action);
    row->addWidget(*b.button);
  }
  if (align == Align::Left) row->addStretch();
  return panel;
}

void TForm::showEvent(QShowEvent* event) {
  if (QScreen* where = screen()) {
    QRect frame = frameGeometry();
    frame.moveCenter(where->availableGeometry().center());
    move(frame.topLeft());
  }
  QDialog::showEvent(event);
}

void TForm::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Cancel))
    QWidget::keyPressEvent(event);
  else
    QDialog::keyPressEvent(event);
}

void guarded(QWidget* parent, const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    QMessageBox::critical(parent, QCoreApplication::applicationName(), fromAnsi(error.what()));
  }
}

std::string toAnsi(const QString& text) {
  return codePage::fromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), text.size()));
}

QString fromAnsi(std::string_view text) {
  std::u16string wide = codePage::toUtf16(text);
  return QString::fromUtf16(wide.data(), static_cast<qsizetype>(wide.size()));
}

void useProgramFont() {
  QFont font;
  font.setFamilies({QStringLiteral("AR PL UMing TW"), QStringLiteral("Noto Sans CJK TC")});
  font.setPixelSize(16);
  QApplication::setFont(font);
}
