#include "app/controls.h"

#include <QPalette>

QColor colorFromValue(int value) { return QColor(value & 0xFF, (value >> 8) & 0xFF, (value >> 16) & 0xFF); }

TALEdit::TALEdit(QWidget* parent) : QLineEdit(parent), normal(palette().color(QPalette::Base)), focused(normal) {}

void TALEdit::setFocusColor(const QColor& color) {
  focused = color;
  if (hasFocus()) paintBackground(focused);
}

void TALEdit::focusInEvent(QFocusEvent* event) {
  paintBackground(focused);
  QLineEdit::focusInEvent(event);
}

void TALEdit::focusOutEvent(QFocusEvent* event) {
  paintBackground(normal);
  QLineEdit::focusOutEvent(event);
}

void TALEdit::paintBackground(const QColor& color) {
  QPalette colours = palette();
  colours.setColor(QPalette::Base, color);
  setPalette(colours);
}

TXiButton::TXiButton(QWidget* parent) : QPushButton(parent) {
  setAutoDefault(false);
  setStyleSheet(QStringLiteral(
      "TXiButton { border: 1px solid #5a77a8; border-radius: 6px; color: #10284f;"
      "  background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:0.5 #dce6f7, stop:1 #9fb8e2); }"
      "TXiButton:hover { border-color: #2f5597; }"
      "TXiButton:pressed { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #9fb8e2, stop:1 #ffffff); }"
      "TXiButton:focus { border: 2px solid #2f5597; }"
      "TXiButton:disabled { color: #8a8a8a; }"));
}
