#include "app/report/page_painter.h"

#include <QFontMetricsF>
#include <QPageLayout>
#include <QPainter>
#include <QPrinter>

#include <stdexcept>

#include "app/report/report_units.h"

namespace report {

namespace {

// Maps page millimetres onto the painter's coordinates.
class PageMapping {
 public:
  PageMapping(const ReportDocument& doc, const QRectF& target)
      : origin_(target.topLeft()),
        sx_(target.width() / doc.pageWidth()),
        sy_(target.height() / doc.pageHeight()) {}

  QPointF point(const QPointF& mm) const { return origin_ + QPointF(mm.x() * sx_, mm.y() * sy_); }
  QRectF rect(const QRectF& mm) const {
    return QRectF(point(mm.topLeft()), QSizeF(mm.width() * sx_, mm.height() * sy_));
  }
  double length(double mm) const { return mm * sy_; }

 private:
  QPointF origin_;
  double sx_, sy_;
};

// A QFont whose size on `device` matches the font's size on the mapped page.
QFont deviceFont(const ReportFont& font, const PageMapping& map, const QPaintDevice& device) {
  QFont qfont(font.family);
  const double pixels = map.length(pointsToMm(font.pointSize));
  qfont.setPointSizeF(pixels * kPointsPerInch / device.logicalDpiY());
  qfont.setBold(font.bold);
  return qfont;
}

}  // namespace

void paintPage(QPainter& painter, const ReportDocument& doc, int index, const QRectF& target,
               const QDateTime& printedAt) {
  const PageMapping map(doc, target);
  const QPaintDevice& device = *painter.device();
  std::vector<QFont> fonts;
  fonts.reserve(doc.fonts().size());
  for (const ReportFont& f : doc.fonts()) fonts.push_back(deviceFont(f, map, device));

  painter.save();
  for (const PageOp& op : doc.page(index).ops) {
    if (const auto* text = std::get_if<TextOp>(&op)) {
      painter.setPen(Qt::black);
      painter.setFont(fonts[text->font]);
      const double ascent = QFontMetricsF(fonts[text->font], &device).ascent();
      painter.drawText(map.point(text->at) + QPointF(0, ascent), text->text);
    } else if (const auto* line = std::get_if<LineOp>(&op)) {
      painter.setPen(QPen(line->color, map.length(line->width)));
      painter.drawLine(map.point(line->from), map.point(line->to));
    } else if (const auto* box = std::get_if<BoxOp>(&op)) {
      painter.setPen(Qt::black);
      painter.setFont(fonts[box->font]);
      painter.drawText(map.rect(box->rect), static_cast<int>(box->alignment) | Qt::TextSingleLine,
                       box->text);
    }
  }

  const ReportFooter& footer = doc.footer();
  if (footer.visible) {
    const PageMargins& m = doc.margins();
    const QRectF band(m.left, doc.pageHeight() - m.bottom, doc.pageWidth() - m.left - m.right,
                      m.bottom);
    painter.setPen(Qt::black);
    painter.setFont(deviceFont(footer.font, map, device));
    painter.drawText(map.rect(band), Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine,
                     expandFooterCaption(footer.caption, index + 1, doc.pageCount(),
                                         printedAt.toString(QStringLiteral("yyyy/MM/dd")),
                                         printedAt.toString(QStringLiteral("HH:mm:ss"))));
  }
  painter.restore();
}

void configurePrinter(QPrinter& printer, const ReportDocument& doc) {
  printer.setFullPage(true);
  printer.setPageLayout(QPageLayout(QPageSize(doc.paperSize(), QPageSize::Millimeter),
                                    doc.landscape() ? QPageLayout::Landscape : QPageLayout::Portrait,
                                    QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter));
}

int printReport(const ReportDocument& doc, QPrinter& printer, int fromPage, int toPage,
                const QDateTime& printedAt) {
  const int first = std::max(fromPage, 1);
  const int last = std::min(toPage, doc.pageCount());
  if (first > last) return 0;
  configurePrinter(printer, doc);
  QPainter painter;
  if (!painter.begin(&printer)) throw std::runtime_error("The printer could not be started.");
  const QRectF sheet(0, 0, printer.width(), printer.height());
  for (int page = first; page <= last; ++page) {
    if (page > first) printer.newPage();
    paintPage(painter, doc, page - 1, sheet, printedAt);
  }
  painter.end();
  return last - first + 1;
}

}  // namespace report
