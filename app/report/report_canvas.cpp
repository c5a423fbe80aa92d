#include "app/report/report_canvas.h"

#include <QFontMetricsF>
#include <QImage>

#include "app/report/report_units.h"

namespace report {

namespace {

// Texts are measured at a printer's resolution so that hinting for the
// screen does not bend the widths.
constexpr double kMeasureDpi = 1200;

const QImage& measuringDevice() {
  static const QImage image = [] {
    QImage img(1, 1, QImage::Format_RGB32);
    const int dotsPerMeter = static_cast<int>(kMeasureDpi / kMmPerInch * 1000 + 0.5);
    img.setDotsPerMeterX(dotsPerMeter);
    img.setDotsPerMeterY(dotsPerMeter);
    return img;
  }();
  return image;
}

}  // namespace

double textWidth(const ReportFont& font, const QString& text) {
  QFont qfont(font.family);
  qfont.setPointSizeF(font.pointSize);
  qfont.setBold(font.bold);
  const QImage& device = measuringDevice();
  QFontMetricsF metrics(qfont, &device);
  return metrics.horizontalAdvance(text) * kMmPerInch / device.logicalDpiX();
}

void ReportCanvas::textOut(double x, double y, const QString& text) {
  doc_.page(page_).ops.emplace_back(std::in_place_type<TextOp>, QPointF(x, y), doc_.fontIndex(font_), text);
}

void ReportCanvas::line(double x1, double y1, double x2, double y2) {
  doc_.page(page_).ops.emplace_back(std::in_place_type<LineOp>, QPointF(x1, y1), QPointF(x2, y2), penColor_,
                                    penWidth_);
}

void ReportCanvas::textBox(const QRectF& rect, const QString& text, Qt::Alignment alignment) {
  doc_.page(page_).ops.emplace_back(std::in_place_type<BoxOp>, rect, doc_.fontIndex(font_), alignment, text);
}

}  // namespace report
