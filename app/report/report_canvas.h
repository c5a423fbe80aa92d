// Drawing onto one page of a report with a current font and pen, the way a
// caller lays out a header: measure a text, place it, rule a line.
#pragma once

#include "app/report/report_document.h"

namespace report {

// Width of `text` in `font`, in millimetres.
double textWidth(const ReportFont& font, const QString& text);

class ReportCanvas {
 public:
  ReportCanvas(ReportDocument& document, int page) : doc_(document), page_(page) {}

  void setFont(const ReportFont& font) { font_ = font; }
  const ReportFont& font() const { return font_; }
  void setPen(const QColor& color, double width = 0) { penColor_ = color; penWidth_ = width; }

  double textWidth(const QString& text) const { return report::textWidth(font_, text); }
  void textOut(double x, double y, const QString& text);
  void line(double x1, double y1, double x2, double y2);
  void textBox(const QRectF& rect, const QString& text, Qt::Alignment alignment);

 private:
  ReportDocument& doc_;
  int page_;
  ReportFont font_{reportTypeface(), 10, false};
  QColor penColor_ = Qt::black;
  double penWidth_ = 0;
};

}  // namespace report
