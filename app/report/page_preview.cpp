#include "app/report/page_preview.h"

#include <QDateTime>
#include <QPainter>

#include "app/report/page_painter.h"
#include "app/report/report_units.h"

namespace report {

namespace {
constexpr int kPageGap = 10;  // pixels around the sheet
}

PagePreview::PagePreview(const ReportDocument& document, QWidget* parent)
    : QWidget(parent), document_(document) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Dark);
  documentChanged();
}

void PagePreview::setCurrentPage(int page) {
  if (page < 1 || page > pageCount() || page == current_) return;
  current_ = page;
  update();
}

void PagePreview::setZoom(int percent) {
  zoom_ = std::max(percent, 1);
  documentChanged();
}

void PagePreview::documentChanged() {
  current_ = std::clamp(current_, 1, pageCount());
  const QSize size = sizeHint();
  setMinimumSize(size);
  resize(size);
  update();
}

QSize PagePreview::pageSizeOnScreen() const {
  const double scale = zoom_ / 100.0;
  return QSize(qRound(mmToPixels(document_.pageWidth()) * scale),
               qRound(mmToPixels(document_.pageHeight()) * scale));
}

QSize PagePreview::sizeHint() const { return pageSizeOnScreen() + QSize(2 * kPageGap, 2 * kPageGap); }

void PagePreview::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QSize page = pageSizeOnScreen();
  const QRect sheet(QPoint(std::max(kPageGap, (width() - page.width()) / 2), kPageGap), page);
  painter.fillRect(sheet, Qt::white);
  painter.setClipRect(sheet);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  paintPage(painter, document_, current_ - 1, sheet, QDateTime::currentDateTime());
}

}  // namespace report
