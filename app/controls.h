// The program's own controls: an edit box that changes colour while it has
// the focus, and a push button drawn with a gradient.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QPushButton>

// A colour value with red in the low byte, then green, then blue.
QColor colorFromValue(int value);

// An edit box whose background takes the focus colour while it has the
// keyboard focus and returns to the normal one when it loses it.
class TALEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit TALEdit(QWidget* parent = nullptr);

  void setFocusColor(const QColor& color);
  QColor focusColor() const { return focused; }

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void paintBackground(const QColor& color);

  QColor normal;
  QColor focused;
};

// A push button with a vertical gradient. Enter does not press it: in a form
// full of edit boxes, Enter must not send anything by accident.
class TXiButton : public QPushButton {
  Q_OBJECT

 public:
  explicit TXiButton(QWidget* parent = nullptr);
};
